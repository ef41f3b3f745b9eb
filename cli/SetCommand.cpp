// cortavia-cli set: settings with read-back, for one endpoint or a plan.
#include "cli/Command.h"
#include "cli/Plan.h"

#include "nodes/Firmware.h"

namespace cv::cli {

namespace {

struct SetOptions {
    std::string address;
    std::string hostname, channel, ipaddr, netmask, gateway, plan;
    bool multicast = false, unicast = false, autoip = false, dhcp = false, reboot = false, dryRun = false;
    double timeout = 120;
    CLI::Option *hostnameOpt = nullptr, *channelOpt = nullptr, *staticOpt = nullptr, *netmaskOpt = nullptr,
                *gatewayOpt = nullptr, *planOpt = nullptr;
};

const char* const kText = R"(
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
checked before anything is sent. --dry-run prints every line, byte for byte.

Exit status 0 when every setting is confirmed or pending.
)";

int DryRun(const std::vector<PlanRow>& rows, bool reboot, std::ostream& out)
{
    for (const PlanRow& r : rows) {
        out << (r.byMac ? "mac " : "address ") << r.key << " (line " << r.line << ")\n";
        const SetRequest& q = r.request;
        if (q.empty()) {
            out << "  nothing to send\n";
            continue;
        }
        auto lines = RequestLines(q);
        if (reboot)
            lines.push_back(nodes::RebootLines()[0]);
        out << DescribeLines(lines);
        if (q.hostnameId)
            out << "  (the hostname lines go to receivers only; a transmitter row fails)\n";
    }
    return kExitOk;
}

Rows PlanRowResult(const Context& ctx, const PlanRow& r, bool reboot, const std::map<std::string, std::string>& macs)
{
    std::string address = r.key;
    if (r.byMac) {
        const auto it = macs.find(Lower(r.key));
        if (it == macs.end()) {
            ctx.reporter->Failure(r.key, "find", "no endpoint with this mac answered the scan");
            SetResult miss;
            miss.error = StepError{"find", "no endpoint with mac " + r.key};
            return {SetRecords(miss, r.key), true};
        }
        address = it->second;
    }
    SetRequest q = r.request;
    q.reboot = reboot;
    if (q.empty() && !reboot) {
        // Every row gets its line in the report, also one with empty cells.
        return Row({{"key", r.key}, {"address", address}, {"status", "nothing to set"}}, false);
    }
    const SetResult res = ApplySettings(ctx, address, q);
    return {SetRecords(res, r.key), !res.ok()};
}

int RunPlan(const SetOptions& o, Invocation& run)
{
    std::vector<PlanRow> rows;
    std::vector<std::string> errors;
    if (!ParsePlan(ReadFile(o.plan), rows, errors)) {
        for (const auto& e : errors)
            run.err << o.plan << ": " << e << "\n";
        run.err << "nothing was sent\n";
        return kExitUsage;
    }
    if (o.dryRun)
        return DryRun(rows, o.reboot, run.out);
    Context& ctx = run.ctx;
    ctx.restartTimeout = Ms(o.timeout);
    std::map<std::string, std::string> macs;
    bool anyMac = false;
    for (const auto& r : rows)
        anyMac = anyMac || r.byMac;
    if (anyMac) {
        bool scanned = false;
        macs = MacTable(ctx, scanned);
        if (!scanned)
            return kExitFailed;
    }
    const Rows all =
        CollectRows(rows.size(), ctx.jobs, [&](std::size_t i) { return PlanRowResult(ctx, rows[i], o.reboot, macs); });
    std::vector<std::string> columns = {"key"};
    columns.insert(columns.end(), kSetColumns.begin(), kSetColumns.end());
    return run.Report(columns, all);
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
    Context& ctx = run.ctx;
    ctx.restartTimeout = Ms(o.timeout);
    const SetResult res = ApplySettings(ctx, o.address, q);
    PrintRecords(run.out, run.format, kSetColumns, SetRecords(res));
    if (res.ok())
        for (const auto& field : res.fields)
            if (field.status == FieldStatus::Pending)
                run.reporter.Note(o.address + ": " + field.field +
                                  " saved; it takes effect at the next reboot (--reboot)");
    return res.ok() ? kExitOk : kExitFailed;
}

}  // namespace

void AddSetCommand(Program& p)
{
    CLI::App* c = p.Add(p.root(), "set",
                        {{"set ADDRESS [--hostname ID] [--multicast|--unicast]\n"
                          "            [--channel NNNN] [--autoip|--dhcp|--static IP --netmask M --gateway G]\n"
                          "            [--reboot [--timeout S]]",
                          "set --plan FILE.csv [--dry-run] [--reboot] [--jobs N]"},
                         {{"set ADDRESS ...", "change settings, read them back (--reboot to apply all)"},
                          {"set --plan FILE.csv", "settings for many endpoints from a spreadsheet"}},
                         kText});
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
    multicast->excludes(unicast);
    autoip->excludes(dhcp)->excludes(o->staticOpt);
    dhcp->excludes(o->staticOpt);
    for (CLI::Option* setting : {address, o->hostnameOpt, multicast, unicast, o->channelOpt, autoip, dhcp, o->staticOpt,
                                 o->netmaskOpt, o->gatewayOpt})
        o->planOpt->excludes(setting);
    p.Runs(c, [o](Invocation& run) { return o->planOpt->count() ? RunPlan(*o, run) : RunOne(*o, run); });
}

}  // namespace cv::cli
