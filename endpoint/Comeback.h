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
    };
    struct Action {
        Do what;
        std::string address;
    };

    // mac empty: the endpoint keeps its address; only the probe is tried.
    Comeback(std::string address, std::string mac, Clock::time_point deadline);

    Action Next(Clock::time_point now);
    void Probed(bool back);
    void Scanned(const std::vector<std::string>& addresses);
    // nullopt: no answer there (yet).
    void MacRead(const std::string& address, const std::optional<std::string>& mac);

    // For the report when lost.
    bool searched() const { return !mac_.empty(); }

private:
    enum class Phase { Probe, Scan, Read, Found };
    std::string address_, mac_;
    Clock::time_point deadline_;
    Phase phase_ = Phase::Probe;
    std::vector<std::string> toRead_;
    std::map<std::string, std::string> known_;  // address -> MAC, read once
    std::string found_;
};

// MAC addresses compare without regard to case.
bool SameMac(std::string_view a, std::string_view b);

}  // namespace cv::endpoint
