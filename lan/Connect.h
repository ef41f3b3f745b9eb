#pragma once
// The one place that opens a TCP connection to an endpoint's shell: a
// non-blocking connect, either finished later by whoever watches the socket
// (the comeback probe, an event loop) or waited for here with a deadline
// (the command line).
#include <tl/expected.hpp>

#include <chrono>
#include <string>
#include <utility>

namespace cv::lan {

// Owns a socket descriptor; closes it when it goes.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) { }
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) { }
    Fd& operator=(Fd&& other) noexcept
    {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset();

private:
    int fd_ = -1;
};

// Starts a connect to a dotted IPv4 address and returns at once with a
// non-blocking socket (TCP_NODELAY: every line is one segment). The error
// text is for the operator ("not an IPv4 address", "Connection refused").
tl::expected<Fd, std::string> StartConnect(const std::string& address, unsigned short port);
// Once the socket is writable: 0 when the connect went through, else the
// errno it failed with.
int ConnectError(int fd);
// StartConnect and wait for the outcome, at most `timeout`.
tl::expected<Fd, std::string> Connect(const std::string& address, unsigned short port,
                                      std::chrono::milliseconds timeout);

}  // namespace cv::lan
