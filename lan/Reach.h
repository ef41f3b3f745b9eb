#pragma once
// Whether an endpoint's shell accepts a connection: how a restart is seen
// to have ended. Non-blocking, so a window can keep serving events while
// it waits; CanConnect is the blocking form for the command line.
#include <chrono>
#include <string>

namespace cv::lan {

class ConnectProbe {
public:
    enum class State { Pending, Connected, Failed };

    ConnectProbe() = default;
    ~ConnectProbe();
    ConnectProbe(const ConnectProbe&) = delete;
    ConnectProbe& operator=(const ConnectProbe&) = delete;

    // Starts a non-blocking connect; false (and Failed) when it cannot
    // even start.
    bool Start(const std::string& address, unsigned short port);
    // The socket to watch for writability while Pending; -1 otherwise.
    int fd() const { return fd_; }
    // Looks without blocking; closes the socket once it has an answer.
    State Check();
    State state() const { return state_; }
    void Cancel();

private:
    int fd_ = -1;
    State state_ = State::Failed;
};

bool CanConnect(const std::string& address, unsigned short port, std::chrono::milliseconds timeout);

}  // namespace cv::lan
