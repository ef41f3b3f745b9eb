#include "cli/Fleet.h"

#include "lan/Discovery.h"
#include "lan/HostInfo.h"
#include "lan/Interfaces.h"
#include "lan/Reach.h"
#include "lan/Tftp.h"
#include "lan/Workstation.h"
#include "nodes/Firmware.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <cstring>
#include <thread>

namespace cv::cli {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using namespace std::chrono_literals;
using endpoint::Result;

void Reporter::Progress(const std::string& address, const std::string& text)
{
    if (quiet_)
        return;
    std::lock_guard lock(mutex_);
    err_ << address << ": " << text << std::endl;
}

void Reporter::Failure(const std::string& address, const std::string& step, const std::string& detail)
{
    std::lock_guard lock(mutex_);
    err_ << address << ": " << step << " failed: " << detail << std::endl;
}

void Reporter::Note(const std::string& text)
{
    if (quiet_)
        return;
    std::lock_guard lock(mutex_);
    err_ << text << std::endl;
}

namespace {
void Progress(const Context& ctx, const std::string& address, const std::string& text)
{
    if (ctx.reporter)
        ctx.reporter->Progress(address, text);
}

tl::unexpected<StepError> Fail(const Context& ctx, const std::string& address, const StepError& e)
{
    if (ctx.reporter)
        ctx.reporter->Failure(address, e.step, e.detail);
    return tl::unexpected(e);
}

tl::unexpected<StepError> Fail(const Context& ctx, const std::string& address, std::string step, std::string detail)
{
    return Fail(ctx, address, StepError{std::move(step), std::move(detail)});
}
}  // namespace

void RunParallel(std::size_t count, unsigned jobs, const std::function<void(std::size_t)>& fn)
{
    if (count == 0)
        return;
    const std::size_t threads = std::max<std::size_t>(1, std::min<std::size_t>(jobs, count));
    std::atomic<std::size_t> next{0};
    const auto worker = [&] {
        for (std::size_t i = next++; i < count; i = next++)
            fn(i);
    };
    std::vector<std::thread> pool;
    for (std::size_t t = 1; t < threads; ++t)
        pool.emplace_back(worker);
    worker();
    for (auto& t : pool)
        t.join();
}

// --- scan ------------------------------------------------------------------

namespace {
Result<> NodeListFrom(const Context& ctx, const std::string& responder, ScanResult& out)
{
    ShellDriver s(responder, ctx.port, ctx.timeouts);
    if (auto r = s.Open(); !r)
        return Fail(ctx, responder, r.error());
    if (auto r = s.Run(endpoint::NodeListSteps()); !r)
        return Fail(ctx, responder, r.error());
    out.nodes = std::move(*nodes::ParseNodeList(s.transcript()));
    return {};
}
}  // namespace

Result<> Scan(const Context& ctx, ScanResult& out, bool* usage)
{
    lan::DiscoveryOptions options;
    options.interfaces = ctx.interfaces;
    const lan::DiscoveryResult found = lan::Discover(options);
    if (!found.unknownInterfaces.empty()) {
        if (usage)
            *usage = true;
        std::string names;
        for (const auto& n : found.unknownInterfaces)
            names += (names.empty() ? "" : ", ") + n;
        return Fail(ctx, "workstation", "discovery", "no usable network card named " + names);
    }
    if (found.failure)
        return Fail(ctx, "workstation", "discovery",
                    found.failure->step + ": " + std::strerror(found.failure->error));
    out.sentOn = found.sentOn;
    if (found.replies.empty())
        return Fail(ctx, "workstation", "discovery", "no endpoint answered within 1 s");
    // The last responder gives the node list, as in the window; one that
    // answers discovery but not its shell (still booting, hung) must not
    // cost the whole fleet, so the others are asked in turn, latest first.
    std::vector<std::string> candidates;
    for (auto it = found.replies.rbegin(); it != found.replies.rend(); ++it)
        if (std::find(candidates.begin(), candidates.end(), *it) == candidates.end())
            candidates.push_back(*it);
    Result<> last;
    for (const std::string& responder : candidates) {
        if (ctx.reporter)
            ctx.reporter->Note("discovery: " + std::to_string(found.replies.size()) + " answer(s), node list from " +
                               responder);
        last = NodeListFrom(ctx, responder, out);
        if (last) {
            out.responder = responder;
            return {};
        }
    }
    return last;
}

std::vector<Json> ScanRecords(const nodes::NodeList& list)
{
    std::vector<Json> rows;
    for (const auto& t : list.transmitters) {
        Json r{Json::Object{}};
        r.set("address", Narrow(t.address));
        r.set("kind", "tx");
        r.set("multicast", Narrow(t.multicast));
        r.set("channel", Narrow(t.channel));
        rows.push_back(std::move(r));
    }
    for (const auto& x : list.receivers) {
        Json r{Json::Object{}};
        r.set("address", Narrow(x.address));
        r.set("kind", "rx");
        r.set("multicast", Narrow(x.multicast));
        r.set("channel", Narrow(x.channel));
        r.set("hostname_id", Narrow(x.hostnameId));
        r.set("number", Narrow(x.number));
        rows.push_back(std::move(r));
    }
    return rows;
}

// --- detail query -------------------------------------------------------------

Result<> QueryDetails(ShellDriver& s, Details& out)
{
    if (auto r = s.Run(endpoint::DetailQuerySteps()); !r)
        return r;
    out = endpoint::DetailsFrom(s.transcript());
    return {};
}

Result<> ReadDetails(const Context& ctx, const std::string& address, Details& out)
{
    ShellDriver s(address, ctx.port, ctx.timeouts);
    if (auto r = s.Open(); !r)
        return Fail(ctx, address, r.error());
    if (auto r = QueryDetails(s, out); !r)
        return Fail(ctx, address, r.error());
    return {};
}

Json DetailRecord(const std::string& address, const Details& d)
{
    Json r{Json::Object{}};
    r.set("address", address);
    r.set("kind", endpoint::ToString(d.kind));
    r.set("hostname_id", Narrow(d.values.hostnameId));
    r.set("version", Narrow(d.values.version));
    r.set("mac", Narrow(d.values.macAddress));
    r.set("state", Narrow(d.values.lanStatus));
    r.set("multicast", Narrow(d.values.multicast));
    r.set("channel", Narrow(d.values.channel));
    r.set("ip_mode", Narrow(d.values.ipMode));
    r.set("netmask", Narrow(d.values.netmask));
    r.set("gateway", Narrow(d.values.gateway));
    return r;
}

// --- settings ---------------------------------------------------------------

bool SetResult::ok() const
{
    if (error)
        return false;
    for (const auto& f : fields)
        if (f.status != FieldStatus::Confirmed && f.status != FieldStatus::Pending)
            return false;
    return true;
}

SetResult ApplySettings(const Context& ctx, const std::string& address, const SetRequest& request)
{
    SetResult result;
    result.address = address;
    result.fields = endpoint::RequestedFields(request);
    ShellDriver s(address, ctx.port, ctx.timeouts);
    const auto fail = [&](const StepError& e) {
        result.error = Fail(ctx, address, e).value();
        return result;
    };
    if (auto r = s.Open(); !r)
        return fail(r.error());
    // The window reads the device before Apply; so does this, which also
    // tells a transmitter (no hostname ID to set) before anything is sent,
    // and gives the MAC that finds it again should it move.
    Details before;
    if (auto r = QueryDetails(s, before); !r)
        return fail(r.error());
    if (request.hostnameId && before.kind == Kind::Tx)
        return fail({"hostname_id", "a transmitter has no hostname ID to set"});
    Progress(ctx, address, "sending settings");
    std::vector<BufferedLine> lines;
    for (const auto& line : RequestLines(request))
        lines.push_back({line});
    endpoint::Sequence send(endpoint::LineSteps(lines, "send"));
    const auto sent = s.Run(send);
    if (sent || send.current() > 0)
        for (auto& f : result.fields)
            if (f.status == FieldStatus::NotSent)
                f.status = FieldStatus::Sent;
    if (!sent)
        return fail(sent.error());
    if (request.channel)
        std::this_thread::sleep_for(milliseconds(nodes::kChannelSettleMs));

    // Read back on a fresh session: what the device reports now.
    const bool anyAtOnce = request.hostnameId || request.channel;
    if (anyAtOnce || !request.reboot) {
        Details now;
        if (auto r = ReadDetails(ctx, address, now); !r) {
            result.error = StepError{"read-back", r.error().text()};
            return result;
        }
        endpoint::Compare(result.fields, now, address, false);
    }
    if (!request.reboot) {
        for (const auto& f : result.fields)
            if (f.status == FieldStatus::Mismatch)
                Fail(ctx, address, "read-back", f.field + " reads '" + f.readBack + "', not '" + f.requested + "'");
        return result;
    }

    Progress(ctx, address, "rebooting");
    if (auto r = s.Run(endpoint::RestartSteps(false)); !r)
        return fail(r.error());
    const std::string comeBackAt =
        request.ipMode && *request.ipMode == endpoint::IpMode::Static ? request.ipaddr : address;
    const std::string mac = request.mayMove() ? Narrow(before.values.macAddress) : std::string();
    const RestartResult restart = WaitForRestart(ctx, s, comeBackAt, mac);
    if (restart.error) {
        result.error = restart.error;
        return result;
    }
    const std::string at = restart.address.empty() ? comeBackAt : restart.address;
    if (at != comeBackAt)
        result.newAddress = at;
    Details after;
    if (auto r = ReadDetails(ctx, at, after); !r) {
        result.error = StepError{"read-back", r.error().text()};
        return result;
    }
    endpoint::Compare(result.fields, after, at, true);
    for (const auto& f : result.fields)
        if (f.status == FieldStatus::Mismatch)
            Fail(ctx, address, "read-back", f.field + " reads '" + f.readBack + "' after the reboot, not '" +
                                                f.requested + "'");
    return result;
}

std::vector<Json> SetRecords(const SetResult& result, const std::string& key)
{
    std::vector<Json> rows;
    for (const auto& f : result.fields) {
        Json r{Json::Object{}};
        if (!key.empty())
            r.set("key", key);
        r.set("address", result.address);
        r.set("field", f.field);
        r.set("requested", f.requested);
        r.set("read_back", f.readBack);
        r.set("status", endpoint::ToString(result.error && f.status != FieldStatus::Confirmed ? FieldStatus::Failed
                                                                                               : f.status));
        if (!result.newAddress.empty())
            r.set("new_address", result.newAddress);
        if (result.error)
            r.set("error", result.error->text());
        rows.push_back(std::move(r));
    }
    if (rows.empty() && result.error) {
        Json r{Json::Object{}};
        if (!key.empty())
            r.set("key", key);
        r.set("address", result.address);
        r.set("status", "failed");
        r.set("error", result.error->text());
        rows.push_back(std::move(r));
    }
    return rows;
}

// --- restarts -------------------------------------------------------------------

namespace {
bool SameMac(std::string a, std::string b)
{
    for (auto* s : {&a, &b})
        for (char& c : *s)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return a == b;
}

// A scan for the endpoint with `mac`: discovery, the node list, and the
// detail query of every listed address not read before (`known`).
std::optional<std::string> FindByMac(const Context& ctx, const std::string& mac,
                                     std::map<std::string, std::string>& known)
{
    Context quiet = ctx;
    quiet.reporter = nullptr;
    ScanResult scan;
    if (!Scan(quiet, scan))
        return std::nullopt;
    std::vector<std::string> candidates;
    for (const auto& t : scan.nodes.transmitters)
        candidates.push_back(Narrow(t.address));
    for (const auto& x : scan.nodes.receivers)
        candidates.push_back(Narrow(x.address));
    for (const std::string& address : candidates) {
        if (known.count(address))
            continue;
        Details d;
        if (!ReadDetails(quiet, address, d))
            continue;  // not up yet: asked again next round
        known[address] = Narrow(d.values.macAddress);
        if (SameMac(known[address], mac))
            return address;
    }
    return std::nullopt;
}
}  // namespace

RestartResult WaitForRestart(const Context& ctx, ShellDriver& session, const std::string& comeBackAt,
                             const std::string& mac)
{
    RestartResult r;
    const auto start = Clock::now();
    const auto deadline = start + ctx.restartTimeout;
    const auto left = [&] { return std::chrono::duration_cast<milliseconds>(deadline - Clock::now()); };
    // Seeing it go down first keeps a still-running endpoint from passing
    // for one that came back: the session drops, or (an endpoint that dies
    // without closing it) a fresh login stops working.
    constexpr milliseconds kDropCheck = 1s;
    for (;;) {
        if (session.WaitClosed(std::min(kDropCheck, std::max(left(), 0ms))))
            break;
        ShellDriver probe(comeBackAt, ctx.port, {1s, 1s});
        if (!probe.Open()) {
            session.Close();
            break;
        }
        if (left() <= 0ms) {
            r.error = Fail(ctx, session.address(), "reboot",
                           "the endpoint kept answering for " + Seconds(ctx.restartTimeout) + "; it did not restart")
                          .value();
            return r;
        }
    }
    Progress(ctx, session.address(), "down, waiting for it to answer again");
    // Addresses whose MAC a search has read, so each is asked once.
    std::map<std::string, std::string> known;
    for (;;) {
        const milliseconds within = std::clamp(left(), 250ms, lan::ConnectProbe::kDefaultWithin);
        if (lan::CanConnect(comeBackAt, ctx.port, within)) {
            r.address = comeBackAt;
            r.downFor = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
            Progress(ctx, comeBackAt, "answers again after " + Seconds(r.downFor));
            return r;
        }
        // An endpoint that took a new lease answers elsewhere: find it by
        // the MAC read before the change.
        if (!mac.empty()) {
            if (auto found = FindByMac(ctx, mac, known)) {
                r.address = *found;
                r.downFor = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
                Progress(ctx, session.address(), "answers again at " + *found + " after " + Seconds(r.downFor));
                return r;
            }
        }
        if (left() <= 0ms) {
            r.error = Fail(ctx, session.address(), "come back",
                           mac.empty() ? "no answer at " + comeBackAt + " within " + Seconds(ctx.restartTimeout)
                                       : "restarted, address unknown: no answer at " + comeBackAt +
                                             " and no scan found " + mac + " within " +
                                             Seconds(ctx.restartTimeout))
                          .value();
            return r;
        }
    }
}

RestartResult Reboot(const Context& ctx, const std::string& address, bool factoryDefault)
{
    RestartResult r;
    ShellDriver s(address, ctx.port, ctx.timeouts);
    if (auto o = s.Open(); !o) {
        r.error = Fail(ctx, address, o.error()).value();
        return r;
    }
    // Defaults may bring it back at another address: its MAC finds it
    // again. Read on a session of its own, so the reset's carries only
    // the window's lines.
    std::string mac;
    if (factoryDefault) {
        Details d;
        if (ReadDetails(ctx, address, d))
            mac = Narrow(d.values.macAddress);
        Progress(ctx, address, "resetting to factory defaults");
    }
    endpoint::Sequence steps(endpoint::RestartSteps(factoryDefault));
    if (auto run = s.Run(steps); !run) {
        r.error = Fail(ctx, address, run.error()).value();
        return r;
    }
    Progress(ctx, address, "rebooting");
    return WaitForRestart(ctx, s, address, mac);
}

// --- upgrade ----------------------------------------------------------------------

UpgradeResult Upgrade(const Context& ctx, const std::string& address, const std::string& tftpRoot)
{
    UpgradeResult r;
    ShellDriver s(address, ctx.port, ctx.timeouts);
    if (auto o = s.Open(); !o) {
        r.error = Fail(ctx, address, o.error()).value();
        return r;
    }
    Details before;
    if (auto q = QueryDetails(s, before); !q) {
        r.error = Fail(ctx, address, q.error()).value();
        return r;
    }
    r.kind = before.kind;
    r.versionBefore = Narrow(before.values.version);
    if (r.kind == Kind::Unknown) {
        r.error = Fail(ctx, address, "read", "the dump does not say whether this is a transmitter or a receiver").value();
        return r;
    }
    const bool transmitter = r.kind == Kind::Tx;
    r.file = Narrow(transmitter ? nodes::kTxFirmwareFile.text() : nodes::kRxFirmwareFile.text());

    // The address the endpoint reaches us at: this session's own end.
    const auto candidates = lan::UpgradeAddressCandidates(lan::LocalAddressOf(s.fd()), lan::SystemHostInfo());
    if (candidates.empty()) {
        r.error = Fail(ctx, address, "address", "the workstation has no IPv4 address the endpoint could reach").value();
        return r;
    }
    r.server = candidates.back();

    const std::string path = tftpRoot + "/" + r.file;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(path.c_str(), R_OK) != 0) {
        r.error = Fail(ctx, address, "tftp check", "put " + r.file + " into " + tftpRoot).value();
        return r;
    }
    const lan::TftpProbeResult probe = lan::ProbeTftp(r.server, r.file);
    if (!probe.ok()) {
        std::string why;
        switch (probe.status) {
        case lan::TftpProbeStatus::NoAnswer: why = "no TFTP server answers at " + r.server + ": run one"; break;
        case lan::TftpProbeStatus::FileNotFound:
            why = "the TFTP server at " + r.server + " does not have " + r.file + " (is " + tftpRoot +
                  " its directory?)";
            break;
        case lan::TftpProbeStatus::AccessViolation:
            why = "the TFTP server at " + r.server + " refuses " + r.file + ": " + probe.message;
            break;
        default: why = "the TFTP server at " + r.server + " answered: " + probe.message; break;
        }
        r.error = Fail(ctx, address, "tftp check", why).value();
        return r;
    }

    Progress(ctx, address, "fetching " + r.file + " from " + r.server);
    if (auto run = s.Run(endpoint::UpgradeSteps(r.server, transmitter, r.file, ctx.upgradeTimeout)); !run) {
        r.error = Fail(ctx, address, run.error()).value();
        return r;
    }
    if (!s.open() || s.WaitClosed(1s)) {
        const RestartResult back = WaitForRestart(ctx, s, address);
        if (back.error) {
            r.error = back.error;
            return r;
        }
    }
    Details after;
    if (auto q = ReadDetails(ctx, address, after); !q) {
        r.error = StepError{"read-back", q.error().text()};
        return r;
    }
    r.versionAfter = Narrow(after.values.version);
    Progress(ctx, address, "firmware " + r.versionBefore + " -> " + r.versionAfter);
    return r;
}

// --- lines to receivers ----------------------------------------------------------------

Result<> SendLines(const Context& ctx, const std::string& address, const std::vector<BufferedLine>& lines,
                   const std::string& step)
{
    ShellDriver s(address, ctx.port, ctx.timeouts);
    if (auto o = s.Open(); !o)
        return Fail(ctx, address, o.error());
    if (auto run = s.Run(endpoint::LineSteps(lines, step)); !run)
        return Fail(ctx, address, run.error());
    return {};
}

Result<> SendLines(const Context& ctx, const std::string& address, const std::vector<nodes::WireLine>& lines,
                   std::size_t buffer, const std::string& step)
{
    std::vector<BufferedLine> buffered;
    for (const auto& l : lines)
        buffered.push_back({l, buffer});
    return SendLines(ctx, address, buffered, step);
}

}  // namespace cv::cli
