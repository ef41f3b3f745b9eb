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
    ~ComebackCheck() override;

private:
    void Poll();
    void Finish(bool cameBack);

    std::unique_ptr<cv::lan::ConnectProbe> probe_;
    QTimer* deadline_ = nullptr;
    QTimer* look_ = nullptr;
    Done done_;
};
