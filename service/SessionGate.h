#pragma once
// One endpoint, one shell session: every session the service opens goes
// through here. Sessions to one address run one after another, in the order
// asked; sessions to different addresses run side by side, at most
// `maxSessions` at a time, so that a recall of a thousand receivers neither
// opens a thousand sockets at once nor takes the descriptors that
// discovery and the clients need.
#include "service/ShellJob.h"

#include <QObject>

#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <unordered_map>

namespace cv::service {

class SessionGate : public QObject {
public:
    SessionGate(unsigned short port, std::size_t maxSessions, QObject* parent = nullptr);

    // `start` is called when the address is free and a slot is; it must
    // call `finished` exactly once, from the event loop, when its session
    // has closed.
    using Task = std::function<void(std::function<void()> finished)>;
    void Enqueue(const std::string& address, Task task);

    // The two kinds of session, queued.
    void Run(const std::string& address, std::vector<endpoint::Step> steps, ShellTimeouts timeouts,
             ShellJob::Done done);
    void Probe(const std::string& address, std::chrono::milliseconds within, std::function<void(bool)> done);

    std::size_t active() const { return active_; }
    std::size_t waiting() const { return waiting_; }
    std::size_t maxSessions() const { return maxSessions_; }
    unsigned short port() const { return port_; }

private:
    struct Line {
        bool busy = false;
        std::deque<Task> waiting;
    };
    void Pump();
    void Finished(const std::string& address);

    unsigned short port_;
    std::size_t maxSessions_;
    std::size_t active_ = 0;
    std::size_t waiting_ = 0;
    std::unordered_map<std::string, Line> lines_;
    std::deque<std::string> ready_;  // addresses with a task that may start
};

}  // namespace cv::service
