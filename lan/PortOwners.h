#pragma once
// Who holds a UDP port on this workstation, from the kernel's own tables
// (/proc/net/udp and udp6), so that an error can name the program.
#include <sys/types.h>

#include <string_view>
#include <vector>

namespace cv::lan {

struct UdpSocket {
    unsigned short port = 0;
    ino_t inode = 0;
};

// The rows of /proc/net/udp or /proc/net/udp6; lines that do not read as a
// row are skipped.
std::vector<UdpSocket> ParseUdpTable(std::string_view text);

// Every socket of this network namespace bound to the port, IPv4 and IPv6.
std::vector<UdpSocket> UdpSocketsOnPort(unsigned short port);

// The process that has the socket open, or 0 when none can be seen (another
// user's process, to a program that is not root).
pid_t SocketOwner(ino_t inode);

}  // namespace cv::lan
