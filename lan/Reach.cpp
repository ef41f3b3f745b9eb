#include "lan/Reach.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace cv::lan {

namespace {
using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kPollStep{20};
}  // namespace

ConnectProbe::~ConnectProbe()
{
    Cancel();
}

void ConnectProbe::Cancel()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool ConnectProbe::Start(const std::string& address, unsigned short port, std::chrono::milliseconds hold)
{
    Cancel();
    state_ = State::Failed;
    holding_ = false;
    hold_ = hold;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1)
        return false;
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        return false;
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0 && errno != EINPROGRESS) {
        Cancel();
        return false;
    }
    state_ = State::Pending;
    return true;
}

ConnectProbe::State ConnectProbe::Check()
{
    if (state_ != State::Pending)
        return state_;
    if (!holding_) {
        pollfd watch{fd_, POLLOUT, 0};
        if (::poll(&watch, 1, 0) <= 0)
            return state_;
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
            state_ = State::Failed;
            Cancel();
            return state_;
        }
        holding_ = true;
        holdUntil_ = Clock::now() + hold_;
    }
    pollfd watch{fd_, POLLIN, 0};
    if (::poll(&watch, 1, 0) > 0) {
        // A greeting means a live shell; an end or a reset means it is not
        // up yet.
        char byte = 0;
        state_ = ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0 ? State::Connected : State::Failed;
    } else if (Clock::now() >= holdUntil_) {
        state_ = State::Connected;
    }
    if (state_ != State::Pending)
        Cancel();
    return state_;
}

bool CanConnect(const std::string& address, unsigned short port, std::chrono::milliseconds timeout)
{
    const Clock::time_point deadline = Clock::now() + timeout;
    ConnectProbe probe;
    if (!probe.Start(address, port))
        return false;
    while (probe.Check() == ConnectProbe::State::Pending) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(kPollStep);
    }
    return probe.state() == ConnectProbe::State::Connected;
}

}  // namespace cv::lan
