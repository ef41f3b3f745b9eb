#pragma once
// The workstation's IPv4 network cards, read from the system each time:
// cards come and go (a cable, a VPN) while the program runs.
#include <string>
#include <string_view>
#include <vector>

namespace cv::lan {

struct Ipv4Interface {
    std::string name;  // "eth0"
    std::string address;  // dotted IPv4
    std::string netmask;  // dotted IPv4; empty when the system gives none
    unsigned index = 0;  // if_nametoindex
    bool up = false;
    bool multicast = false;
    bool loopback = false;
};

// Every IPv4 address of every card, in the system's order.
std::vector<Ipv4Interface> Ipv4Interfaces();
// Up, multicast-capable, non-loopback: where discovery goes out.
std::vector<Ipv4Interface> MulticastInterfaces();
// Up and non-loopback: addresses an endpoint could reach us at.
std::vector<std::string> UpInterfaceAddresses();

// 127.0.0.0/8; false for anything that is not a dotted IPv4 address.
bool IsLoopbackAddress(std::string_view dotted);
// The dotted text inet_ntop gives for an IPv4 address; empty when the text
// is not one (it would end up in a shell line).
std::string CanonicalIpv4(std::string_view text);

}  // namespace cv::lan
