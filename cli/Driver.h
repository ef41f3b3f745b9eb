#pragma once
// The command line's driver of the endpoint core: a blocking poll loop
// over one connection from lan/, feeding the conversation and running an
// operation's steps to their end. One driver per thread.
#include "endpoint/Conversation.h"
#include "endpoint/Steps.h"
#include "lan/Connect.h"

#include <chrono>
#include <string>
#include <vector>

namespace cv::cli {

struct Timeouts {
    std::chrono::milliseconds connect{3000};
    // Longest silence while waiting for a reply; a slow answer that keeps
    // arriving is waited for.
    std::chrono::milliseconds reply{5000};
};

class ShellDriver {
public:
    ShellDriver(std::string address, unsigned short port, Timeouts timeouts);
    ShellDriver(const ShellDriver&) = delete;
    ShellDriver& operator=(const ShellDriver&) = delete;

    // Connects and logs in; the error's step is "connect" or "login".
    endpoint::Result<> Open();
    // Runs the steps to their end.
    endpoint::Result<> Run(endpoint::Sequence& steps);
    endpoint::Result<> Run(std::vector<endpoint::Step> steps);
    // True (and closed here too) once the endpoint has closed the
    // connection within `timeout`.
    bool WaitClosed(std::chrono::milliseconds timeout);
    void Close() { fd_.reset(); }

    bool open() const { return static_cast<bool>(fd_); }
    int fd() const { return fd_.get(); }
    const std::string& address() const { return address_; }
    endpoint::Conversation& conversation() { return conversation_; }
    const nodes::Transcript& transcript() const { return conversation_.transcript(); }

private:
    // One round: sends what is queued, waits for bytes or the
    // conversation's timer (at most until `until`), feeds what came.
    void Pump(endpoint::Clock::time_point until);
    // Sends what the conversation has queued.
    void Flush();

    std::string address_;
    unsigned short port_;
    Timeouts timeouts_;
    lan::Fd fd_;
    endpoint::Conversation conversation_;
};

}  // namespace cv::cli
