#include "device/Comeback.h"

#include "lan/Reach.h"
#include "nodes/Firmware.h"

#include <QTimer>

namespace {
// Often enough that the answer shows without a noticeable delay; each look
// is a non-blocking poll, so the window stays live.
constexpr int kLookEveryMs = 50;
}  // namespace

ComebackCheck::ComebackCheck(const QString& address, std::chrono::milliseconds timeout, Done done)
    : probe_(std::make_unique<cv::lan::ConnectProbe>()),
      done_(std::move(done))
{
    deadline_ = new QTimer(this);
    deadline_->setSingleShot(true);
    connect(deadline_, &QTimer::timeout, this, [this] { Finish(false); });
    look_ = new QTimer(this);
    connect(look_, &QTimer::timeout, this, [this] { Poll(); });
    if (!probe_->Start(address.toStdString(), cv::nodes::kShellPort)) {
        // Reported from the loop, so the caller has finished its own step.
        QTimer::singleShot(0, this, [this] { Finish(false); });
        return;
    }
    deadline_->start(timeout);
    look_->start(kLookEveryMs);
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
    look_->stop();
    probe_->Cancel();
    // The report may open a modal box whose loop delivers more events;
    // nothing here may fire a second time meanwhile.
    Done done = std::move(done_);
    done_ = nullptr;
    done(cameBack);
}
