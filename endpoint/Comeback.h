#pragma once
// The wait for an endpoint to come back after a restart, as decisions
// without I/O: probe the address it should answer at, and, when it may
// have taken a new lease, check the MAC of whatever answers there, scan and
// read the MAC of each listed address not read before, until the MAC read
// before the change turns up or time is up. The driver carries out each action and reports its outcome.
#include "endpoint/Conversation.h"

#include <map>
#include <string>
#include <vector>

namespace cv::endpoint {

class Comeback {
public:
    enum class Do {
        Probe,  // the came-back probe (lan::ConnectProbe) at address
        Scan,  // discovery and the node list
        ReadMac,  // the detail query at address
        Found,  // back, at address
        Lost,  // the time is up
        Other,  // another endpoint (otherMac()) answers at address
    };
    struct Action {
        Do what;
        std::string address;
    };

    // mac empty: the endpoint keeps its address; only the probe is tried.
    // With a mac, whatever answers is read: with mayMove another MAC there
    // starts a search, without it the wait ends with Other.
    Comeback(std::string address, std::string mac, Clock::time_point deadline, bool mayMove = true);

    Action Next(Clock::time_point now);
    void Probed(bool back);
    void Scanned(const std::vector<std::string>& addresses);
    // nullopt: no answer there (yet).
    void MacRead(const std::string& address, const std::optional<std::string>& mac);

    // For the report when lost.
    bool searched() const { return !mac_.empty() && mayMove_; }
    // The MAC that answered at the address, for Other.
    const std::string& otherMac() const { return other_; }

private:
    enum class Phase { Probe, Scan, Read, Found, Other };
    std::string address_, mac_, other_;
    bool mayMove_ = true;
    Clock::time_point deadline_;
    Phase phase_ = Phase::Probe;
    std::vector<std::string> toRead_;
    std::map<std::string, std::string> known_;  // address -> MAC, read once
    std::string found_;
};

// MAC addresses compare without regard to case.
bool SameMac(std::string_view a, std::string_view b);

}  // namespace cv::endpoint
