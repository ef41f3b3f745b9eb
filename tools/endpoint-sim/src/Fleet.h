// The simulated fleet: what each endpoint is configured with, what its
// parameter store holds (saved and unsaved) and what is running right now.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace esim {

// Factory settings of one endpoint.
struct NodeConfig {
    bool isTx = false;
    uint32_t addr = 0;  // host byte order
    std::string hostnameId;
    std::string channel = "0000";
    std::string multicast = "y";
    std::string ipMode = "autoip";
    std::string netmask = "255.255.0.0";
    std::string gateway = "198.18.0.1";
    std::string mac;
    std::string version = "A7.3.1";
    std::string state = "s_srv_on";
};

using Params = std::map<std::string, std::string>;

// Misbehaviour injected into one endpoint.
struct Faults {
    bool refuse = false;  // accept and reset at once
    bool silent = false;  // accept, read, never answer
    bool noDiscovery = false;  // the discovery responder ignores queries
    long cutDump = -1;  // close after this many bytes of a node dump
    size_t chunk = 0;  // answer in pieces of this size ...
    int chunkDelayMs = 0;  // ... one piece per delay
    size_t garbage = 0;  // binary bytes before every command output
    size_t flood = 0;  // text bytes before every command output
    size_t noise = 0;  // bytes (escapes, binary, lines) before every echo
    int rebootAfter = 0;  // reboot by itself after this many commands
    uint32_t moveTo = 0;  // the next start is at this address (host order)
    std::string swapMac;  // the next start is another box, with this MAC and the same settings
};

struct Endpoint {
    NodeConfig cfg;
    Params defaults;  // factory parameter store
    Params saved;  // what survives a reboot
    Params params;  // current store: saved plus unsaved writes
    std::string runningHostnameId;
    std::string runningChannel;
    int64_t downUntilMs = 0;  // > now while rebooting
    int connCount = 0;
    Faults faults;

    std::string ip() const;
    void boot();
    void resetToDefault();
    std::string param(const std::string& key) const;
    // Values as the firmware reports them.
    std::string dumpHostnameLine() const;
    std::string lmparamValue(const std::string& key) const;
    std::string lmparamDump() const;
    std::string nodeRecord() const;
};

std::string formatIp(uint32_t addr);
std::optional<uint32_t> parseIp(const std::string& text);
// The i-th (0-based) address after base: .1 .. .250, then the next /24.
uint32_t nthAddress(uint32_t base, int i);
std::string defaultMac(uint32_t addr);
bool validChannel(const std::string& ch);

// Applies "key=value" to a node config; returns an error text or empty.
std::string applyNodeKey(NodeConfig& cfg, const std::string& key, const std::string& value);
// Parses "tx|rx key=value ..." (one node of a fleet file).
std::optional<NodeConfig> parseNodeSpec(const std::string& spec, std::string& error);

class Fleet {
public:
    std::vector<Endpoint> nodes;

    void add(const NodeConfig& cfg);
    Endpoint* find(uint32_t addr);
    int indexOf(uint32_t addr) const;
    // node_query --dump output, without echo and prompt.
    std::string nodeDump(int64_t nowMs) const;
};

}  // namespace esim
