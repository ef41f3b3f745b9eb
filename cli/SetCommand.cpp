// cortavia-cli set: settings with read-back, for one endpoint or a plan.
#include "cli/Command.h"
#include "cli/Plan.h"

#include "cli/Interrupt.h"
#include "endpoint/Addressing.h"
#include "lan/Interfaces.h"
#include "nodes/Firmware.h"

#include <algorithm>

namespace cv::cli {

namespace {

struct SetOptions {
    std::string address;
    std::string hostname, channel, ipaddr, netmask, gateway, plan;
    bool multicast = false, unicast = false, autoip = false, dhcp = false, reboot = false, dryRun = false;
    double timeout = 120;
    std::vector<std::string> force;
    CLI::Option *hostnameOpt = nullptr, *channelOpt = nullptr, *staticOpt = nullptr, *netmaskOpt = nullptr,
                *gatewayOpt = nullptr, *planOpt = nullptr;
};

const char* const kSetText = R"(
Sends each setting with exactly the lines of the window's Apply, then reads
the endpoint back. The hostname ID (receivers only) and the channel must
read back at once. Casting mode and IP settings take effect at a reboot:
with --reboot the endpoint is restarted, waited for (up to --timeout S,
default 120) and read back; without it they are reported as pending.

The hostname ID is 1 to 24 letters, digits, '-', '_' or '.'; the channel is
0000 to 0099; addresses are dotted IPv4. Nothing is sent when one is wrong.

A plan is CSV with a header line: a key column, mac or address, and any of
hostname_id, channel, multicast (y/n), ip_mode (autoip/dhcp/static), ipaddr,
netmask, gateway. An empty cell leaves that setting alone. The whole file is
checked before anything is sent, and every endpoint it names is found
first: a row whose endpoint does not answer stops the run (--partial goes
ahead with the others). --dry-run prints every line, byte for byte.

A static address that would strand the endpoint is refused, naming the
check: a netmask that is not contiguous ones, 0.0.0.0, a network or
broadcast address, a gateway outside the subnet, the workstation's own
address, one address on two plan rows (reused-address), an address outside
every subnet of this workstation's cards (unreachable: after the restart
it could not be reached from here), an address another endpoint already
answers at (in-use). --force CHECK sends it anyway.

Exit status 0 when every setting is confirmed or pending.
)";

// --force takes the names of the address checks, and the plan's and the
// fleet's own.
constexpr const char* kReusedAddress = "reused-address";
constexpr const char* kInUse = "in-use";

std::vector<std::string> ForceNames()
{
    std::vector<std::string> names = endpoint::AddressCheckNames();
    names.push_back("unreachable");
    names.push_back(kReusedAddress);
    names.push_back(kInUse);
    return names;
}

bool Forced(const std::vector<std::string>& force, const std::string& check)
{
    return std::find(force.begin(), force.end(), check) != force.end();
}

// Another endpoint that already answers at a static address: on a real
// LAN both drop off. The fleet a plan scanned is looked at first (address
// -> MAC), then the address itself is asked, briefly: an address nobody
// holds does not answer.
std::optional<std::string> InUse(const Context& ctx, const std::string& from, const SetRequest& q,
                                 const std::vector<std::string>& force,
                                 const std::map<std::string, std::string>& scanned = {})
{
    if (!q.ipMode || *q.ipMode != endpoint::IpMode::Static || q.ipaddr == from || Forced(force, kInUse))
        return std::nullopt;
    std::optional<std::string> mac;
    if (const auto it = scanned.find(q.ipaddr); it != scanned.end()) {
        mac = it->second;
    } else {
        Context brief = ctx;
        brief.reporter = nullptr;
        brief.timeouts.connect = std::min(brief.timeouts.connect, std::chrono::milliseconds(1000));
        Details d;
        if (ReadDetails(brief, q.ipaddr, d))
            mac = Narrow(d.values.macAddress);
    }
    if (!mac)
        return std::nullopt;
    return "ipaddr: another endpoint (MAC " + *mac + ") already answers at " + q.ipaddr + " (--force " + kInUse +
        " sends it anyway)";
}

// The address checks of one request: what --force does not let through,
// each as "field: reason (--force check)".
std::vector<std::string> AddressRefusals(const SetRequest& q, const std::vector<std::string>& force)
{
    std::vector<std::string> refusals;
    if (!q.ipMode || *q.ipMode != endpoint::IpMode::Static)
        return refusals;
    std::vector<std::string> own;
    std::vector<endpoint::Card> cards;
    for (const auto& card : lan::Ipv4Interfaces()) {
        own.push_back(card.address);
        cards.push_back({card.address, card.netmask});
    }
    auto problems = endpoint::StaticAddressProblems(q.ipaddr, q.netmask, q.gateway, own);
    if (auto far = endpoint::UnreachableFrom(q.ipaddr, cards))
        problems.push_back(std::move(*far));
    for (const auto& p : problems)
        if (!Forced(force, p.check))
            refusals.push_back(p.field + ": " + p.reason + " (--force " + p.check + " sends it anyway)");
    return refusals;
}

// Every row's address checks, then the plan's: one static address given to
// two endpoints. Two receivers with one hostname ID are only warned about.
std::vector<std::string> PlanRefusals(const std::vector<PlanRow>& rows, const std::vector<std::string>& force,
                                      Reporter& reporter)
{
    std::vector<std::string> refusals;
    std::map<std::string, int> staticAt, hostnameAt;
    const bool reuseForced = std::find(force.begin(), force.end(), kReusedAddress) != force.end();
    for (const PlanRow& r : rows) {
        const std::string where = "line " + std::to_string(r.line) + ": ";
        for (const auto& refusal : AddressRefusals(r.request, force))
            refusals.push_back(where + refusal);
        const SetRequest& q = r.request;
        if (q.ipMode && *q.ipMode == endpoint::IpMode::Static) {
            const auto [it, first] = staticAt.emplace(q.ipaddr, r.line);
            if (!first && !reuseForced)
                refusals.push_back(where + "ipaddr " + q.ipaddr + " is given to line " + std::to_string(it->second) +
                                   " too (--force " + kReusedAddress + " sends it anyway)");
        }
        if (q.hostnameId) {
            const auto [it, first] = hostnameAt.emplace(*q.hostnameId, r.line);
            if (!first)
                reporter.Note("warning: " + where + "hostname_id " + *q.hostnameId + " is given to line " +
                              std::to_string(it->second) + " too");
        }
    }
    return refusals;
}

// A plan row and the endpoint it names, once the fleet was looked at.
struct Resolved {
    const PlanRow* row = nullptr;
    std::optional<Listed> endpoint;  // nullopt: not found
};

Record RowStart(const Resolved& r)
{
    const std::string address = r.endpoint ? r.endpoint->address : r.row->byMac ? std::string() : r.row->key;
    return {{"key", r.row->key}, {"address", address}};
}

int DryRun(const std::vector<Resolved>& resolved, bool reboot, bool checked, Invocation& run)
{
    std::vector<Record> records;
    for (const Resolved& r : resolved) {
        const PlanRow& row = *r.row;
        auto lines = row.request.empty() ? std::vector<nodes::WireLine>{} : RequestLines(row.request);
        if (reboot)
            lines.push_back(nodes::RebootLines()[0]);
        Record wire = Record::array();
        for (const auto& line : lines) {
            const std::string bytes = nodes::WireBytes(line).value_or(std::string());
            wire.push_back({{"bytes", bytes.size()}, {"text", bytes}});
        }
        records.push_back({{"key", row.key},
                           {"by", row.byMac ? "mac" : "address"},
                           {"plan_line", row.line},
                           {"address", r.endpoint ? r.endpoint->address : std::string()},
                           {"lines", std::move(wire)}});
        if (run.format != Format::Table)
            continue;
        run.out << (row.byMac ? "mac " : "address ") << row.key << " (line " << row.line << ")";
        if (r.endpoint && row.byMac)
            run.out << " at " << r.endpoint->address;
        run.out << "\n" << (lines.empty() ? "  nothing to send\n" : DescribeLines(lines));
    }
    if (run.format != Format::Table)
        PrintRecords(run.out, run.format, kDryRunColumns, records);
    return checked ? kExitOk : kExitFailed;
}

// Finds every row's endpoint, by mac or address. Throws Usage for a
// hostname ID meant for a transmitter; returns false when the scan that
// rows by mac need found nothing.
bool Resolve(const Context& ctx, const std::vector<PlanRow>& rows, std::vector<Resolved>& resolved,
             std::map<std::string, std::string>& macAt, std::vector<std::string>& silent)
{
    resolved.clear();
    for (const PlanRow& r : rows)
        resolved.push_back({&r, std::nullopt});
    // Rows by address ask their own endpoint; rows by mac need a scan.
    std::vector<std::string> addresses;
    for (const PlanRow& r : rows)
        if (!r.byMac)
            addresses.push_back(r.key);
    const std::vector<Listed> fleet = Identify(ctx, addresses);
    std::map<std::string, Listed> macs;
    if (std::any_of(rows.begin(), rows.end(), [](const PlanRow& r) { return r.byMac; })) {
        const auto scan = RunScan(ctx);
        if (!scan)
            return false;
        macs = MacTable(ctx, *scan, &silent);
        for (const auto& [mac, listed] : macs)
            macAt[listed.address] = mac;
    }
    std::string transmitters;
    for (Resolved& r : resolved) {
        if (r.row->byMac) {
            if (const auto it = macs.find(MacKey(r.row->key)); it != macs.end())
                r.endpoint = it->second;
        } else if (const Listed* l = FindListed(fleet, r.row->key)) {
            r.endpoint = *l;
        }
        if (r.endpoint && r.endpoint->kind == Kind::Tx && r.row->request.hostnameId)
            transmitters += "line " + std::to_string(r.row->line) + ": " + r.row->key + " is a transmitter\n";
    }
    if (!transmitters.empty())
        throw Usage{"a transmitter has no hostname ID (a channel alone is fine); nothing was sent\n" + transmitters};
    return true;
}

Rows PlanRowResult(const Context& ctx, const Resolved& r, bool reboot, const std::vector<std::string>& silent)
{
    if (!r.endpoint) {
        Record row = RowStart(r);
        row["status"] = "failed";
        row["error"] = r.row->byMac ? "find: " + MacNotFound(silent) : std::string(kNoAnswer);
        return Row(std::move(row), true);
    }
    SetRequest q = r.row->request;
    q.reboot = reboot;
    if (q.empty() && !reboot) {
        // Every row gets its line in the report, also one with empty cells.
        Record row = RowStart(r);
        row["status"] = "nothing to set";
        return Row(std::move(row), false);
    }
    const SetResult res = ApplySettings(ctx, r.endpoint->address, q);
    return {SetRecords(res, r.row->key), !res.ok() && !res.notStarted};
}

int RunPlan(const SetOptions& o, Invocation& run)
{
    std::vector<PlanRow> rows;
    std::vector<std::string> errors;
    if (!ParsePlan(ReadFile(o.plan), rows, errors)) {
        for (const auto& e : errors)
            run.err << o.plan << ": " << e << "\n";
        throw Usage{"nothing was sent"};
    }
    if (const auto refusals = PlanRefusals(rows, o.force, run.reporter); !refusals.empty()) {
        for (const auto& r : refusals)
            run.err << o.plan << ": " << r << "\n";
        throw Usage{"nothing was sent"};
    }
    Context& ctx = run.ctx;
    ctx.restartTimeout = Ms(o.timeout);
    std::vector<Resolved> resolved;
    std::map<std::string, std::string> macAt;  // what the scan found where
    std::vector<std::string> silent;  // listed, but their MAC unknown
    const bool scanned = Resolve(ctx, rows, resolved, macAt, silent);
    std::vector<std::string> taken;
    for (const Resolved& r : resolved)
        if (r.endpoint)
            if (auto t = InUse(ctx, r.endpoint->address, r.row->request, o.force, macAt))
                taken.push_back("line " + std::to_string(r.row->line) + ": " + *t);
    if (!taken.empty()) {
        for (const auto& t : taken)
            run.err << o.plan << ": " << t << "\n";
        throw Usage{"nothing was sent"};
    }
    std::vector<std::string> missing;
    for (const Resolved& r : resolved) {
        if (!scanned || r.endpoint)
            continue;
        missing.push_back(r.row->key + " (line " + std::to_string(r.row->line) + ")");
        if (r.row->byMac)  // one by address said why when it was asked
            run.reporter.Failure(missing.back(), "find", MacNotFound(silent));
    }
    if (o.dryRun) {
        if (!scanned)
            run.reporter.Note("the fleet was not checked: no endpoint answered the scan");
        return DryRun(resolved, o.reboot, scanned && missing.empty(), run);
    }
    if (!scanned)
        return run.Fail(kSetColumns);
    if (int status = 0; StopForMissing(run, missing, status))
        return run.Fail(kSetColumns, status);
    const Rows all = CollectRows(
        resolved.size(), ctx.jobs, [&](std::size_t i) { return PlanRowResult(ctx, resolved[i], o.reboot, silent); },
        [&](std::size_t i) { return Row(NotStarted(kSetColumns, RowStart(resolved[i]), kInterruptedText), false); });
    return run.Report(kSetColumns, all);
}

int RunOne(const SetOptions& o, Invocation& run)
{
    if (o.address.empty())
        throw Usage{"set takes one ADDRESS (or --plan FILE)"};
    SetRequest q;
    q.reboot = o.reboot;
    if (o.multicast || o.unicast)
        q.multicast = o.multicast;
    if (o.hostnameOpt->count())
        q.hostnameId = o.hostname;
    if (o.channelOpt->count())
        q.channel = o.channel;
    if (o.autoip)
        q.ipMode = endpoint::IpMode::AutoIp;
    if (o.dhcp)
        q.ipMode = endpoint::IpMode::Dhcp;
    if (o.staticOpt->count()) {
        q.ipMode = endpoint::IpMode::Static;
        q.ipaddr = o.ipaddr;
    }
    q.netmask = o.netmask;
    q.gateway = o.gateway;
    if (q.empty() && !q.reboot)
        throw Usage{"nothing to set: give --hostname, --multicast/--unicast, --channel or an IP mode"};
    if (auto problem = ValidateRequest(q))
        throw Usage{*problem + "; nothing was sent"};
    if (const auto refusals = AddressRefusals(q, o.force); !refusals.empty()) {
        std::string text;
        for (const auto& r : refusals)
            text += r + "\n";
        throw Usage{"nothing was sent:\n" + text.substr(0, text.size() - 1)};
    }
    Context& ctx = run.ctx;
    ctx.restartTimeout = Ms(o.timeout);
    if (auto taken = InUse(ctx, o.address, q, o.force))
        throw Usage{"nothing was sent:\n" + *taken};
    // Counted as CollectRows counts, for a second signal's summary.
    interrupt::Planned(1);
    interrupt::Started();
    const SetResult res = ApplySettings(ctx, o.address, q);
    interrupt::Finished();
    if (q.hostnameId && res.kind == Kind::Tx)
        throw Usage{o.address + " is a transmitter: it has no hostname ID (a channel alone is fine); nothing was sent"};
    const Columns shown(kSetColumns.begin() + 1, kSetColumns.end());  // no plan, no key
    PrintRecords(run.out, run.format, run.format == Format::Table ? shown : kSetColumns, SetRecords(res));
    if (res.ok())
        for (const auto& field : res.fields)
            if (field.status == FieldStatus::Pending)
                run.reporter.Note(o.address + ": " + field.field +
                                  " saved; it takes effect at the next reboot (--reboot)");
    if (interrupt::Requested())
        return kExitInterrupted;
    return res.ok() ? kExitOk : kExitFailed;
}

}  // namespace

void AddSetCommand(Program& p)
{
    CLI::App* c = p.Add(p.root(), "set",
                        {{"set ADDRESS [--hostname ID] [--multicast|--unicast]\n"
                          "            [--channel NNNN] [--autoip|--dhcp|--static IP --netmask M --gateway G]\n"
                          "            [--reboot [--timeout S]] [--force CHECK]...",
                          "set --plan FILE.csv [--dry-run] [--reboot] [--partial] [--force CHECK]... [--jobs N]"},
                         {{"set ADDRESS ...", "change settings, read them back (--reboot to apply all)"},
                          {"set --plan FILE.csv", "settings for many endpoints from a spreadsheet"}},
                         kSetText});
    auto o = std::make_shared<SetOptions>();
    CLI::Option* address = c->add_option("ADDRESS", o->address, "the endpoint")->check(kAddress);
    o->hostnameOpt = c->add_option("--hostname", o->hostname, "the hostname ID (receivers only)")->type_name("ID");
    CLI::Option* multicast = c->add_flag("--multicast", o->multicast, "cast by multicast");
    CLI::Option* unicast = c->add_flag("--unicast", o->unicast, "cast by unicast");
    o->channelOpt = c->add_option("--channel", o->channel, "the channel, 0000 to 0099")->type_name("NNNN");
    CLI::Option* autoip = c->add_flag("--autoip", o->autoip, "IP mode Auto IP");
    CLI::Option* dhcp = c->add_flag("--dhcp", o->dhcp, "IP mode DHCP");
    o->staticOpt =
        c->add_option("--static", o->ipaddr, "a static address, with --netmask and --gateway")->type_name("IP");
    o->netmaskOpt = c->add_option("--netmask", o->netmask, "the static address's netmask")->type_name("M");
    o->gatewayOpt = c->add_option("--gateway", o->gateway, "the static address's gateway")->type_name("G");
    c->add_flag("--reboot", o->reboot, "restart, wait and read everything back");
    c->add_option("--timeout", o->timeout, "how long a restart may take (default 120)")
        ->type_name("S")
        ->check(kSeconds);
    o->planOpt = c->add_option("--plan", o->plan, "settings for many endpoints from a CSV file")->type_name("FILE.csv");
    c->add_flag("--dry-run", o->dryRun, "with --plan: print every line, byte for byte; send nothing")
        ->needs(o->planOpt);
    c->add_option("--force", o->force, "send an address that this check refuses (repeatable)")
        ->type_name("CHECK")
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->check(CLI::IsMember(ForceNames()));
    p.AddPartial(c);
    p.AddNoWait(c);
    multicast->excludes(unicast);
    autoip->excludes(dhcp)->excludes(o->staticOpt);
    dhcp->excludes(o->staticOpt);
    for (CLI::Option* setting : {address, o->hostnameOpt, multicast, unicast, o->channelOpt, autoip, dhcp, o->staticOpt,
                                 o->netmaskOpt, o->gatewayOpt})
        o->planOpt->excludes(setting);
    p.Runs(c, [o](Invocation& run) { return o->planOpt->count() ? RunPlan(*o, run) : RunOne(*o, run); });
}

}  // namespace cv::cli
