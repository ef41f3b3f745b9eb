#include "Fleet.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdio>
#include <sstream>

namespace esim {

std::string formatIp(uint32_t addr)
{
    char buf[INET_ADDRSTRLEN] = {};
    in_addr a{htonl(addr)};
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

std::optional<uint32_t> parseIp(const std::string& text)
{
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1)
        return std::nullopt;
    return ntohl(a.s_addr);
}

uint32_t nthAddress(uint32_t base, int i)
{
    uint32_t net = base & 0xFFFFFF00u;
    int host = static_cast<int>(base & 0xFF);
    if (host < 1)
        host = 1;
    host += i;
    // .251 and above are left free, so the fleet spills into the next /24.
    while (host > 250) {
        host -= 250;
        net += 0x100;
    }
    return net | static_cast<uint32_t>(host);
}

std::string defaultMac(uint32_t addr)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "02:00:%02X:%02X:%02X:%02X", (addr >> 24) & 0xFF, (addr >> 16) & 0xFF,
                  (addr >> 8) & 0xFF, addr & 0xFF);
    return buf;
}

bool validChannel(const std::string& ch)
{
    if (ch.size() != 4)
        return false;
    for (char c : ch)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    return std::stoi(ch) <= 99;
}

static bool oneOf(const std::string& v, std::initializer_list<const char*> allowed)
{
    for (const char* a : allowed)
        if (v == a)
            return true;
    return false;
}

std::string applyNodeKey(NodeConfig& cfg, const std::string& key, const std::string& value)
{
    if (key == "ip") {
        auto a = parseIp(value);
        if (!a)
            return "bad address: " + value;
        cfg.addr = *a;
    } else if (key == "hostname_id" || key == "id") {
        cfg.hostnameId = value;
    } else if (key == "channel") {
        if (!validChannel(value))
            return "channel must be 0000..0099: " + value;
        cfg.channel = value;
    } else if (key == "multicast") {
        if (!oneOf(value, {"y", "n"}))
            return "multicast must be y or n";
        cfg.multicast = value;
    } else if (key == "ip_mode") {
        if (!oneOf(value, {"autoip", "dhcp", "static"}))
            return "ip_mode must be autoip, dhcp or static";
        cfg.ipMode = value;
    } else if (key == "netmask") {
        cfg.netmask = value;
    } else if (key == "gateway") {
        cfg.gateway = value;
    } else if (key == "mac") {
        cfg.mac = value;
    } else if (key == "version") {
        cfg.version = value;
    } else if (key == "state") {
        cfg.state = value;
    } else {
        return "unknown node key: " + key;
    }
    return {};
}

std::optional<NodeConfig> parseNodeSpec(const std::string& spec, std::string& error)
{
    std::istringstream in(spec);
    std::string word;
    if (!(in >> word) || (word != "tx" && word != "rx")) {
        error = "node must start with tx or rx: " + spec;
        return std::nullopt;
    }
    NodeConfig cfg;
    cfg.isTx = word == "tx";
    while (in >> word) {
        auto eq = word.find('=');
        if (eq == std::string::npos) {
            error = "expected key=value: " + word;
            return std::nullopt;
        }
        error = applyNodeKey(cfg, word.substr(0, eq), word.substr(eq + 1));
        if (!error.empty())
            return std::nullopt;
    }
    if (cfg.addr == 0) {
        error = "node needs ip=: " + spec;
        return std::nullopt;
    }
    return cfg;
}

std::string Endpoint::ip() const { return formatIp(cfg.addr); }

static const char* channelKey(bool isTx) { return isTx ? "ch_select" : "ch_select_v"; }

void Endpoint::boot()
{
    params = saved;
    runningHostnameId = param("hostname_id");
    runningChannel = param("reset_ch_on_boot") == "y" ? defaults.at(channelKey(cfg.isTx)) : param(channelKey(cfg.isTx));
}

void Endpoint::resetToDefault()
{
    saved = defaults;
    params = defaults;
}

std::string Endpoint::param(const std::string& key) const
{
    auto it = params.find(key);
    return it == params.end() ? std::string() : it->second;
}

std::string Endpoint::dumpHostnameLine() const
{
    if (cfg.isTx) {
        std::string mac;
        for (char c : cfg.mac)
            if (c != ':')
                mac += c;
        return "ast-gateway" + mac;
    }
    return "ast-client" + runningHostnameId;
}

std::string Endpoint::lmparamValue(const std::string& key) const
{
    if (key == "HOSTNAME")
        return dumpHostnameLine();
    if (key == "HOSTNAME_ID")
        return runningHostnameId;
    if (key == "MY_MAC")
        return cfg.mac;
    if (key == "MY_IP")
        return ip();
    if (key == "MY_NETMASK")
        return param("netmask");
    if (key == "MY_GATEWAYIP")
        return param("gatewayip");
    if (key == "IP_MODE")
        return param("ip_mode");
    if (key == "MULTICAST_ON")
        return param("multicast_on");
    if (key == "CH_SELECT" || key == "CH_SELECT_V")
        return runningChannel;
    if (key == "RESET_CH_ON_BOOT")
        return param("reset_ch_on_boot");
    if (key == "STATE")
        return cfg.state;
    if (key == "IS_HOST")
        return cfg.isTx ? "y" : "n";
    if (key == "FW_VERSION")
        return cfg.version;
    return {};
}

std::string Endpoint::lmparamDump() const
{
    // IS_HOST comes last: a reader takes the prompt after it as the end.
    static const char* txKeys[] = {"HOSTNAME",     "HOSTNAME_ID", "MY_MAC",       "MY_IP",     "MY_NETMASK",
                                   "MY_GATEWAYIP", "IP_MODE",     "MULTICAST_ON", "CH_SELECT", "RESET_CH_ON_BOOT",
                                   "STATE",        "FW_VERSION",  "IS_HOST"};
    static const char* rxKeys[] = {"HOSTNAME",     "HOSTNAME_ID", "MY_MAC",       "MY_IP",       "MY_NETMASK",
                                   "MY_GATEWAYIP", "IP_MODE",     "MULTICAST_ON", "CH_SELECT_V", "RESET_CH_ON_BOOT",
                                   "STATE",        "FW_VERSION",  "IS_HOST"};
    std::string out;
    for (const char* k : cfg.isTx ? txKeys : rxKeys)
        out += std::string(k) + "=" + lmparamValue(k) + "\r\n";
    return out;
}

std::string Endpoint::nodeRecord() const
{
    // MY_MAC closes the record: readers cut records at that key.
    std::string out;
    out += "HOSTNAME=" + dumpHostnameLine() + "\r\n";
    out += "MY_IP=" + ip() + "\r\n";
    out += std::string("IS_HOST=") + (cfg.isTx ? "y" : "n") + "\r\n";
    out += "MULTICAST_ON=" + param("multicast_on") + "\r\n";
    out += std::string(cfg.isTx ? "CH_SELECT=" : "CH_SELECT_V=") + runningChannel + "\r\n";
    out += "MY_MAC=" + cfg.mac + "\r\n";
    return out;
}

void Fleet::add(const NodeConfig& in)
{
    Endpoint e;
    e.cfg = in;
    if (e.cfg.mac.empty())
        e.cfg.mac = defaultMac(in.addr);
    e.defaults = {
        {"hostname_id", e.cfg.hostnameId}, {"multicast_on", e.cfg.multicast},    {"ip_mode", e.cfg.ipMode},
        {"ipaddr", formatIp(in.addr)},     {"netmask", e.cfg.netmask},           {"gatewayip", e.cfg.gateway},
        {"reset_ch_on_boot", "n"},         {channelKey(in.isTx), e.cfg.channel},
    };
    e.resetToDefault();
    e.boot();
    nodes.push_back(std::move(e));
}

Endpoint* Fleet::find(uint32_t addr)
{
    int i = indexOf(addr);
    return i < 0 ? nullptr : &nodes[static_cast<size_t>(i)];
}

int Fleet::indexOf(uint32_t addr) const
{
    for (size_t i = 0; i < nodes.size(); ++i)
        if (nodes[i].cfg.addr == addr)
            return static_cast<int>(i);
    return -1;
}

std::string Fleet::nodeDump(int64_t nowMs) const
{
    std::string out;
    for (const auto& e : nodes)
        if (e.downUntilMs <= nowMs)
            out += e.nodeRecord();
    out += "<<<<<<<<<<\r\n";
    return out;
}

}  // namespace esim
