#include <cctype>
#include "Options.h"

#include <cstdio>
#include <fstream>

namespace esim {

const char* usageText()
{
    return R"(usage: endpoint-sim [options]
Simulates a fleet of HDMI-over-IP endpoints: the discovery responder on
225.1.0.0:3333 and the shell on TCP port 24 of every endpoint address.
Run it inside the endpoints namespace of scripts/testlan.sh only.

Fleet
  --tx N                 transmitters to generate (default 1 unless nodes are given)
  --rx N                 receivers to generate (default 1 unless nodes are given)
  --tx-base ADDR         first transmitter address (default 198.18.1.1)
  --rx-base ADDR         first receiver address (default 198.18.2.1)
                         (addresses run .1 to .250, then the next /24;
                         past 250 transmitters receivers start after them)
  --node SPEC            one more node: "tx|rx ip=ADDR [key=value ...]"
  --fleet FILE           nodes from a file, one SPEC per line, # comments
                         keys: ip hostname_id channel multicast(y|n)
                         ip_mode(autoip|dhcp|static) netmask gateway mac
                         version state
  --multicast y|n        casting mode of generated nodes (default y)
  --ip-mode MODE         autoip|dhcp|static for generated nodes (default autoip)
  --netmask ADDR         default 255.255.0.0
  --gateway ADDR         default 198.18.0.1
  --version TEXT         firmware version (default A7.3.1)
  Generated transmitter i (from 1) gets channel i-1 and hostname ID tx-00i;
  receiver j gets the channel of transmitter j and hostname ID rx-00j.

Behaviour
  --state-dir DIR        wire logs, events and fetched files go here
  --ready-file PATH      written once everything is bound ("ready" also
                         goes to stdout)
  --reboot-delay MS      time an endpoint stays down after reboot (default 3000);
                         it comes back at a saved static address of the
                         endpoint range (198.18.1.1 to 198.18.250.255)
  --tftp MODE            real (run the tftp client, default; an image whose
                         first line is version=X installs version X), ok, notfound,
                         timeout (answer without running it)
  --tftp-client PATH     default /usr/bin/tftp
  --shell-port PORT      default 24
  --discovery-port PORT  default 3333 (answers go to port --reply-port,
                         default 3334, of the querier)
  --no-discovery         do not run the discovery responder
  --answer-gap MS        pause between two discovery answers (default 0:
                         all at once; a querier may then drop some)
  --fault KIND[=ARG][@ADDR]
                         misbehave, for one endpoint address or all of them:
                         refuse          accept and reset the connection
                         silent          accept, never answer
                         cut-dump=BYTES  close after BYTES of the node dump
                         chunk=N:MS      answer in pieces of N bytes, MS apart
                         no-discovery    do not answer discovery
                         garbage=N       N binary bytes (with zero bytes)
                                         before every command output
                         flood=N         N bytes of text before every output
                         noise=N         N bytes before every echo: terminal
                                         escapes, binary, digits and lines
                         reboot-after=N  reboot by itself after N commands
                         move=ADDR       come back at ADDR after the next
                                         restart (a new lease), same MAC
                         swap=MAC        after the next restart another box
                                         answers there: this MAC, same settings
  --help                 this text

Files in the state directory, per endpoint address:
  DIR/ADDR/conn-N.bin    every byte received on connection N (from 1)
  DIR/ADDR/events.log    one line per command and recorded event
  DIR/ADDR/shm/          files fetched with tftp
  DIR/discovery.log      one line per discovery query and answer burst
SIGTERM or SIGINT ends the simulator.
)";
}

static bool toInt(const std::string& s, long& out)
{
    try {
        size_t pos = 0;
        out = std::stol(s, &pos);
        return pos == s.size() && out >= 0;
    } catch (...) {
        return false;
    }
}

std::string applyFault(Faults& f, const std::string& spec)
{
    auto eq = spec.find('=');
    std::string kind = spec.substr(0, eq), arg = eq == std::string::npos ? "" : spec.substr(eq + 1);
    long v = 0;
    if (kind == "refuse") {
        f.refuse = true;
    } else if (kind == "silent") {
        f.silent = true;
    } else if (kind == "no-discovery") {
        f.noDiscovery = true;
    } else if (kind == "cut-dump") {
        if (!arg.empty() && !toInt(arg, v))
            return "cut-dump needs a byte count";
        f.cutDump = arg.empty() ? 200 : v;
    } else if (kind == "chunk") {
        auto colon = arg.find(':');
        long ms = 0;
        if (!toInt(arg.substr(0, colon), v) || v <= 0 ||
            (colon != std::string::npos && !toInt(arg.substr(colon + 1), ms)))
            return "chunk needs N[:MS]";
        f.chunk = static_cast<size_t>(v);
        f.chunkDelayMs = static_cast<int>(ms);
    } else if (kind == "garbage" || kind == "flood" || kind == "noise") {
        if (!toInt(arg, v) || v > (64l << 20))
            return kind + " needs a byte count up to 64 MiB";
        (kind == "garbage" ? f.garbage : kind == "flood" ? f.flood : f.noise) = static_cast<size_t>(v);
    } else if (kind == "move") {
        auto a = parseIp(arg);
        // Only into the test LAN: the endpoints namespace owns those.
        if (!a || (*a & 0xFFFE0000u) != 0xC6120000u)
            return "move needs an address in 198.18.0.0/15";
        f.moveTo = *a;
    } else if (kind == "swap") {
        // Six pairs of hex digits: what the firmware prints as MY_MAC.
        bool ok = arg.size() == 17;
        for (size_t i = 0; ok && i < arg.size(); ++i)
            ok = i % 3 == 2 ? arg[i] == ':' : std::isxdigit(static_cast<unsigned char>(arg[i])) != 0;
        if (!ok)
            return "swap needs a MAC (aa:bb:cc:dd:ee:ff)";
        f.swapMac = arg;
    } else if (kind == "reboot-after") {
        if (!toInt(arg, v) || v <= 0)
            return "reboot-after needs a command count";
        f.rebootAfter = static_cast<int>(v);
    } else {
        return "unknown fault: " + kind;
    }
    return {};
}

Faults faultsFor(const SimConfig& cfg, uint32_t addr)
{
    Faults f;
    for (auto& [a, spec] : cfg.faults)
        if (a == 0 || a == addr)
            applyFault(f, spec);
    return f;
}

std::string parseArgs(const std::vector<std::string>& args, SimConfig& cfg)
{
    long nTx = -1, nRx = -1;
    uint32_t txBase = *parseIp("198.18.1.1"), rxBase = *parseIp("198.18.2.1");
    bool rxBaseGiven = false;
    NodeConfig generated;
    std::vector<NodeConfig> explicitNodes;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) -> bool {
            if (i + 1 >= args.size())
                return false;
            out = args[++i];
            return true;
        };
        std::string v;
        long n = 0;
        if (a == "--help" || a == "-h") {
            cfg.help = true;
        } else if (a == "--no-discovery") {
            cfg.discovery = false;
        } else if (!value(v)) {
            return a.rfind("--", 0) == 0 ? a + " needs a value (or is unknown)" : "unexpected argument: " + a;
        } else if (a == "--tx" || a == "--rx") {
            if (!toInt(v, n) || n > 5000)
                return a + " needs a count";
            (a == "--tx" ? nTx : nRx) = n;
        } else if (a == "--tx-base" || a == "--rx-base") {
            auto ip = parseIp(v);
            if (!ip)
                return "bad address: " + v;
            (a == "--tx-base" ? txBase : rxBase) = *ip;
            rxBaseGiven = rxBaseGiven || a == "--rx-base";
        } else if (a == "--node") {
            std::string err;
            auto node = parseNodeSpec(v, err);
            if (!node)
                return err;
            explicitNodes.push_back(*node);
        } else if (a == "--fleet") {
            std::ifstream in(v);
            if (!in)
                return "cannot read fleet file " + v;
            std::string line;
            while (std::getline(in, line)) {
                auto hash = line.find('#');
                if (hash != std::string::npos)
                    line.erase(hash);
                if (line.find_first_not_of(" \t\r") == std::string::npos)
                    continue;
                std::string err;
                auto node = parseNodeSpec(line, err);
                if (!node)
                    return v + ": " + err;
                explicitNodes.push_back(*node);
            }
        } else if (a == "--multicast" || a == "--ip-mode" || a == "--netmask" || a == "--gateway" || a == "--version") {
            static const std::map<std::string, std::string> keys = {{"--multicast", "multicast"},
                                                                    {"--ip-mode", "ip_mode"},
                                                                    {"--netmask", "netmask"},
                                                                    {"--gateway", "gateway"},
                                                                    {"--version", "version"}};
            std::string err = applyNodeKey(generated, keys.at(a), v);
            if (!err.empty())
                return err;
        } else if (a == "--state-dir") {
            cfg.stateDir = v;
        } else if (a == "--ready-file") {
            cfg.readyFile = v;
        } else if (a == "--reboot-delay") {
            if (!toInt(v, n))
                return "--reboot-delay needs milliseconds";
            cfg.rebootDelayMs = static_cast<int>(n);
        } else if (a == "--answer-gap") {
            if (!toInt(v, n) || n > 1000)
                return "--answer-gap needs milliseconds (0..1000)";
            cfg.answerGapMs = static_cast<int>(n);
        } else if (a == "--tftp") {
            static const std::map<std::string, TftpMode> modes = {{"real", TftpMode::Real},
                                                                  {"ok", TftpMode::Ok},
                                                                  {"notfound", TftpMode::NotFound},
                                                                  {"timeout", TftpMode::Timeout}};
            if (!modes.count(v))
                return "--tftp must be real, ok, notfound or timeout";
            cfg.shell.tftp = modes.at(v);
        } else if (a == "--tftp-client") {
            cfg.shell.tftpClient = v;
        } else if (a == "--shell-port" || a == "--discovery-port" || a == "--reply-port") {
            if (!toInt(v, n) || n < 1 || n > 65535)
                return a + " needs a port";
            (a == "--shell-port"           ? cfg.shellPort
                 : a == "--discovery-port" ? cfg.discoveryPort
                                           : cfg.replyPort) = static_cast<uint16_t>(n);
        } else if (a == "--fault") {
            auto at = v.rfind('@');
            std::string spec = v.substr(0, at);
            uint32_t addr = 0;
            if (at != std::string::npos && v.substr(at + 1) != "all") {
                auto ip = parseIp(v.substr(at + 1));
                if (!ip)
                    return "bad fault address: " + v.substr(at + 1);
                addr = *ip;
            }
            Faults probe;
            std::string err = applyFault(probe, spec);
            if (!err.empty())
                return err;
            cfg.faults.emplace_back(addr, spec);
        } else {
            return "unknown option: " + a;
        }
    }
    if (nTx < 0)
        nTx = explicitNodes.empty() ? 1 : 0;
    // More than 250 transmitters fill several /24s; receivers then start after them.
    if (!rxBaseGiven && nTx > 250)
        rxBase = (nthAddress(txBase, static_cast<int>(nTx - 1)) & 0xFFFFFF00u) + 0x101;
    if (nRx < 0)
        nRx = explicitNodes.empty() ? 1 : 0;
    char buf[32];
    for (long i = 0; i < nTx; ++i) {
        NodeConfig c = generated;
        c.isTx = true;
        c.addr = nthAddress(txBase, static_cast<int>(i));
        std::snprintf(buf, sizeof buf, "%04ld", i % 100);
        c.channel = buf;
        std::snprintf(buf, sizeof buf, "tx-%03ld", i + 1);
        c.hostnameId = buf;
        cfg.nodes.push_back(c);
    }
    for (long j = 0; j < nRx; ++j) {
        NodeConfig c = generated;
        c.isTx = false;
        c.addr = nthAddress(rxBase, static_cast<int>(j));
        std::snprintf(buf, sizeof buf, "%04ld", nTx > 0 ? (j % nTx) % 100 : 0);
        c.channel = buf;
        std::snprintf(buf, sizeof buf, "rx-%03ld", j + 1);
        c.hostnameId = buf;
        cfg.nodes.push_back(c);
    }
    for (auto& c : explicitNodes) {
        if (c.hostnameId.empty())
            c.hostnameId = formatIp(c.addr);
        cfg.nodes.push_back(c);
    }
    std::map<uint32_t, int> seen;
    for (auto& c : cfg.nodes)
        if (seen[c.addr]++)
            return "two nodes share the address " + formatIp(c.addr);
    for (auto& [addr, spec] : cfg.faults)
        if (addr != 0 && !seen.count(addr))
            return "fault for an address outside the fleet: " + formatIp(addr);
    return {};
}

}  // namespace esim
