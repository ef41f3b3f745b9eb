#pragma once
// Which of the workstation's addresses an endpoint should be told about.
// A stock Debian install maps the host name to 127.0.1.1, and integrators'
// machines have an office card and an AV card, so neither "the host name"
// nor "the first card" is the right answer on its own.
#include "lan/HostInfo.h"

#include <cstddef>
#include <string>
#include <vector>

namespace cv::lan {

// The host name's IPv4 answers in resolver order, loopback skipped. The
// name is read into a buffer of nameBuffer bytes (a name that does not fit
// stays empty); family and socktype 0 resolve with no hints at all.
std::vector<std::string> ResolvedIpv4Addresses(const HostInfo& host, std::size_t nameBuffer, int family, int socktype);

// The local address of a connected socket: the address its peer sees us
// at. Empty when fd is not a connected IPv4 socket.
std::string LocalAddressOf(int fd);
// The peer of a connected socket; empty when it is not connected.
std::string PeerAddressOf(int fd);

// Upgrade's rule, each address in the order it is settled on (the last one
// wins): the session's local address alone when there is one; otherwise
// the resolver's non-loopback answers; otherwise the up, non-loopback
// interface addresses.
std::vector<std::string> UpgradeAddressCandidates(const std::string& sessionLocalAddress, const HostInfo& host);

// The caption's rule: the last non-loopback resolver answer, else the last
// up, non-loopback interface address, else empty.
std::string CaptionAddress(const HostInfo& host);

}  // namespace cv::lan
