#include "lan/Reach.h"

#include <poll.h>
#include <sys/socket.h>

#include <thread>

namespace cv::lan {

namespace {
constexpr std::chrono::milliseconds kPollStep{20};
}  // namespace

ConnectProbe::~ConnectProbe() = default;

void ConnectProbe::Cancel()
{
    fd_.reset();
    if (state_ == State::Pending)
        state_ = State::Failed;
}

bool ConnectProbe::Start(const std::string& address, unsigned short port, std::chrono::milliseconds hold,
                         std::chrono::milliseconds within)
{
    fd_.reset();
    state_ = State::Failed;
    address_ = address;
    port_ = port;
    hold_ = hold;
    attempts_ = 0;
    deadline_ = Clock::now() + within;
    if (!Attempt())
        return false;
    state_ = State::Pending;
    return true;
}

bool ConnectProbe::Attempt()
{
    holding_ = false;
    ++attempts_;
    nextAttempt_ = Clock::now() + kRetryEvery;
    auto fd = StartConnect(address_, port_);
    if (!fd)
        return false;
    fd_ = std::move(*fd);
    return true;
}

void ConnectProbe::Retry()
{
    fd_.reset();
    holding_ = false;
    if (Clock::now() >= deadline_)
        state_ = State::Failed;
}

ConnectProbe::State ConnectProbe::Check()
{
    if (state_ != State::Pending)
        return state_;
    const auto now = Clock::now();
    if (!fd_) {
        if (now >= deadline_) {
            state_ = State::Failed;
        } else if (now >= nextAttempt_ && !Attempt()) {
            state_ = State::Failed;
        }
        return state_;
    }
    if (!holding_) {
        pollfd watch{fd_.get(), POLLOUT, 0};
        if (::poll(&watch, 1, 0) <= 0) {
            if (now >= deadline_) {
                state_ = State::Failed;
                fd_.reset();
            }
            return state_;
        }
        if (ConnectError(fd_.get()) != 0) {
            Retry();
            return state_;
        }
        holding_ = true;
        holdUntil_ = now + hold_;
    }
    pollfd watch{fd_.get(), POLLIN, 0};
    if (::poll(&watch, 1, 0) > 0) {
        // A greeting means a live shell; an end or a reset means it is not
        // up yet.
        char byte = 0;
        if (::recv(fd_.get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0)
            state_ = State::Connected;
        else
            Retry();
    } else if (now >= holdUntil_) {
        state_ = State::Connected;
    }
    if (state_ != State::Pending)
        fd_.reset();
    return state_;
}

bool CanConnect(const std::string& address, unsigned short port, std::chrono::milliseconds within,
                std::chrono::milliseconds hold)
{
    ConnectProbe probe;
    if (!probe.Start(address, port, hold, within))
        return false;
    while (probe.Check() == ConnectProbe::State::Pending)
        std::this_thread::sleep_for(kPollStep);
    return probe.state() == ConnectProbe::State::Connected;
}

}  // namespace cv::lan
