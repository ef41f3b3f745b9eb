#include "lan/HostInfo.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <utility>

namespace cv::lan {

HostInfo RealHostInfo()
{
    HostInfo info;
    info.hostName = [](char* buf, std::size_t len) {
        if (len == 0)
            return -1;
        std::memset(buf, 0, len);
        // glibc truncates a long name silently; read it whole and refuse it
        // when it does not fit with its zero, as the caller's buffer demands.
        char full[HOST_NAME_MAX + 1] = {};
        if (::gethostname(full, sizeof full - 1) != 0)
            return -1;
        const std::size_t n = std::strlen(full);
        if (n + 1 > len)
            return -1;
        std::memcpy(buf, full, n);
        return 0;
    };
    info.resolve = [](const std::string& name, int family, int socktype) {
        std::vector<ResolvedAddress> out;
        addrinfo hints{};
        hints.ai_family = family;
        hints.ai_socktype = socktype;
        addrinfo* res = nullptr;
        const bool noHints = family == 0 && socktype == 0;
        if (::getaddrinfo(name.c_str(), nullptr, noHints ? nullptr : &hints, &res) != 0)
            return out;
        for (addrinfo* p = res; p; p = p->ai_next) {
            char text[INET6_ADDRSTRLEN] = {};
            if (p->ai_family == AF_INET) {
                ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr, text, sizeof text);
            } else if (p->ai_family == AF_INET6) {
                ::inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(p->ai_addr)->sin6_addr, text, sizeof text);
            } else {
                continue;
            }
            out.push_back({p->ai_family, text});
        }
        ::freeaddrinfo(res);
        return out;
    };
    return info;
}

HostInfo& SystemHostInfo()
{
    static HostInfo info = RealHostInfo();
    return info;
}

HostInfo SetHostInfo(HostInfo info) { return std::exchange(SystemHostInfo(), std::move(info)); }

}  // namespace cv::lan
