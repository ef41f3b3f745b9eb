#pragma once
// The discovery exchange: an 8-byte query to 225.1.0.0:3333 on every card
// that can carry it, replies read on port 3334 until the network has been
// quiet for a full second. Blocking; the caller decides what a failure or
// an empty answer means (the window exits or shows a box, the command line
// reports).
//
// The firmware answers to a fixed port, and the kernel gives each answer to
// one socket only, so the Cortavia programs of a workstation take their
// rounds in turn (a workstation-wide lock) instead of sharing the port.
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
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
    // How long another program's rounds may keep this one waiting, and
    // whom to tell that it waits.
    std::chrono::milliseconds patience{30000};
    std::function<void(pid_t holder)> waiting;
    std::function<bool()> cancelled;
    // Answers queue here while they are read: 2,000 and more a round.
    std::size_t receiveBuffer = 4u << 20;
};

// What a program prints while it waits for another's round.
inline constexpr const char* kWaitingForDiscovery = "waiting for another Cortavia program's discovery";

struct DiscoveryFailure {
    std::string step;  // "socket sender", "bind", "socket receiver", "send", "lock"
    int error = 0;  // errno, 0 where `detail` says it all
    std::string detail;  // beyond errno: who holds the port or the lock
};
// "bind: Address already in use", or the detail when there is one.
std::string Describe(const DiscoveryFailure& failure);

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

// Who to ask for the node list, in turn: every address that answered, once,
// the last to answer first (the window asks the last responder).
std::vector<std::string> RespondersLatestFirst(const std::vector<std::string>& replies);

}  // namespace cv::lan
