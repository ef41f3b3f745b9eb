#pragma once
// Whether an endpoint's shell accepts a connection and keeps it: how a
// restart is seen to have ended. A shell that is still starting may take
// the connection and drop it at once, so a connection only counts once it
// has sent something or stayed open for a short hold. Non-blocking, so a
// window can keep serving events while it waits; CanConnect is the
// blocking form for the command line.
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

    static constexpr std::chrono::milliseconds kDefaultHold{500};

    // Starts a non-blocking connect; false (and Failed) when it cannot
    // even start.
    bool Start(const std::string& address, unsigned short port, std::chrono::milliseconds hold = kDefaultHold);
    // Looks without blocking; closes the socket once it has an answer.
    State Check();
    State state() const { return state_; }
    void Cancel();

private:
    int fd_ = -1;
    State state_ = State::Failed;
    bool holding_ = false;
    std::chrono::milliseconds hold_{kDefaultHold};
    std::chrono::steady_clock::time_point holdUntil_{};
};

bool CanConnect(const std::string& address, unsigned short port, std::chrono::milliseconds timeout);

}  // namespace cv::lan
