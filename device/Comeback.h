#pragma once
// After a restart or an upgrade the wait alone proves nothing: the endpoint
// may never have come back. This tries its shell port without blocking the
// window and reports once, connected or not.
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>

class QTimer;

namespace cv::lan {
class ConnectProbe;
}

class ComebackCheck : public QObject {
    Q_OBJECT
public:
    using Done = std::function<void(bool cameBack)>;

    // Starts at once; `done` runs exactly once, from the event loop, never
    // from inside the constructor.
    ComebackCheck(const QString& address, std::chrono::milliseconds timeout, Done done);

    // What answered, when the endpoint is known by its MAC.
    enum class Outcome { Back, NotBack, Other };
    using Identified = std::function<void(Outcome outcome, const QString& macThere)>;
    // Once the shell answers, the detail query on a session of its own says
    // whose it is; `mac` empty: anyone answering is taken for it.
    ComebackCheck(const QString& address, const QString& mac, std::chrono::milliseconds timeout, Identified done);
    ~ComebackCheck() override;

private:
    struct MacRead;
    void Poll();
    void Finish(bool cameBack);
    void StartMacRead();
    void Report(Outcome outcome, const QString& macThere);
    void PollMacRead();

    QString address_, mac_;
    Identified identified_;
    std::unique_ptr<MacRead> read_;
    std::unique_ptr<cv::lan::ConnectProbe> probe_;
    QTimer* deadline_ = nullptr;
    QTimer* look_ = nullptr;
    Done done_;
};
