#include "service/Admission.h"

#include "service/Limits.h"

#include <QTimer>

#include <sys/resource.h>
#include <sys/socket.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>

namespace cv::service {

namespace limits {
milliseconds Scaled(milliseconds deadline)
{
    static const double scale = [] {
        const char* text = std::getenv("CORTAVIAD_TEST_DEADLINE_SCALE");
        const double s = text ? std::atof(text) : 1.0;
        return s > 0 && s <= 1 ? s : 1.0;
    }();
    return milliseconds(static_cast<long long>(static_cast<double>(deadline.count()) * scale));
}
}  // namespace limits

namespace {

std::size_t Reserve(std::size_t limit) { return std::min(limits::kFleetReserve, limit / 4); }

std::size_t OpenDescriptors(qintptr newest)
{
    std::error_code ec;
    std::size_t n = 0;
    for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec))
        ++n;
    // Without /proc: the kernel gives the lowest free number, so at least
    // that many are open.
    return ec || n == 0 ? static_cast<std::size_t>(newest) + 1 : n;
}

}  // namespace

Admission::Admission(std::size_t total, std::size_t perPeer) : total_(total), perPeer_(perPeer) { }

std::string Admission::Admit(qintptr descriptor, QHostAddress& peer)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(static_cast<int>(descriptor), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return "no peer";
    peer = QHostAddress(reinterpret_cast<const sockaddr*>(&address));
    // An IPv4 client on a dual-stack socket is the same peer either way.
    bool v4 = false;
    if (const quint32 ip4 = peer.toIPv4Address(&v4); v4)
        peer = QHostAddress(ip4);
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        const std::size_t max = limit.rlim_cur;
        if (OpenDescriptors(descriptor) + Reserve(max) > max)
            return "descriptors kept for the fleet";
    }
    if (open_ >= total_)
        return "too many connections";
    auto& mine = peers_[peer.toString()];
    if (mine >= perPeer_)
        return "too many connections from " + peer.toString().toStdString();
    ++mine;
    ++open_;
    return {};
}

void Admission::Leave(const QHostAddress& peer)
{
    const auto it = peers_.find(peer.toString());
    if (it == peers_.end())
        return;
    if (--it->second == 0)
        peers_.erase(it);
    --open_;
}

long DescriptorsToSpare()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 1L << 20;
    const std::size_t max = limit.rlim_cur;
    return static_cast<long>(max) - static_cast<long>(Reserve(max)) - static_cast<long>(OpenDescriptors(0));
}

void RaiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    const rlim_t want = limit.rlim_max == RLIM_INFINITY ? limits::kWantedDescriptors
                                                        : std::min<rlim_t>(limit.rlim_max, limits::kWantedDescriptors);
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < want) {
        limit.rlim_cur = want;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

void ResumeAfterAcceptErrors(QTcpServer* server)
{
    // A burst of connections waits in the kernel's queue rather than
    // having its handshakes dropped (and retried a second later).
    server->setListenBacklogSize(1024);
    QObject::connect(server, &QTcpServer::acceptError, server, [server](QAbstractSocket::SocketError) {
        server->pauseAccepting();
        QTimer::singleShot(1000, server, [server] { server->resumeAccepting(); });
    });
}

}  // namespace cv::service
