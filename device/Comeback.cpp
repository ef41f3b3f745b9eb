#include "device/Comeback.h"

#include "lan/Reach.h"

#include <QSocketNotifier>
#include <QTimer>

ComebackCheck::ComebackCheck(const QString& address, std::chrono::milliseconds timeout, Done done)
    : probe_(std::make_unique<cv::lan::ConnectProbe>()), done_(std::move(done))
{
    deadline_ = new QTimer(this);
    deadline_->setSingleShot(true);
    connect(deadline_, &QTimer::timeout, this, [this] { Finish(false); });
    if (!probe_->Start(address.toStdString(), kShellPort) || probe_->state() != cv::lan::ConnectProbe::State::Pending) {
        const bool connected = probe_->state() == cv::lan::ConnectProbe::State::Connected;
        // Reported from the loop, so the caller has finished its own step.
        QTimer::singleShot(0, this, [this, connected] { Finish(connected); });
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(probe_->fd(), QSocketNotifier::Write);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { Poll(); });
    deadline_->start(timeout);
}

ComebackCheck::~ComebackCheck() = default;

void ComebackCheck::Poll()
{
    const cv::lan::ConnectProbe::State state = probe_->Check();
    if (state != cv::lan::ConnectProbe::State::Pending)
        Finish(state == cv::lan::ConnectProbe::State::Connected);
}

void ComebackCheck::Finish(bool cameBack)
{
    if (!done_)
        return;
    deadline_->stop();
    notifier_.reset();
    probe_->Cancel();
    // The report may open a modal box whose loop delivers more events;
    // nothing here may fire a second time meanwhile.
    Done done = std::move(done_);
    done_ = nullptr;
    done(cameBack);
}
