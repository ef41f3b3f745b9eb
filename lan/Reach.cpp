#include "lan/Reach.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace cv::lan {

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

bool ConnectProbe::Start(const std::string& address, unsigned short port)
{
    Cancel();
    state_ = State::Failed;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1)
        return false;
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        return false;
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0) {
        state_ = State::Connected;
        Cancel();
        return true;
    }
    if (errno != EINPROGRESS) {
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
    pollfd watch{fd_, POLLOUT, 0};
    if (::poll(&watch, 1, 0) <= 0)
        return state_;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
    state_ = error == 0 ? State::Connected : State::Failed;
    Cancel();
    return state_;
}

bool CanConnect(const std::string& address, unsigned short port, std::chrono::milliseconds timeout)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + timeout;
    ConnectProbe probe;
    if (!probe.Start(address, port))
        return false;
    while (probe.state() == ConnectProbe::State::Pending) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        pollfd watch{probe.fd(), POLLOUT, 0};
        if (::poll(&watch, 1, static_cast<int>(left.count()) + 1) < 0 && errno != EINTR)
            return false;
        probe.Check();
    }
    return probe.state() == ConnectProbe::State::Connected;
}

}  // namespace cv::lan
