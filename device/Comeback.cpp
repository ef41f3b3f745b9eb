#include "device/Comeback.h"

#include "endpoint/Comeback.h"
#include "endpoint/Steps.h"
#include "lan/Reach.h"
#include "nodes/Firmware.h"

#include <QTimer>

#include <poll.h>
#include <sys/socket.h>

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

// The detail query on a non-blocking socket, polled from the look timer.
struct ComebackCheck::MacRead {
    cv::lan::Fd fd;
    bool connected = false;
    cv::endpoint::Conversation conversation;
    cv::endpoint::Sequence steps;
};

ComebackCheck::ComebackCheck(const QString& address, const QString& mac, std::chrono::milliseconds timeout,
                             Identified done)
    : ComebackCheck(address, timeout + cv::endpoint::Conversation::kDefaultIdle, nullptr)
{
    address_ = address;
    mac_ = mac;
    identified_ = std::move(done);
    done_ = [this](bool cameBack) {
        if (!cameBack || mac_.isEmpty())
            return Report(cameBack ? Outcome::Back : Outcome::NotBack, {});
        StartMacRead();
    };
}

ComebackCheck::~ComebackCheck() = default;

void ComebackCheck::Report(Outcome outcome, const QString& macThere)
{
    deadline_->stop();
    look_->stop();
    read_.reset();
    Identified done = std::move(identified_);
    identified_ = nullptr;
    if (done)
        done(outcome, macThere);
}

void ComebackCheck::StartMacRead()
{
    auto fd = cv::lan::StartConnect(address_.toStdString(), cv::nodes::kShellPort);
    if (!fd)
        return Report(Outcome::NotBack, {});
    read_ = std::make_unique<MacRead>();
    read_->fd = std::move(*fd);
    std::vector<cv::endpoint::Step> steps = cv::endpoint::LoginSteps();
    for (auto& s : cv::endpoint::DetailQuerySteps())
        steps.push_back(std::move(s));
    read_->steps = cv::endpoint::Sequence(std::move(steps));
    disconnect(look_, nullptr, this, nullptr);
    connect(look_, &QTimer::timeout, this, [this] { PollMacRead(); });
    connect(deadline_, &QTimer::timeout, this, [this] { Report(Outcome::NotBack, {}); });
    deadline_->start(cv::endpoint::Conversation::kDefaultIdle);
    look_->start(kLookEveryMs);
}

void ComebackCheck::PollMacRead()
{
    MacRead& r = *read_;
    const auto now = cv::endpoint::Clock::now();
    const int fd = r.fd.get();
    if (!r.connected) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 0) <= 0)
            return;
        if (cv::lan::ConnectError(fd) != 0)
            return Report(Outcome::NotBack, {});
        r.connected = true;
        r.steps.Advance(r.conversation, now);
    }
    char buf[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            r.conversation.Receive(std::string_view(buf, static_cast<std::size_t>(n)), now);
            continue;
        }
        if (n == 0)
            r.conversation.PeerClosed();
        break;
    }
    if (const auto due = r.conversation.Timer(); due && *due <= now)
        r.conversation.OnTimer(now);
    r.steps.Advance(r.conversation, now);
    const std::string out = r.conversation.TakeOutgoing();
    if (!out.empty() && ::send(fd, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size()))
        return Report(Outcome::NotBack, {});
    if (!r.steps.done())
        return;
    if (r.steps.state() == cv::endpoint::Sequence::State::Failed)
        return Report(Outcome::NotBack, {});
    const QString there =
        QString::fromStdU16String(cv::endpoint::DetailsFrom(r.conversation.transcript()).values.macAddress);
    const bool same = cv::endpoint::SameMac(there.toStdString(), mac_.toStdString());
    Report(same ? Outcome::Back : Outcome::Other, there);
}

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
