#include "lan/Workstation.h"

#include "lan/Interfaces.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>

namespace cv::lan {

namespace {
// The name buffers of the two callers: the caption reads the name into
// 20 bytes and asks for stream IPv4 answers, Upgrade into 50 with no hints.
constexpr std::size_t kCaptionNameBuffer = 20;
constexpr std::size_t kUpgradeNameBuffer = 50;
constexpr std::size_t kLongestNameBuffer = 64;

std::string Ipv4OfSocket(int fd, bool peer)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    const int rc = peer ? ::getpeername(fd, raw, &length) : ::getsockname(fd, raw, &length);
    if (fd < 0 || rc != 0 || address.sin_family != AF_INET || address.sin_addr.s_addr == htonl(INADDR_ANY))
        return {};
    char text[INET_ADDRSTRLEN] = {};
    if (!::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text))
        return {};
    return text;
}
}  // namespace

std::vector<std::string> ResolvedIpv4Addresses(const HostInfo& host, std::size_t nameBuffer, int family, int socktype)
{
    std::vector<std::string> out;
    char name[kLongestNameBuffer] = {};
    nameBuffer = std::clamp<std::size_t>(nameBuffer, 1, sizeof name);
    if (!host.hostName || host.hostName(name, nameBuffer) != 0)
        name[0] = '\0';
    name[nameBuffer - 1] = '\0';
    if (!host.resolve)
        return out;
    for (const ResolvedAddress& a : host.resolve(name, family, socktype)) {
        if (a.family != AF_INET)
            continue;
        std::string dotted = CanonicalIpv4(a.dotted);
        if (dotted.empty() || IsLoopbackAddress(dotted))
            continue;
        out.push_back(std::move(dotted));
    }
    return out;
}

std::string LocalAddressOf(int fd)
{
    // Unconnected sockets have a local address too (the wildcard or a bound
    // one); only a connected session tells which card faces the peer.
    if (PeerAddressOf(fd).empty())
        return {};
    return Ipv4OfSocket(fd, false);
}

std::string PeerAddressOf(int fd) { return Ipv4OfSocket(fd, true); }

std::vector<std::string> UpgradeAddressCandidates(const std::string& sessionLocalAddress, const HostInfo& host)
{
    const std::string session = CanonicalIpv4(sessionLocalAddress);
    if (!session.empty())
        return {session};
    std::vector<std::string> resolved = ResolvedIpv4Addresses(host, kUpgradeNameBuffer, 0, 0);
    if (!resolved.empty())
        return resolved;
    return UpInterfaceAddresses();
}

std::string CaptionAddress(const HostInfo& host)
{
    const std::vector<std::string> resolved = ResolvedIpv4Addresses(host, kCaptionNameBuffer, AF_INET, SOCK_STREAM);
    if (!resolved.empty())
        return resolved.back();
    const std::vector<std::string> cards = UpInterfaceAddresses();
    return cards.empty() ? std::string() : cards.back();
}

}  // namespace cv::lan
