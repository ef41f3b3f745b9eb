// Command line of endpoint-sim.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Fleet.h"
#include "Shell.h"

namespace esim {

struct SimConfig {
    std::vector<NodeConfig> nodes;
    // In command-line order; address 0 stands for every endpoint.
    std::vector<std::pair<uint32_t, std::string>> faults;
    std::string stateDir;
    std::string readyFile;
    int rebootDelayMs = 3000;
    ShellOptions shell;
    uint16_t shellPort = 24;
    uint16_t discoveryPort = 3333;
    uint16_t replyPort = 3334;
    bool discovery = true;
    int answerGapMs = 0;  // between two discovery answers; 0 sends them all at once
    bool help = false;
};

// Returns an error text, empty on success.
std::string parseArgs(const std::vector<std::string>& args, SimConfig& cfg);
// Applies "KIND[=ARG]" to a fault set; returns an error text or empty.
std::string applyFault(Faults& f, const std::string& spec);
// The --help text.
std::string usageText();
// The faults of one endpoint, all matching --fault options applied in order.
Faults faultsFor(const SimConfig& cfg, uint32_t addr);

}  // namespace esim
