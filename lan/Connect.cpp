#include "lan/Connect.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cv::lan {

using Clock = std::chrono::steady_clock;

void Fd::reset()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

tl::expected<Fd, std::string> StartConnect(const std::string& address, unsigned short port)
{
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1)
        return tl::unexpected(std::string("not an IPv4 address"));
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd)
        return tl::unexpected(std::string("socket: ") + std::strerror(errno));
    int one = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0 && errno != EINPROGRESS)
        return tl::unexpected(std::string(std::strerror(errno)));
    return fd;
}

int ConnectError(int fd)
{
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return errno;
    return error;
}

tl::expected<Fd, std::string> Connect(const std::string& address, unsigned short port,
                                      std::chrono::milliseconds timeout)
{
    auto fd = StartConnect(address, port);
    if (!fd)
        return fd;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd->get(), POLLOUT, 0};
        const int r = ::poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            char text[64];
            const auto ms = timeout.count();
            if (ms % 1000 == 0)
                std::snprintf(text, sizeof text, "no answer within %lld s", static_cast<long long>(ms / 1000));
            else
                std::snprintf(text, sizeof text, "no answer within %.1f s", static_cast<double>(ms) / 1000.0);
            return tl::unexpected(std::string(text));
        }
        break;
    }
    if (const int error = ConnectError(fd->get()); error != 0)
        return tl::unexpected(std::string(std::strerror(error)));
    return fd;
}

}  // namespace cv::lan
