#pragma once
// The discovery exchange: an 8-byte query to 225.1.0.0:3333 on every card
// that can carry it, replies read on port 3334 until the network has been
// quiet for a full second. Blocking; the caller decides what a failure or
// an empty answer means (the window exits or shows a box, the command line
// reports).
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace cv::lan {

struct DiscoveryOptions {
    // Card names to send on; empty: every up, multicast-capable,
    // non-loopback card, or the system default route where there is none.
    std::vector<std::string> interfaces;
    std::chrono::milliseconds quiet{1000};
    unsigned short queryPort = 3333;
    unsigned short replyPort = 3334;
};

struct DiscoveryFailure {
    std::string step;  // "socket sender", "bind", "socket receiver", "setsockopt (SO_REUSEADDR)"
    int error = 0;  // errno
};

struct DiscoveryResult {
    // Source address of every reply, in the order read (repeats kept).
    std::vector<std::string> replies;
    // Cards the query went out on (empty: the system default).
    std::vector<std::string> sentOn;
    std::optional<DiscoveryFailure> failure;
    // A name in options.interfaces that is no usable card.
    std::vector<std::string> unknownInterfaces;

    // The last reply read wins; empty when nobody answered.
    std::string lastResponder() const { return replies.empty() ? std::string() : replies.back(); }
};

DiscoveryResult Discover(const DiscoveryOptions& options = {});

}  // namespace cv::lan
