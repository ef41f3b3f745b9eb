#include "cli/Driver.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace cv::cli {

using endpoint::Clock;
using std::chrono::milliseconds;

ShellDriver::ShellDriver(std::string address, unsigned short port, Timeouts timeouts)
    : address_(std::move(address)),
      port_(port),
      timeouts_(timeouts),
      conversation_(timeouts.reply)
{ }

endpoint::Result<> ShellDriver::Open()
{
    conversation_ = endpoint::Conversation(timeouts_.reply);
    auto fd = lan::Connect(address_, port_, timeouts_.connect);
    if (!fd)
        return endpoint::Failure("connect", fd.error());
    fd_ = std::move(*fd);
    return Run(endpoint::LoginSteps());
}

endpoint::Result<> ShellDriver::Run(std::vector<endpoint::Step> steps)
{
    endpoint::Sequence sequence(std::move(steps));
    return Run(sequence);
}

endpoint::Result<> ShellDriver::Run(endpoint::Sequence& sequence)
{
    if (!fd_ && !conversation_.closed())
        conversation_.PeerClosed("not connected");
    while (sequence.Advance(conversation_, Clock::now()) == endpoint::Sequence::State::Running)
        Pump(Clock::time_point::max());
    Flush();
    return sequence.result();
}

bool ShellDriver::WaitClosed(milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (fd_ && !conversation_.closed() && Clock::now() < deadline)
        Pump(deadline);
    const bool closed = conversation_.closed();
    if (closed)
        Close();
    return closed;
}

void ShellDriver::Flush()
{
    while (conversation_.hasOutgoing()) {
        const std::string bytes = conversation_.TakeOutgoing();
        std::size_t done = 0;
        while (fd_ && done < bytes.size()) {
            const ssize_t n = ::send(fd_.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd p{fd_.get(), POLLOUT, 0};
                int r;
                // A signal (the operator's first Ctrl-C) is no full buffer.
                do
                    r = ::poll(&p, 1, static_cast<int>(timeouts_.reply.count()));
                while (r < 0 && errno == EINTR);
                if (r <= 0) {
                    conversation_.PeerClosed("send: the endpoint takes nothing more");
                    fd_.reset();
                }
                continue;
            }
            conversation_.PeerClosed(std::string("send: ") + std::strerror(errno));
            fd_.reset();
        }
    }
}

void ShellDriver::Pump(Clock::time_point until)
{
    Flush();
    auto now = Clock::now();
    if (const auto timer = conversation_.Timer(); timer && *timer <= now) {
        conversation_.OnTimer(now);
        return;
    }
    if (!fd_) {
        if (!conversation_.closed())
            conversation_.PeerClosed("not connected");
        return;
    }
    Clock::time_point wake = until;
    if (const auto timer = conversation_.Timer())
        wake = std::min(wake, *timer);
    int wait = -1;
    if (wake != Clock::time_point::max()) {
        const auto left = std::chrono::ceil<milliseconds>(wake - now).count();
        wait = static_cast<int>(std::clamp<long long>(left, 0, 60'000));
    }
    pollfd p{fd_.get(), POLLIN, 0};
    const int r = ::poll(&p, 1, wait);
    now = Clock::now();
    if (r > 0) {
        char buf[4096];
        const ssize_t n = ::recv(fd_.get(), buf, sizeof buf, 0);
        if (n > 0) {
            conversation_.Receive(std::string_view(buf, static_cast<std::size_t>(n)), now);
        } else if (n == 0) {
            conversation_.PeerClosed("connection closed by the endpoint");
        } else if (errno != EAGAIN && errno != EINTR) {
            conversation_.PeerClosed(std::string("connection lost: ") + std::strerror(errno));
        }
    }
    if (const auto timer = conversation_.Timer(); timer && *timer <= now)
        conversation_.OnTimer(now);
}

}  // namespace cv::cli
