#pragma once
// Runs one operation's steps on one endpoint from the Qt event loop: the
// connect from lan/, a QSocketNotifier for each direction and a timer for
// the conversation's clock. Nothing here waits; the loop stays free for
// every other endpoint and client.
#include "endpoint/Conversation.h"
#include "endpoint/Steps.h"
#include "lan/Connect.h"

#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace cv::service {

struct ShellTimeouts {
    std::chrono::milliseconds connect{3000};
    std::chrono::milliseconds reply{5000};
};

class ShellJob : public QObject {
public:
    // `done` runs once, from the event loop, with the result and the
    // conversation (its transcript holds what the steps read). The job
    // deletes itself after.
    using Done = std::function<void(const endpoint::Result<>&, const endpoint::Conversation&)>;

    static void Run(QObject* context, const std::string& address, unsigned short port,
                    std::vector<endpoint::Step> steps, ShellTimeouts timeouts, Done done);

    // Whether the shell port takes a connection within `within`: a refusal
    // or silence is no. Nothing is sent; the connection is closed at once.
    static void Probe(QObject* context, const std::string& address, unsigned short port,
                      std::chrono::milliseconds within, std::function<void(bool answered)> done);

private:
    ShellJob(QObject* context, std::string address, unsigned short port, std::vector<endpoint::Step> steps,
             ShellTimeouts timeouts, Done done);
    void Start();
    void Connected();
    void Readable();
    void Writable();
    void Pump();
    void Flush();
    void Finish(endpoint::Result<> result);

    std::string address_;
    unsigned short port_;
    ShellTimeouts timeouts_;
    Done done_;
    QPointer<QObject> context_;
    lan::Fd fd_;
    bool connecting_ = true;
    bool finished_ = false;
    std::string unsent_;
    endpoint::Conversation conversation_;
    endpoint::Sequence sequence_;
    std::unique_ptr<QSocketNotifier> reader_, writer_;
    QTimer clock_, connectDeadline_;
};

}  // namespace cv::service
