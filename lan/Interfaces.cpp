#include "lan/Interfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <string>

namespace cv::lan {

std::vector<Ipv4Interface> Ipv4Interfaces()
{
    std::vector<Ipv4Interface> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return out;
    for (ifaddrs* p = list; p; p = p->ifa_next) {
        if (!p->ifa_addr || p->ifa_addr->sa_family != AF_INET || !p->ifa_name)
            continue;
        char text[INET_ADDRSTRLEN] = {};
        if (!::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(p->ifa_addr)->sin_addr, text, sizeof text))
            continue;
        Ipv4Interface card;
        card.name = p->ifa_name;
        card.address = text;
        char mask[INET_ADDRSTRLEN] = {};
        if (p->ifa_netmask && p->ifa_netmask->sa_family == AF_INET &&
            ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(p->ifa_netmask)->sin_addr, mask, sizeof mask))
            card.netmask = mask;
        card.index = ::if_nametoindex(p->ifa_name);
        card.up = (p->ifa_flags & IFF_UP) != 0 && (p->ifa_flags & IFF_RUNNING) != 0;
        card.multicast = (p->ifa_flags & IFF_MULTICAST) != 0;
        card.loopback = (p->ifa_flags & IFF_LOOPBACK) != 0 || IsLoopbackAddress(card.address);
        out.push_back(std::move(card));
    }
    ::freeifaddrs(list);
    return out;
}

std::vector<Ipv4Interface> MulticastInterfaces()
{
    std::vector<Ipv4Interface> out;
    for (Ipv4Interface& card : Ipv4Interfaces()) {
        if (card.up && card.multicast && !card.loopback)
            out.push_back(std::move(card));
    }
    return out;
}

std::vector<std::string> UpInterfaceAddresses()
{
    std::vector<std::string> out;
    for (const Ipv4Interface& card : Ipv4Interfaces()) {
        if (card.up && !card.loopback)
            out.push_back(card.address);
    }
    return out;
}

std::string CanonicalIpv4(std::string_view text)
{
    const std::string zeroTerminated(text);
    in_addr address{};
    if (::inet_pton(AF_INET, zeroTerminated.c_str(), &address) != 1)
        return {};
    char dotted[INET_ADDRSTRLEN] = {};
    if (!::inet_ntop(AF_INET, &address, dotted, sizeof dotted))
        return {};
    return dotted;
}

bool IsLoopbackAddress(std::string_view dotted)
{
    const std::string zeroTerminated(dotted);
    in_addr address{};
    if (::inet_pton(AF_INET, zeroTerminated.c_str(), &address) != 1)
        return false;
    return (ntohl(address.s_addr) >> 24) == 127;
}

}  // namespace cv::lan
