#pragma once
// Keeps the model true to the fleet: a discovery round every poll
// interval, then the node list from one endpoint, a MAC read for every
// address that is new or may be another box now, a probe of the shell port
// of every endpoint that has missed its answers, and a fresh read of a few
// transmitters each round (their names, and whether the box at an address
// is still the one we know). Every session goes through the gate.
//
// A failure on the workstation's side (no socket, a query that never left,
// no descriptors) is a health state and a "failed" event: it keeps the
// model as it was and never makes anything offline.
#include "service/Model.h"
#include "service/SessionGate.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace cv::service {

struct PollOptions {
    std::vector<std::string> interfaces;
    std::chrono::milliseconds poll{2000};
    ShellTimeouts timeouts;
    // A suspect's shell port must take a connection within this.
    std::chrono::milliseconds probe{1000};
    // Transmitters read again each round, in turn.
    std::size_t transmittersPerRound = 4;
    // Discovery is left free at least this long between two rounds, so
    // that the window and the command line get their turn even when a
    // round takes as long as the interval.
    std::chrono::milliseconds shareGap{300};
};

class Poller : public QObject {
public:
    using Publish = std::function<void(std::vector<Event>&)>;
    Poller(PollOptions options, Model& model, SessionGate& gate, Publish publish, QObject* parent = nullptr);
    ~Poller() override;

    void Start();
    bool ready() const { return ready_; }
    std::size_t pollsDone() const { return polls_; }
    // Empty while discovery works; else "discovery failed: ...".
    const std::string& problem() const { return problem_; }
    std::chrono::milliseconds lastCycle() const { return lastCycle_; }

private:
    struct Round;
    void Poll();
    void Discovered(std::shared_ptr<Round> round, std::vector<std::string> replies, std::string failure);
    void ListFrom(std::shared_ptr<Round> round);
    void Listed(std::shared_ptr<Round> round, std::vector<Sighting> rows);
    void ReadIdentity(std::shared_ptr<Round> round, const std::string& address, const Sighting& listed);
    void Finish(std::shared_ptr<Round> round);
    void Failed(const std::string& step, const std::string& detail);

    PollOptions options_;
    Model& model_;
    SessionGate& gate_;
    Publish publish_;
    QTimer timer_;
    std::thread discovery_;
    std::string listFrom_;  // the responder whose node list was read last
    std::size_t txCursor_ = 0;
    std::string problem_;
    bool ready_ = false;
    bool polling_ = false;
    bool stopping_ = false;
    std::size_t polls_ = 0;
    std::chrono::milliseconds lastCycle_{0};
    std::chrono::steady_clock::time_point lastWaitNotice_{};  // the discovery thread's own
};

}  // namespace cv::service
