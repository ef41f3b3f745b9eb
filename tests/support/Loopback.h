#pragma once
// A TCP listener on 127.0.0.1 with a port of the system's choosing: socket
// tests that need no test network use it. Inside the test LAN's own
// namespace a fixed port (the shell's) is free to take.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace testing_support {

class LoopbackListener {
public:
    explicit LoopbackListener(unsigned short port = 0)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        const int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        // Unbound, listen would pick a port on every address: not that.
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd_, 4) == 0;
        socklen_t n = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
        port_ = ntohs(a.sin_port);
    }
    ~LoopbackListener() { ::close(fd_); }
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    bool Bound() const { return bound_; }
    unsigned short Port() const { return port_; }
    int Accept() { return ::accept(fd_, nullptr, nullptr); }
    // Wakes an Accept blocked on another thread, so a fake peer can end.
    void Shutdown() { ::shutdown(fd_, SHUT_RDWR); }

private:
    int fd_ = -1;
    unsigned short port_ = 0;
    bool bound_ = false;
};

// What the peer on `fd` has sent so far: reads until nothing more comes for
// `quietMs` (loopback delivers within the send, so a short wait is plenty).
inline std::string ReadAvailable(int fd, int quietMs = 10)
{
    std::string got;
    pollfd p{fd, POLLIN, 0};
    char buf[512];
    while (::poll(&p, 1, quietMs) == 1) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

}  // namespace testing_support
