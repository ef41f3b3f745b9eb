#pragma once
// Whether an endpoint's shell is back after a restart: the one rule the
// window and the command line use. A shell that is still
// starting may refuse the connection, or take it and drop it at once, so a
// connection only counts once the shell has sent something or kept it for a
// short hold; a refusal or a drop is tried again, every kRetryEvery, until
// the probe's deadline. Non-blocking, so a window can keep serving events
// while it waits; CanConnect is the blocking form for the command line.
#include "lan/Connect.h"

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
    // How long refusals and drops are tried again from Start on.
    static constexpr std::chrono::milliseconds kDefaultWithin{3000};
    static constexpr std::chrono::milliseconds kRetryEvery{250};

    // Starts a non-blocking connect; false (and Failed) when it cannot
    // even start (not an address, no socket).
    bool Start(const std::string& address, unsigned short port, std::chrono::milliseconds hold = kDefaultHold,
               std::chrono::milliseconds within = kDefaultWithin);
    // Looks without blocking; closes the socket once it has an answer.
    State Check();
    State state() const { return state_; }
    // Connections tried since Start.
    int attempts() const { return attempts_; }
    void Cancel();

private:
    using Clock = std::chrono::steady_clock;
    bool Attempt();
    // A refusal or a drop: try again later, or fail once time is up.
    void Retry();

    Fd fd_;
    State state_ = State::Failed;
    std::string address_;
    unsigned short port_ = 0;
    bool holding_ = false;
    int attempts_ = 0;
    std::chrono::milliseconds hold_{kDefaultHold};
    Clock::time_point holdUntil_{};
    Clock::time_point deadline_{};
    Clock::time_point nextAttempt_{};
};

// Drives a ConnectProbe to its end: true once the shell is back within
// `within`.
bool CanConnect(const std::string& address, unsigned short port, std::chrono::milliseconds within,
                std::chrono::milliseconds hold = ConnectProbe::kDefaultHold);

}  // namespace cv::lan
