#include "cli/Cli.h"

#include "cli/Args.h"
#include "cli/Fleet.h"
#include "cli/Layout.h"
#include "cli/Output.h"
#include "cli/Plan.h"
#include "lan/Interfaces.h"
#include "nodes/Firmware.h"

#include <strings.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>

namespace cv::cli {

namespace {

using std::chrono::milliseconds;

const char* const kProgramHelp = R"(usage: cortavia-cli COMMAND [options]

Commissions a fleet of HDMI-over-IP transmitters and receivers from the
command line: the same lines as the Cortavia window, but every reply is
waited for and every result read back, on many endpoints at once.

Commands
  scan                 find the endpoints (discovery, then the node list)
  inventory            scan, then read every endpoint's settings
  show ADDRESS         one endpoint's settings
  set ADDRESS ...      change settings, read them back (--reboot to apply all)
  set --plan FILE.csv  settings for many endpoints from a spreadsheet
  reboot ADDRESS...    restart and wait until each answers again
  factory-default ADDRESS... --yes
                       reset to factory settings, restart, wait
  upgrade ADDRESS... --tftp-root DIR
                       fetch and install firmware from this workstation
  wall quick|place|stretch|rotate|apply
                       video wall layouts
  osd on|off [ADDRESS...]
                       show each receiver's number on its screen

Results go to standard output (a table, or --json / --csv); progress and
errors go to standard error. Exit status: 0 all confirmed, 1 some endpoint
failed, 2 usage error. "cortavia-cli COMMAND --help" describes a command.
)";

const char* const kCommonHelp = R"(
Common options
  --jobs N             endpoints worked on at once (default 16)
  --interface NAME     send discovery on this card only (repeatable)
  --reply-timeout S    longest silence while waiting for a reply (default 5)
  --connect-timeout S  time a connection may take (default 3)
  --port N             the endpoints' shell port (default 24)
  --quiet              no progress on standard error
)";

struct Command {
    const char* name;
    const char* help;
    std::vector<OptionSpec> options;
    int (*run)(const Args&, std::ostream&, std::ostream&);
};

// --- shared pieces ---------------------------------------------------------------

struct Usage {
    std::string message;
};

std::vector<OptionSpec> With(std::vector<OptionSpec> own)
{
    for (const char* n : {"--jobs", "--interface", "--reply-timeout", "--connect-timeout", "--port"})
        own.push_back({n, true});
    own.push_back({"--quiet", false});
    own.push_back({"--help", false});
    return own;
}

double SecondsOption(const Args& a, const std::string& name, double fallback)
{
    const auto v = a.get(name);
    if (!v)
        return fallback;
    char* end = nullptr;
    const double d = std::strtod(v->c_str(), &end);
    if (end == v->c_str() || *end != '\0' || !(d > 0) || d > 86400)
        throw Usage{name + " takes a number of seconds, more than 0"};
    return d;
}

milliseconds Ms(double seconds) { return milliseconds(static_cast<long long>(std::llround(seconds * 1000))); }

Context MakeContext(const Args& a, Reporter& reporter)
{
    Context ctx;
    ctx.reporter = &reporter;
    ctx.timeouts.reply = Ms(SecondsOption(a, "--reply-timeout", 5));
    ctx.timeouts.connect = Ms(SecondsOption(a, "--connect-timeout", 3));
    if (const auto j = a.get("--jobs")) {
        char* end = nullptr;
        const long n = std::strtol(j->c_str(), &end, 10);
        if (end == j->c_str() || *end != '\0' || n < 1 || n > 1024)
            throw Usage{"--jobs takes a whole number from 1 to 1024"};
        ctx.jobs = static_cast<unsigned>(n);
    }
    if (const auto p = a.get("--port")) {
        char* end = nullptr;
        const long n = std::strtol(p->c_str(), &end, 10);
        if (end == p->c_str() || *end != '\0' || n < 1 || n > 65535)
            throw Usage{"--port takes a port number"};
        ctx.port = static_cast<unsigned short>(n);
    }
    ctx.interfaces = a.all("--interface");
    return ctx;
}

Format FormatOf(const Args& a)
{
    if (a.has("--json") && a.has("--csv"))
        throw Usage{"choose one of --json and --csv"};
    return a.has("--json") ? Format::Json : a.has("--csv") ? Format::Csv : Format::Table;
}

std::string CheckedAddress(const std::string& text)
{
    if (lan::CanonicalIpv4(text) != text)
        throw Usage{"'" + text + "' is not a dotted IPv4 address"};
    return text;
}

std::vector<std::string> Addresses(const std::vector<std::string>& texts, std::size_t from = 0)
{
    std::vector<std::string> out;
    for (std::size_t i = from; i < texts.size(); ++i)
        out.push_back(CheckedAddress(texts[i]));
    return out;
}

// Runs a scan; throws Usage for an unknown card, returns false (reported)
// when the scan found nothing.
bool RunScan(const Context& ctx, ScanResult& scan)
{
    bool usage = false;
    const auto scanned = Scan(ctx, scan, &usage);
    if (usage)
        throw Usage{scanned.error().detail};
    return scanned.has_value();
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw Usage{"cannot read " + path};
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool WriteFile(const std::string& path, const std::string& text, std::ostream& err)
{
    const std::string tmp = path + ".tmp";
    {
        std::ofstream o(tmp, std::ios::binary | std::ios::trunc);
        o << text;
        if (!o) {
            err << "cannot write " << tmp << "\n";
            return false;
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        err << "cannot write " << path << "\n";
        return false;
    }
    return true;
}

// mac (lower case) -> address, from a scan and a detail query of every node.
std::map<std::string, std::string> MacTable(const Context& ctx, bool& scanned)
{
    std::map<std::string, std::string> macs;
    ScanResult scan;
    scanned = RunScan(ctx, scan);
    if (!scanned)
        return macs;
    std::vector<std::string> all;
    for (const auto& t : scan.nodes.transmitters)
        all.push_back(Narrow(t.address));
    for (const auto& r : scan.nodes.receivers)
        all.push_back(Narrow(r.address));
    std::mutex m;
    RunParallel(all.size(), ctx.jobs, [&](std::size_t i) {
        Details d;
        if (ReadDetails(ctx, all[i], d)) {
            std::string mac = Narrow(d.values.macAddress);
            for (char& c : mac)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            std::lock_guard lock(m);
            macs[mac] = all[i];
        }
    });
    return macs;
}

std::string Lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

const std::vector<std::string> kDetailColumns = {"address", "kind",      "number",  "hostname_id", "version",
                                                 "mac",     "state",     "multicast", "channel",   "ip_mode",
                                                 "netmask", "gateway",   "error"};

// --- scan / inventory / show ---------------------------------------------------------

int CmdScan(const Args& a, std::ostream& out, std::ostream& err)
{
    const Format f = FormatOf(a);
    Reporter rep(err, a.has("--quiet"));
    const Context ctx = MakeContext(a, rep);
    ScanResult scan;
    if (!RunScan(ctx, scan))
        return kExitFailed;
    PrintRecords(out, f, {"address", "kind", "multicast", "channel", "hostname_id", "number"},
                 ScanRecords(scan.nodes));
    return kExitOk;
}

int CmdInventory(const Args& a, std::ostream& out, std::ostream& err)
{
    const Format f = FormatOf(a);
    Reporter rep(err, a.has("--quiet"));
    const Context ctx = MakeContext(a, rep);
    ScanResult scan;
    if (!RunScan(ctx, scan))
        return kExitFailed;
    std::vector<Json> rows = ScanRecords(scan.nodes);
    std::vector<Json> records(rows.size());
    std::atomic<bool> failed{false};
    RunParallel(rows.size(), ctx.jobs, [&](std::size_t i) {
        const std::string address = rows[i].find("address")->asString();
        Details d;
        Json r;
        if (auto read = ReadDetails(ctx, address, d); !read) {
            failed = true;
            r = Json(Json::Object{});
            r.set("address", address);
            r.set("kind", rows[i].find("kind")->asString());
            // What the node list knows still goes into the record.
            for (const char* k : {"hostname_id", "multicast", "channel"})
                if (const Json* v = rows[i].find(k))
                    r.set(k, *v);
            r.set("error", read.error().text());
        } else {
            r = DetailRecord(address, d);
            if (d.kind == Kind::Unknown)
                r.set("kind", rows[i].find("kind")->asString());
        }
        if (const Json* n = rows[i].find("number"))
            r.set("number", *n);
        records[i] = std::move(r);
    });
    // Keys in one order whatever was known.
    for (Json& r : records) {
        Json ordered{Json::Object{}};
        for (const auto& k : kDetailColumns)
            if (const Json* v = r.find(k))
                ordered.set(k, *v);
        r = std::move(ordered);
    }
    PrintRecords(out, f, kDetailColumns, records);
    rep.Note("inventory: " + std::to_string(records.size()) + " endpoint(s)" +
             (failed ? ", some did not answer" : ""));
    return failed ? kExitFailed : kExitOk;
}

int CmdShow(const Args& a, std::ostream& out, std::ostream& err)
{
    const Format f = FormatOf(a);
    if (a.positional().size() != 1)
        throw Usage{"show takes one ADDRESS"};
    const std::string address = CheckedAddress(a.positional()[0]);
    Reporter rep(err, a.has("--quiet"));
    const Context ctx = MakeContext(a, rep);
    Details d;
    if (!ReadDetails(ctx, address, d))
        return kExitFailed;
    std::vector<std::string> columns(kDetailColumns.begin(), kDetailColumns.end());
    columns.erase(std::remove(columns.begin(), columns.end(), "number"), columns.end());
    columns.pop_back();  // error
    PrintRecord(out, f, columns, DetailRecord(address, d));
    return kExitOk;
}

// --- set ------------------------------------------------------------------------------

const std::vector<std::string> kSetColumns = {"address", "field", "requested", "read_back", "status", "error"};

int CmdPlan(const Args& a, std::ostream& out, std::ostream& err, const Context& ctx, Format f)
{
    const std::string path = *a.get("--plan");
    std::vector<PlanRow> rows;
    std::vector<std::string> errors;
    if (!ParsePlan(ReadFile(path), rows, errors)) {
        for (const auto& e : errors)
            err << path << ": " << e << "\n";
        err << "nothing was sent\n";
        return kExitUsage;
    }
    const bool reboot = a.has("--reboot");
    if (a.has("--dry-run")) {
        for (const PlanRow& r : rows) {
            out << (r.byMac ? "mac " : "address ") << r.key << " (line " << r.line << ")\n";
            SetRequest q = r.request;
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
    std::vector<std::vector<Json>> results(rows.size());
    std::atomic<bool> failed{false};
    RunParallel(rows.size(), ctx.jobs, [&](std::size_t i) {
        const PlanRow& r = rows[i];
        std::string address = r.key;
        if (r.byMac) {
            const auto it = macs.find(Lower(r.key));
            if (it == macs.end()) {
                ctx.reporter->Failure(r.key, "find", "no endpoint with this mac answered the scan");
                SetResult miss;
                miss.address = "";
                miss.error = StepError{"find", "no endpoint with mac " + r.key};
                results[i] = SetRecords(miss, r.key);
                failed = true;
                return;
            }
            address = it->second;
        }
        SetRequest q = r.request;
        q.reboot = reboot;
        if (q.empty() && !reboot) {
            // Every row gets its line in the report, also one with empty cells.
            Json row{Json::Object{}};
            row.set("key", r.key);
            row.set("address", address);
            row.set("status", "nothing to set");
            results[i] = {row};
            return;
        }
        const SetResult res = ApplySettings(ctx, address, q);
        if (!res.ok())
            failed = true;
        results[i] = SetRecords(res, r.key);
    });
    std::vector<Json> all;
    for (auto& r : results)
        all.insert(all.end(), r.begin(), r.end());
    std::vector<std::string> columns = {"key"};
    columns.insert(columns.end(), kSetColumns.begin(), kSetColumns.end());
    PrintRecords(out, f, columns, all);
    return failed ? kExitFailed : kExitOk;
}

int CmdSet(const Args& a, std::ostream& out, std::ostream& err)
{
    const Format f = FormatOf(a);
    Reporter rep(err, a.has("--quiet"));
    Context ctx = MakeContext(a, rep);
    ctx.restartTimeout = Ms(SecondsOption(a, "--timeout", 120));
    const bool plan = a.has("--plan");
    const bool any = a.has("--hostname") || a.has("--multicast") || a.has("--unicast") || a.has("--channel") ||
                     a.has("--autoip") || a.has("--dhcp") || a.has("--static") || a.has("--netmask") ||
                     a.has("--gateway");
    if (plan) {
        if (any || !a.positional().empty())
            throw Usage{"set --plan takes its settings from the file: no ADDRESS or settings options"};
        return CmdPlan(a, out, err, ctx, f);
    }
    if (a.has("--dry-run"))
        throw Usage{"--dry-run goes with --plan"};
    if (a.positional().size() != 1)
        throw Usage{"set takes one ADDRESS (or --plan FILE)"};
    const std::string address = CheckedAddress(a.positional()[0]);
    SetRequest q;
    q.reboot = a.has("--reboot");
    if (a.has("--multicast") && a.has("--unicast"))
        throw Usage{"choose one of --multicast and --unicast"};
    if (a.has("--multicast") || a.has("--unicast"))
        q.multicast = a.has("--multicast");
    q.hostnameId = a.get("--hostname");
    q.channel = a.get("--channel");
    const int modes = a.has("--autoip") + a.has("--dhcp") + a.has("--static");
    if (modes > 1)
        throw Usage{"choose one of --autoip, --dhcp and --static"};
    if (a.has("--autoip"))
        q.ipMode = endpoint::IpMode::AutoIp;
    if (a.has("--dhcp"))
        q.ipMode = endpoint::IpMode::Dhcp;
    if (a.has("--static")) {
        q.ipMode = endpoint::IpMode::Static;
        q.ipaddr = *a.get("--static");
    }
    q.netmask = a.get("--netmask").value_or("");
    q.gateway = a.get("--gateway").value_or("");
    if (q.empty() && !q.reboot)
        throw Usage{"nothing to set: give --hostname, --multicast/--unicast, --channel or an IP mode"};
    if (auto problem = ValidateRequest(q))
        throw Usage{*problem + "; nothing was sent"};
    const SetResult res = ApplySettings(ctx, address, q);
    PrintRecords(out, f, kSetColumns, SetRecords(res));
    if (res.ok())
        for (const auto& field : res.fields)
            if (field.status == FieldStatus::Pending)
                rep.Note(address + ": " + field.field + " saved; it takes effect at the next reboot (--reboot)");
    return res.ok() ? kExitOk : kExitFailed;
}

// --- reboot / factory-default / upgrade --------------------------------------------------

int Restarts(const Args& a, std::ostream& out, std::ostream& err, bool factory)
{
    const Format f = FormatOf(a);
    if (factory && !a.has("--yes"))
        throw Usage{"factory-default erases every setting of the endpoints; confirm with --yes"};
    if (a.positional().empty())
        throw Usage{std::string(factory ? "factory-default" : "reboot") + " takes one or more ADDRESS"};
    const auto addresses = Addresses(a.positional());
    Reporter rep(err, a.has("--quiet"));
    Context ctx = MakeContext(a, rep);
    ctx.restartTimeout = Ms(SecondsOption(a, "--timeout", 120));
    std::vector<Json> rows(addresses.size());
    std::atomic<bool> failed{false};
    RunParallel(addresses.size(), ctx.jobs, [&](std::size_t i) {
        const RestartResult r = Reboot(ctx, addresses[i], factory);
        Json row{Json::Object{}};
        row.set("address", addresses[i]);
        row.set("status", r.error ? "failed" : "back");
        row.set("seconds", r.error ? Json() : Json(static_cast<double>(r.downFor.count() / 100) / 10.0));
        if (!r.address.empty() && r.address != addresses[i])
            row.set("new_address", r.address);
        if (r.error) {
            row.set("error", r.error->text());
            failed = true;
        }
        rows[i] = std::move(row);
    });
    PrintRecords(out, f, {"address", "status", "seconds", "error"}, rows);
    return failed ? kExitFailed : kExitOk;
}

int CmdReboot(const Args& a, std::ostream& out, std::ostream& err) { return Restarts(a, out, err, false); }
int CmdFactory(const Args& a, std::ostream& out, std::ostream& err) { return Restarts(a, out, err, true); }

int CmdUpgrade(const Args& a, std::ostream& out, std::ostream& err)
{
    const Format f = FormatOf(a);
    const auto root = a.get("--tftp-root");
    if (!root)
        throw Usage{"upgrade needs --tftp-root DIR, the directory the workstation's TFTP server gives out"};
    if (a.positional().empty())
        throw Usage{"upgrade takes one or more ADDRESS"};
    const auto addresses = Addresses(a.positional());
    Reporter rep(err, a.has("--quiet"));
    Context ctx = MakeContext(a, rep);
    ctx.restartTimeout = ctx.upgradeTimeout = Ms(SecondsOption(a, "--timeout", 600));
    std::vector<Json> rows(addresses.size());
    std::atomic<bool> failed{false};
    RunParallel(addresses.size(), ctx.jobs, [&](std::size_t i) {
        const UpgradeResult r = Upgrade(ctx, addresses[i], *root);
        Json row{Json::Object{}};
        row.set("address", addresses[i]);
        row.set("kind", endpoint::ToString(r.kind));
        row.set("file", r.file);
        row.set("server", r.server);
        row.set("version_before", r.versionBefore);
        row.set("version_after", r.versionAfter);
        row.set("status", r.error ? "failed" : "upgraded");
        if (r.error) {
            row.set("error", r.error->text());
            failed = true;
        }
        rows[i] = std::move(row);
    });
    PrintRecords(out, f, {"address", "kind", "file", "server", "version_before", "version_after", "status", "error"},
                 rows);
    return failed ? kExitFailed : kExitOk;
}

// --- wall -----------------------------------------------------------------------------

const std::vector<std::string> kWallColumns = {"address", "number", "row", "column", "x0", "y0",
                                               "x1",      "y1",     "status", "error"};

struct WallJob {
    std::string address;
    std::string number;
    std::uint32_t row = 0, column = 0;
    nodes::Tile tile;
    std::vector<nodes::WireLine> extra;  // stretch, rotation
};

int SendWall(const Context& ctx, std::vector<WallJob>& jobs, std::ostream& out, Format f)
{
    std::vector<Json> rows(jobs.size());
    std::atomic<bool> failed{false};
    RunParallel(jobs.size(), ctx.jobs, [&](std::size_t i) {
        const WallJob& j = jobs[i];
        std::vector<BufferedLine> lines = {{{nodes::WallEnableLine(j.tile), false, true, 0}, nodes::kLineBuffer}};
        for (const auto& extra : j.extra)
            lines.push_back({extra, nodes::kShortLineBuffer});
        const auto sent = SendLines(ctx, j.address, lines, "wall");
        Json r{Json::Object{}};
        r.set("address", j.address);
        r.set("number", j.number);
        r.set("row", j.row);
        r.set("column", j.column);
        r.set("x0", j.tile.x0);
        r.set("y0", j.tile.y0);
        r.set("x1", j.tile.x1);
        r.set("y1", j.tile.y1);
        r.set("status", sent ? "sent" : "failed");
        if (!sent) {
            r.set("error", sent.error().text());
            failed = true;
        }
        rows[i] = std::move(r);
    });
    PrintRecords(out, f, kWallColumns, rows);
    return failed ? kExitFailed : kExitOk;
}

std::pair<std::uint32_t, std::uint32_t> WallSize(const std::string& text)
{
    const auto s = ParseWallSize(text);
    if (!s)
        throw Usage{"wall size '" + text + "': ROWSxCOLS, 1 to 5 each (e.g. 2x3)"};
    return *s;
}

Bezel BezelOption(const Args& a)
{
    const auto text = a.get("--bezel");
    if (!text)
        throw Usage{"--bezel OW,OH,VW,VH is needed (pitch and visible size, 0.1 mm)"};
    const auto b = ParseBezel(*text);
    if (!b)
        throw Usage{"--bezel '" + *text + "': four unsigned whole numbers OW,OH,VW,VH"};
    return *b;
}

std::vector<std::string> SplitCommas(const std::string& s)
{
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        const auto c = s.find(',', start);
        out.push_back(s.substr(start, c == std::string::npos ? std::string::npos : c - start));
        if (c == std::string::npos)
            return out;
        start = c + 1;
    }
}

int WallQuick(const Args& a, std::ostream& out, std::ostream& err)
{
    const Format f = FormatOf(a);
    if (a.positional().size() != 2)
        throw Usage{"wall quick takes ROWSxCOLS"};
    const auto [rows, columns] = WallSize(a.positional()[1]);
    const Bezel b = BezelOption(a);
    if (auto refusal = WallRefusal(rows, columns, b))
        throw Usage{*refusal};
    if (rows == 1 && columns == 1 && !nodes::TileRule(0, 0, 0, 0, b.ow, b.oh, b.vw, b.vh))
        throw Usage{"With these OW, OH, VW, VH values the wall is 0 wide or 0 high. Nothing was sent."};
    Reporter rep(err, a.has("--quiet"));
    const Context ctx = MakeContext(a, rep);
    std::vector<WallJob> jobs;
    if (const auto order = a.get("--order")) {
        for (const auto& addr : SplitCommas(*order))
            jobs.push_back({CheckedAddress(addr), std::to_string(jobs.size()), 0, 0, {}, {}});
    } else {
        ScanResult scan;
        if (!RunScan(ctx, scan))
            return kExitFailed;
        for (const auto& r : scan.nodes.receivers)
            jobs.push_back({Narrow(r.address), Narrow(r.number), 0, 0, {}, {}});
        if (jobs.empty()) {
            rep.Failure("workstation", "scan", "the node list has no receivers");
            return kExitFailed;
        }
    }
    Layout layout{rows, columns, b, std::nullopt, std::nullopt, {}};
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        const nodes::Cell cell = nodes::QuickLayoutCell(static_cast<std::uint32_t>(i), rows - 1, columns - 1);
        jobs[i].row = cell.row;
        jobs[i].column = cell.column;
        jobs[i].tile = QuickTile(static_cast<std::uint32_t>(i), rows, columns, b);
        Placement p;
        p.row = cell.row;
        p.column = cell.column;
        p.address = jobs[i].address;
        layout.placements.push_back(p);
    }
    const int rc = SendWall(ctx, jobs, out, f);
    if (const auto save = a.get("--save"))
        if (!WriteFile(*save, LayoutToJson(layout).dump(2) + "\n", err))
            return kExitFailed;
    return rc;
}

int WallPlace(const Args& a, std::ostream& out, std::ostream& err)
{
    const Format f = FormatOf(a);
    if (a.positional().size() != 4)
        throw Usage{"wall place takes ADDRESS ROW COL"};
    const std::string address = CheckedAddress(a.positional()[1]);
    const auto size = a.get("--size");
    if (!size)
        throw Usage{"wall place needs --size ROWSxCOLS"};
    const auto [rows, columns] = WallSize(*size);
    const Bezel b = BezelOption(a);
    const auto cellNumber = [&](const std::string& t, std::uint32_t limit, const char* what) {
        char* end = nullptr;
        const long v = std::strtol(t.c_str(), &end, 10);
        if (end == t.c_str() || *end != '\0' || v < 0 || v >= static_cast<long>(limit))
            throw Usage{std::string(what) + " '" + t + "': from 0 to " + std::to_string(limit - 1)};
        return static_cast<std::uint32_t>(v);
    };
    const std::uint32_t row = cellNumber(a.positional()[2], rows, "ROW");
    const std::uint32_t column = cellNumber(a.positional()[3], columns, "COL");
    if (auto refusal = WallRefusal(rows, columns, b))
        throw Usage{*refusal};
    Layout layout{rows, columns, b, std::nullopt, std::nullopt, {}};
    const auto save = a.get("--save");
    if (save) {
        std::ifstream probe(*save);
        if (probe) {
            std::string error;
            const auto json = Json::parse(ReadFile(*save), &error);
            auto existing = json ? LayoutFromJson(*json, error) : std::nullopt;
            if (!existing)
                throw Usage{*save + ": " + error};
            if (existing->rows != rows || existing->columns != columns || !(existing->bezel == b))
                throw Usage{*save + " holds a wall of another size or other bezels"};
            layout = std::move(*existing);
        }
    }
    Reporter rep(err, a.has("--quiet"));
    const Context ctx = MakeContext(a, rep);
    std::vector<WallJob> jobs = {{address, "", row, column, PlacedTile(row, column, rows, columns, b), {}}};
    const int rc = SendWall(ctx, jobs, out, f);
    if (save && rc == kExitOk) {
        Placement p;
        p.row = row;
        p.column = column;
        p.address = address;
        Place(layout, p);
        if (!WriteFile(*save, LayoutToJson(layout).dump(2) + "\n", err))
            return kExitFailed;
    }
    return rc;
}

int WallLook(const Args& a, std::ostream& out, std::ostream& err, bool stretch)
{
    const Format f = FormatOf(a);
    if (a.positional().size() < 3)
        throw Usage{stretch ? "wall stretch takes fit|out and one or more ADDRESS"
                            : "wall rotate takes 0|180|270 and one or more ADDRESS"};
    const std::string& value = a.positional()[1];
    std::optional<std::u16string> line;
    if (stretch) {
        line = StretchLine(value);
    } else if (value == "0" || value == "180" || value == "270") {
        line = RotateLine(static_cast<unsigned>(std::stoul(value)));
    }
    if (!line)
        throw Usage{stretch ? "stretch is fit or out" : "rotation is 0, 180 or 270"};
    const auto addresses = Addresses(a.positional(), 2);
    Reporter rep(err, a.has("--quiet"));
    const Context ctx = MakeContext(a, rep);
    std::vector<Json> rows(addresses.size());
    std::atomic<bool> failed{false};
    RunParallel(addresses.size(), ctx.jobs, [&](std::size_t i) {
        const auto sent = SendLines(ctx, addresses[i], {{*line, false, true, 0}}, nodes::kShortLineBuffer,
                                    stretch ? "stretch" : "rotate");
        Json r{Json::Object{}};
        r.set("address", addresses[i]);
        r.set(stretch ? "stretch" : "rotate", value);
        r.set("status", sent ? "sent" : "failed");
        if (!sent) {
            r.set("error", sent.error().text());
            failed = true;
        }
        rows[i] = std::move(r);
    });
    PrintRecords(out, f, {"address", stretch ? "stretch" : "rotate", "status", "error"}, rows);
    return failed ? kExitFailed : kExitOk;
}

int WallApply(const Args& a, std::ostream& out, std::ostream& err)
{
    const Format f = FormatOf(a);
    if (a.positional().size() != 2)
        throw Usage{"wall apply takes LAYOUT.json"};
    const std::string path = a.positional()[1];
    std::string error;
    const auto json = Json::parse(ReadFile(path), &error);
    const auto layout = json ? LayoutFromJson(*json, error) : std::nullopt;
    if (!layout)
        throw Usage{path + ": " + error + "; nothing was sent"};
    Reporter rep(err, a.has("--quiet"));
    const Context ctx = MakeContext(a, rep);
    std::map<std::string, std::string> macs;
    bool anyMac = false;
    for (const auto& p : layout->placements)
        anyMac = anyMac || !p.mac.empty();
    if (anyMac) {
        bool scanned = false;
        macs = MacTable(ctx, scanned);
        if (!scanned)
            return kExitFailed;
    }
    std::vector<WallJob> jobs;
    bool missing = false;
    for (const auto& p : layout->placements) {
        WallJob j;
        j.address = p.address;
        if (!p.mac.empty()) {
            const auto it = macs.find(Lower(p.mac));
            if (it == macs.end()) {
                rep.Failure(p.mac, "find", "no endpoint with this mac answered the scan");
                missing = true;
                continue;
            }
            j.address = it->second;
        }
        j.row = p.row;
        j.column = p.column;
        j.tile = PlacedTile(p.row, p.column, layout->rows, layout->columns, layout->bezel);
        if (const auto s = p.stretch ? p.stretch : layout->stretch)
            j.extra.push_back({*StretchLine(*s), false, true, 0});
        if (const auto r = p.rotate ? p.rotate : layout->rotate)
            j.extra.push_back({*RotateLine(*r), false, true, 0});
        jobs.push_back(std::move(j));
    }
    const int rc = SendWall(ctx, jobs, out, f);
    return missing ? kExitFailed : rc;
}

int CmdWall(const Args& a, std::ostream& out, std::ostream& err)
{
    if (a.positional().empty())
        throw Usage{"wall takes quick, place, stretch, rotate or apply"};
    const std::string& what = a.positional()[0];
    if (what == "quick")
        return WallQuick(a, out, err);
    if (what == "place")
        return WallPlace(a, out, err);
    if (what == "stretch")
        return WallLook(a, out, err, true);
    if (what == "rotate")
        return WallLook(a, out, err, false);
    if (what == "apply")
        return WallApply(a, out, err);
    throw Usage{"unknown wall command '" + what + "'"};
}

// --- osd ---------------------------------------------------------------------------

int CmdOsd(const Args& a, std::ostream& out, std::ostream& err)
{
    const Format f = FormatOf(a);
    if (a.positional().empty() || (a.positional()[0] != "on" && a.positional()[0] != "off"))
        throw Usage{"osd takes on or off, then optionally ADDRESS..."};
    const bool on = a.positional()[0] == "on";
    const auto wanted = Addresses(a.positional(), 1);
    Reporter rep(err, a.has("--quiet"));
    const Context ctx = MakeContext(a, rep);
    // The numbers are the RX list's, so a scan comes first in every case.
    ScanResult scan;
    if (!RunScan(ctx, scan))
        return kExitFailed;
    struct Target {
        std::string address, number, error;
    };
    std::vector<Target> targets;
    if (wanted.empty()) {
        for (const auto& r : scan.nodes.receivers)
            targets.push_back({Narrow(r.address), Narrow(r.number), ""});
    } else {
        for (const auto& w : wanted) {
            Target t{w, "", "not in the receiver list of the scan"};
            for (const auto& r : scan.nodes.receivers)
                if (Narrow(r.address) == w) {
                    t.number = Narrow(r.number);
                    t.error.clear();
                    break;
                }
            if (!t.error.empty())
                rep.Failure(w, "find", t.error);
            targets.push_back(t);
        }
    }
    std::vector<Json> rows(targets.size());
    std::atomic<bool> failed{false};
    RunParallel(targets.size(), ctx.jobs, [&](std::size_t i) {
        Target& t = targets[i];
        if (t.error.empty()) {
            const nodes::WireLine line{on ? nodes::OsdOnLine(Widen(t.number)) : std::u16string(nodes::kOsdOff.text()),
                                       false, true, 0};
            if (auto sent = SendLines(ctx, t.address, {line}, nodes::kShortLineBuffer, on ? "osd on" : "osd off");
                !sent)
                t.error = sent.error().text();
        }
        Json r{Json::Object{}};
        r.set("address", t.address);
        r.set("number", t.number);
        r.set("osd", on ? "on" : "off");
        r.set("status", t.error.empty() ? "sent" : "failed");
        if (!t.error.empty()) {
            r.set("error", t.error);
            failed = true;
        }
        rows[i] = std::move(r);
    });
    PrintRecords(out, f, {"address", "number", "osd", "status", "error"}, rows);
    return failed ? kExitFailed : kExitOk;
}

// --- the table of commands --------------------------------------------------------------------

const std::vector<Command>& Commands()
{
    static const std::vector<Command> commands = {
        {"scan", R"(usage: cortavia-cli scan [--json|--csv] [--interface NAME]...

Sends the discovery query on every network card (or only on those named),
then asks the last endpoint that answered for the node list. One record per
endpoint: address, kind (tx or rx), multicast, channel; for a receiver also
hostname_id and number (the number its screen shows with "osd on").
)",
         With({{"--json", false}, {"--csv", false}}), CmdScan},
        {"inventory", R"(usage: cortavia-cli inventory [--json|--csv] [--jobs N] [--interface NAME]...

A scan, then the detail query of every endpoint, in parallel: the as-built
record. Keys: address, kind, number (receivers), hostname_id, version, mac,
state, multicast (y/n), channel, ip_mode, netmask, gateway. An endpoint that
does not answer keeps its record, with an "error"; the exit status is then 1.
)",
         With({{"--json", false}, {"--csv", false}}), CmdInventory},
        {"show", R"(usage: cortavia-cli show ADDRESS [--json|--csv]

One endpoint's detail record, read with the window's detail query.
)",
         With({{"--json", false}, {"--csv", false}}), CmdShow},
        {"set", R"(usage: cortavia-cli set ADDRESS [--hostname ID] [--multicast|--unicast]
            [--channel NNNN] [--autoip|--dhcp|--static IP --netmask M --gateway G]
            [--reboot [--timeout S]]
       cortavia-cli set --plan FILE.csv [--dry-run] [--reboot] [--jobs N]

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
)",
         With({{"--hostname", true},
               {"--multicast", false},
               {"--unicast", false},
               {"--channel", true},
               {"--autoip", false},
               {"--dhcp", false},
               {"--static", true},
               {"--netmask", true},
               {"--gateway", true},
               {"--reboot", false},
               {"--timeout", true},
               {"--plan", true},
               {"--dry-run", false},
               {"--json", false},
               {"--csv", false}}),
         CmdSet},
        {"reboot", R"(usage: cortavia-cli reboot ADDRESS... [--timeout S] [--jobs N]

Restarts each endpoint and waits until it answers again (its session drops,
then a new login works), up to S seconds (default 120). One record each:
status back or failed, and the seconds it took.
)",
         With({{"--timeout", true}, {"--json", false}, {"--csv", false}}), CmdReboot},
        {"factory-default", R"(usage: cortavia-cli factory-default ADDRESS... --yes [--timeout S] [--jobs N]

Runs the endpoint's reset script, restarts it and waits until it answers
again, as reboot does. Every setting of the endpoint is lost: --yes is
required.
)",
         With({{"--yes", false}, {"--timeout", true}, {"--json", false}, {"--csv", false}}), CmdFactory},
        {"upgrade", R"(usage: cortavia-cli upgrade ADDRESS... --tftp-root DIR [--jobs N] [--timeout S]

Installs firmware that the endpoint fetches from this workstation's TFTP
server (webfwh.bin for a transmitter, webfwc.bin for a receiver, in DIR).
First the server is asked for that file at the address that faces the
endpoint; only when it gives it out are the six upgrade lines sent. A fetch
that reports "File not found" or "Transfer timed out" stops there. Then it
waits until the endpoint answers again (up to S seconds, default 600) and
reports the firmware version before and after.
)",
         With({{"--tftp-root", true}, {"--timeout", true}, {"--json", false}, {"--csv", false}}), CmdUpgrade},
        {"wall", R"(usage: cortavia-cli wall quick ROWSxCOLS --bezel OW,OH,VW,VH [--order ADDRESS,...] [--save FILE]
       cortavia-cli wall place ADDRESS ROW COL --size ROWSxCOLS --bezel OW,OH,VW,VH [--save FILE]
       cortavia-cli wall stretch fit|out ADDRESS...
       cortavia-cli wall rotate 0|180|270 ADDRESS...
       cortavia-cli wall apply LAYOUT.json

quick gives every receiver of the scan (or of --order) a cell of the wall,
row by row, as the window's Quick Video Wall; receivers past the last cell
share cell 0,0. place puts one receiver on one cell (counted from 0), as a
drop on the window's grid. Bezels are in 0.1 mm: OW,OH the pitch from one
display to the next, VW,VH the visible picture. A zero bezel on a wall
larger than 1 x 1, or a wall 0 wide or high, is refused.

--save writes the layout as JSON (place adds to an existing file of the same
wall). apply sends a saved layout: {"rows", "columns", "bezel": {"ow", "oh",
"vw", "vh"}, "stretch": "fit"|"out", "rotate": 0|180|270, "placements":
[{"row", "column", "address" or "mac", optional "stretch", "rotate"}]}.
)",
         With({{"--bezel", true},
               {"--order", true},
               {"--save", true},
               {"--size", true},
               {"--json", false},
               {"--csv", false}}),
         CmdWall},
        {"osd", R"(usage: cortavia-cli osd on|off [ADDRESS...] [--jobs N]

Shows (on) or clears (off) each receiver's number on its own screen: the
number of its row in the scan's receiver list, as the window's Show OSD.
Without ADDRESS every receiver of the scan.
)",
         With({{"--json", false}, {"--csv", false}}), CmdOsd},
    };
    return commands;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    if (args.empty()) {
        err << kProgramHelp;
        return kExitUsage;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        out << kProgramHelp;
        return kExitOk;
    }
    const Command* cmd = nullptr;
    for (const auto& c : Commands())
        if (args[0] == c.name)
            cmd = &c;
    if (!cmd) {
        err << "cortavia-cli: unknown command '" << args[0] << "' (see cortavia-cli --help)\n";
        return kExitUsage;
    }
    Args parsed;
    std::string error;
    if (!parsed.Parse(args, 1, cmd->options, error)) {
        err << "cortavia-cli " << cmd->name << ": " << error << " (see cortavia-cli " << cmd->name << " --help)\n";
        return kExitUsage;
    }
    if (parsed.has("--help")) {
        out << cmd->help << kCommonHelp;
        return kExitOk;
    }
    try {
        return cmd->run(parsed, out, err);
    } catch (const Usage& u) {
        err << "cortavia-cli " << cmd->name << ": " << u.message << "\n";
        return kExitUsage;
    }
}

}  // namespace cv::cli
