#pragma once
// The workstation's own name and addresses, behind a seam: tests give the
// resolver answer they need (several addresses, IPv6 after IPv4, none).
#include <functional>
#include <string>
#include <vector>

namespace cv::lan {

struct ResolvedAddress {
    int family = 0;  // AF_INET or AF_INET6
    std::string dotted;  // numeric text of the address
};

struct HostInfo {
    // Fills buf like gethostname(); returns 0 on success, -1 when the name
    // (with its zero) does not fit or cannot be read.
    std::function<int(char* buf, std::size_t len)> hostName;
    // Resolves like getaddrinfo(name, nullptr, hints): family and socket
    // type 0 mean "any". Answers in the resolver's order.
    std::function<std::vector<ResolvedAddress>(const std::string& name, int family, int socktype)> resolve;
};

HostInfo& SystemHostInfo();
// Replaces the system's answers; returns the previous ones.
HostInfo SetHostInfo(HostInfo info);
// The real system calls, for restoring.
HostInfo RealHostInfo();

}  // namespace cv::lan
