#include "Options.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <climits>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <optional>

namespace esim {

namespace {

const char* const kAbout = R"(Simulates a fleet of HDMI-over-IP endpoints: the discovery responder on
225.1.0.0:3333 and the shell on TCP port 24 of every endpoint address.
Run it inside the endpoints namespace of scripts/testlan.sh only.
)";

const char* const kFooter = R"(Generated transmitter i (from 1) gets channel i-1 and hostname ID tx-00i;
receiver j gets the channel of transmitter j and hostname ID rx-00j.

Faults (KIND[=ARG] of --fault):
  refuse          accept and reset the connection
  silent          accept, never answer
  cut-dump=BYTES  close after BYTES of the node dump
  chunk=N:MS      answer in pieces of N bytes, MS apart
  no-discovery    do not answer discovery
  garbage=N       N binary bytes (with zero bytes) before every command output
  flood=N         N bytes of text before every output
  noise=N         N bytes before every echo: terminal escapes, binary, digits
                  and lines
  reboot-after=N  reboot by itself after N commands
  move=ADDR       come back at ADDR after the next restart (a new lease),
                  same MAC
  swap=MAC        after the next restart another box answers there: this MAC,
                  same settings

Files in the state directory, per endpoint address:
  DIR/ADDR/conn-N.bin    every byte received on connection N (from 1)
  DIR/ADDR/events.log    one line per command and recorded event
  DIR/ADDR/shm/          files fetched with tftp
  DIR/discovery.log      one line per discovery query and answer burst
SIGTERM or SIGINT ends the simulator.)";

// What the options say before the fleet is made from them.
struct Reading {
    long nTx = -1, nRx = -1;
    uint32_t txBase = *parseIp("198.18.1.1"), rxBase = *parseIp("198.18.2.1");
    bool rxBaseGiven = false;
    NodeConfig generated;
    std::vector<NodeConfig> explicitNodes;
};

bool toInt(const std::string& s, long& out)
{
    try {
        size_t pos = 0;
        out = std::stol(s, &pos);
        return pos == s.size() && out >= 0;
    } catch (...) {
        return false;
    }
}

// A plain check (its error text, empty when fine) as a CLI11 validator.
CLI::Validator checked(std::function<std::string(const std::string&)> check)
{
    return CLI::Validator([check = std::move(check)](std::string& text) { return check(text); }, "");
}

// Decimal, as these have always been read: CLI11 alone takes 010 for octal 8.
CLI::Validator decimal(long lo, long hi, std::string error)
{
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            long v = 0;
            if (!toInt(text, v) || v < lo || v > hi)
                return error;
            text = std::to_string(v);
            return {};
        },
        "");
}

void failIf(const std::string& option, const std::string& error)
{
    if (!error.empty())
        throw CLI::ValidationError(option, error);
}

std::string checkAddress(const std::string& text) { return parseIp(text) ? "" : "bad address: " + text; }

std::optional<TftpMode> tftpMode(const std::string& text)
{
    static const std::map<std::string, TftpMode> modes = {{"real", TftpMode::Real},
                                                          {"ok", TftpMode::Ok},
                                                          {"notfound", TftpMode::NotFound},
                                                          {"timeout", TftpMode::Timeout}};
    auto it = modes.find(text);
    return it == modes.end() ? std::nullopt : std::optional(it->second);
}

// "KIND[=ARG][@ADDR]": the fault and the endpoint it is for, 0 for all.
std::string parseFaultOption(const std::string& text, uint32_t& addr, std::string& spec)
{
    auto at = text.rfind('@');
    spec = text.substr(0, at);
    addr = 0;
    if (at != std::string::npos && text.substr(at + 1) != "all") {
        auto ip = parseIp(text.substr(at + 1));
        if (!ip)
            return "bad fault address: " + text.substr(at + 1);
        addr = *ip;
    }
    Faults probe;
    return applyFault(probe, spec);
}

// One node per line, # comments.
std::string readFleetFile(const std::string& path, std::vector<NodeConfig>& nodes)
{
    std::ifstream in(path);
    if (!in)
        return "cannot read fleet file " + path;
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
            return path + ": " + err;
        nodes.push_back(*node);
    }
    return {};
}

void declare(CLI::App& app, Reading& r, SimConfig& cfg)
{
    app.description(kAbout);
    app.footer(kFooter);
    app.get_formatter()->column_width(25);
    // The last of an option given twice counts, as it always has.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    // Listed last, under Behaviour.
    app.set_help_flag();

    const char* fleet = "Fleet";
    app.add_option("--tx", r.nTx, "transmitters to generate (default 1 unless nodes are given)")
        ->type_name("N")
        ->transform(decimal(0, 5000, "needs a count up to 5000"))
        ->group(fleet);
    app.add_option("--rx", r.nRx, "receivers to generate (default 1 unless nodes are given)")
        ->type_name("N")
        ->transform(decimal(0, 5000, "needs a count up to 5000"))
        ->group(fleet);
    app.add_option_function<std::string>(
           "--tx-base", [&r](const std::string& v) { r.txBase = *parseIp(v); },
           "first transmitter address (default 198.18.1.1)")
        ->type_name("ADDR")
        ->check(checked(checkAddress))
        ->group(fleet);
    app.add_option_function<std::string>(
           "--rx-base",
           [&r](const std::string& v) {
               r.rxBase = *parseIp(v);
               r.rxBaseGiven = true;
           },
           "first receiver address (default 198.18.2.1)\n(addresses run .1 to .250, then the next /24;\n"
           "past 250 transmitters receivers start after them)")
        ->type_name("ADDR")
        ->check(checked(checkAddress))
        ->group(fleet);
    // --node and --fleet add to one list, in command-line order.
    app.add_option_function<std::string>(
           "--node",
           [&r](const std::string& v) {
               std::string err;
               auto node = parseNodeSpec(v, err);
               failIf("--node", node ? "" : err);
               r.explicitNodes.push_back(*node);
           },
           "one more node: \"tx|rx ip=ADDR [key=value ...]\" (repeatable)")
        ->type_name("SPEC")
        ->trigger_on_parse()
        ->group(fleet);
    app.add_option_function<std::string>(
           "--fleet", [&r](const std::string& v) { failIf("--fleet", readFleetFile(v, r.explicitNodes)); },
           "nodes from a file, one SPEC per line, # comments\nkeys: ip hostname_id channel multicast(y|n)\n"
           "ip_mode(autoip|dhcp|static) netmask gateway mac\nversion state")
        ->type_name("FILE")
        ->trigger_on_parse()
        ->group(fleet);
    // Settings of the generated nodes, as the keys of a node line.
    struct NodeKey {
        const char *option, *key, *type, *text;
    };
    for (const NodeKey& k :
         {NodeKey{"--multicast", "multicast", "y|n", "casting mode of generated nodes (default y)"},
          NodeKey{"--ip-mode", "ip_mode", "MODE", "autoip|dhcp|static for generated nodes (default autoip)"},
          NodeKey{"--netmask", "netmask", "ADDR", "default 255.255.0.0"},
          NodeKey{"--gateway", "gateway", "ADDR", "default 198.18.0.1"},
          NodeKey{"--version", "version", "TEXT", "firmware version (default A7.3.1)"}}) {
        std::string option = k.option, key = k.key;
        app.add_option_function<std::string>(
               option, [&r, option, key](const std::string& v) { failIf(option, applyNodeKey(r.generated, key, v)); },
               k.text)
            ->type_name(k.type)
            ->check(checked([key](const std::string& v) {
                NodeConfig probe;
                return applyNodeKey(probe, key, v);
            }))
            ->group(fleet);
    }

    const char* behaviour = "Behaviour";
    app.add_option("--state-dir", cfg.stateDir, "wire logs, events and fetched files go here")
        ->type_name("DIR")
        ->group(behaviour);
    app.add_option("--ready-file", cfg.readyFile, "written once everything is bound (\"ready\" also\ngoes to stdout)")
        ->type_name("PATH")
        ->group(behaviour);
    app.add_option("--reboot-delay", cfg.rebootDelayMs,
                   "time an endpoint stays down after reboot (default 3000);\nit comes back at a saved static address "
                   "of the\nendpoint range (198.18.1.1 to 198.18.250.255)")
        ->type_name("MS")
        ->transform(decimal(0, INT_MAX, "needs milliseconds"))
        ->group(behaviour);
    app.add_option_function<std::string>(
           "--tftp", [&cfg](const std::string& v) { cfg.shell.tftp = *tftpMode(v); },
           "real (run the tftp client, default; an image whose\nfirst line is version=X installs version X), ok, "
           "notfound,\ntimeout (answer without running it)")
        ->type_name("MODE")
        ->check(checked([](const std::string& v) {
            return tftpMode(v) ? "" : std::string("must be real, ok, notfound or timeout");
        }))
        ->group(behaviour);
    app.add_option("--tftp-client", cfg.shell.tftpClient, "default /usr/bin/tftp")->type_name("PATH")->group(behaviour);
    app.add_option("--shell-port", cfg.shellPort, "default 24")
        ->type_name("PORT")
        ->transform(decimal(1, 65535, "needs a port"))
        ->group(behaviour);
    app.add_option("--discovery-port", cfg.discoveryPort, "default 3333")
        ->type_name("PORT")
        ->transform(decimal(1, 65535, "needs a port"))
        ->group(behaviour);
    app.add_option("--reply-port", cfg.replyPort, "the querier's port answers go to (default 3334)")
        ->type_name("PORT")
        ->transform(decimal(1, 65535, "needs a port"))
        ->group(behaviour);
    app.add_flag_callback(
           "--no-discovery", [&cfg] { cfg.discovery = false; }, "do not run the discovery responder")
        ->group(behaviour);
    app.add_option("--answer-gap", cfg.answerGapMs,
                   "pause between two discovery answers (default 0:\nall at once; a querier may then drop some)")
        ->type_name("MS")
        ->transform(decimal(0, 1000, "needs milliseconds (0..1000)"))
        ->group(behaviour);
    app.add_option_function<std::string>(
           "--fault",
           [&cfg](const std::string& v) {
               uint32_t addr = 0;
               std::string spec;
               failIf("--fault", parseFaultOption(v, addr, spec));
               cfg.faults.emplace_back(addr, spec);
           },
           "misbehave, for one endpoint address or all of them\n(repeatable, applied in order; kinds below)")
        ->type_name("KIND[=ARG][@ADDR]")
        ->trigger_on_parse()
        ->group(behaviour);
    app.set_help_flag("-h,--help", "this text")->group(behaviour);
}

// The generated nodes, then the given ones; every address once.
std::string makeFleet(Reading& r, SimConfig& cfg)
{
    long nTx = r.nTx, nRx = r.nRx;
    uint32_t rxBase = r.rxBase;
    if (nTx < 0)
        nTx = r.explicitNodes.empty() ? 1 : 0;
    // More than 250 transmitters fill several /24s; receivers then start after them.
    if (!r.rxBaseGiven && nTx > 250)
        rxBase = (nthAddress(r.txBase, static_cast<int>(nTx - 1)) & 0xFFFFFF00u) + 0x101;
    if (nRx < 0)
        nRx = r.explicitNodes.empty() ? 1 : 0;
    char buf[32];
    for (long i = 0; i < nTx; ++i) {
        NodeConfig c = r.generated;
        c.isTx = true;
        c.addr = nthAddress(r.txBase, static_cast<int>(i));
        std::snprintf(buf, sizeof buf, "%04ld", i % 100);
        c.channel = buf;
        std::snprintf(buf, sizeof buf, "tx-%03ld", i + 1);
        c.hostnameId = buf;
        cfg.nodes.push_back(c);
    }
    for (long j = 0; j < nRx; ++j) {
        NodeConfig c = r.generated;
        c.isTx = false;
        c.addr = nthAddress(rxBase, static_cast<int>(j));
        std::snprintf(buf, sizeof buf, "%04ld", nTx > 0 ? (j % nTx) % 100 : 0);
        c.channel = buf;
        std::snprintf(buf, sizeof buf, "rx-%03ld", j + 1);
        c.hostnameId = buf;
        cfg.nodes.push_back(c);
    }
    for (auto& c : r.explicitNodes) {
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

}  // namespace

std::string usageText()
{
    CLI::App app("", "endpoint-sim");
    Reading r;
    SimConfig cfg;
    declare(app, r, cfg);
    return app.help();
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
    CLI::App app("", "endpoint-sim");
    Reading r;
    declare(app, r, cfg);
    try {
        // CLI11 reads a vector from its back.
        app.parse(std::vector<std::string>(args.rbegin(), args.rend()));
    } catch (const CLI::CallForHelp&) {
        cfg.help = true;
        return {};
    } catch (const CLI::ParseError& e) {
        return e.what();
    }
    return makeFleet(r, cfg);
}

}  // namespace esim
