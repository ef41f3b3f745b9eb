#include "cli/Fleet.h"

#include "cli/Interrupt.h"
#include "cli/Output.h"
#include "cli/Parallel.h"
#include "endpoint/Comeback.h"
#include "lan/Discovery.h"
#include "lan/WorkstationLock.h"
#include "lan/HostInfo.h"
#include "lan/Interfaces.h"
#include "lan/Reach.h"
#include "lan/Tftp.h"
#include "lan/Workstation.h"
#include "nodes/Firmware.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>

namespace cv::cli {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using namespace std::chrono_literals;
using endpoint::Result;

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

// The endpoint read after a restart must be the one read before it.
std::optional<StepError> OtherThan(const std::string& mac, const Details& now, const std::string& at)
{
    const std::string read = Narrow(now.values.macAddress);
    if (mac.empty() || endpoint::SameMac(mac, read))
        return std::nullopt;
    return StepError{"come back", AnotherEndpoint(read, at)};
}

// What answers at `at` after a restart, read, and only when it is the
// endpoint whose MAC was read before.
std::optional<StepError> ReadAfterRestart(const Context& ctx, const std::string& address, const std::string& at,
                                          const std::string& mac, Details& after)
{
    if (auto r = ReadDetails(ctx, at, after); !r)
        return StepError{"read-back", r.error().text()};
    if (auto other = OtherThan(mac, after, at))
        return Fail(ctx, address, *other).value();
    return std::nullopt;
}

// One run changes an endpoint at a time on this workstation: another that
// holds its MAC's lock is waited for (or, with noWait, refused), named by
// its process. No MAC, no identity to lock by.
std::optional<StepError> LockEndpoint(const Context& ctx, const std::string& address, const std::string& mac,
                                      lan::WorkstationLock& lock, bool& cancelled)
{
    if (mac.empty())
        return std::nullopt;
    const std::string name = lan::EndpointLockName(MacKey(mac));
    const auto other = [](pid_t holder) {
        return "another run (" + (holder ? lan::DescribeProcess(holder) : std::string("pid unknown")) + ")";
    };
    if (ctx.noWait) {
        auto taken = lan::WorkstationLock::TryTake(name);
        if (!taken)
            return StepError{"lock", other(taken.error().holder) + " is changing it; --no-wait: nothing was sent"};
        lock = std::move(*taken);
        return std::nullopt;
    }
    lan::WorkstationLock::Wait wait;
    wait.patience = ctx.lockPatience;
    wait.waiting = [&](pid_t holder) { Progress(ctx, address, "waiting: " + other(holder) + " is changing it"); };
    wait.cancelled = [] { return interrupt::Requested(); };
    auto taken = lan::WorkstationLock::Take(name, wait);
    if (!taken) {
        cancelled = taken.error().why == lan::LockBusy::Why::Cancelled;
        return StepError{"lock",
                         other(taken.error().holder) + " kept changing it for " + Seconds(ctx.lockPatience) +
                             "; nothing was sent"};
    }
    lock = std::move(*taken);
    return std::nullopt;
}
}  // namespace

std::string AnotherEndpoint(const std::string& mac, const std::string& address)
{
    return "another endpoint (MAC " + (mac.empty() ? std::string("unreadable") : mac) + ") answers at " + address;
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
    options.waiting = [&ctx](pid_t holder) {
        if (ctx.reporter)
            ctx.reporter->Note(std::string(lan::kWaitingForDiscovery) +
                               (holder ? ": " + lan::DescribeProcess(holder) : std::string()));
    };
    options.cancelled = [] { return interrupt::Requested(); };
    const lan::DiscoveryResult found = lan::Discover(options);
    if (!found.unknownInterfaces.empty()) {
        if (usage)
            *usage = true;
        std::string names;
        for (const auto& n : found.unknownInterfaces)
            names += (names.empty() ? "" : ", ") + n;
        const StepError e{"discovery", "no usable network card named " + names};
        // The operator's mistake is said once, as a usage error, by the caller.
        if (usage)
            return tl::unexpected(e);
        return Fail(ctx, "workstation", e);
    }
    if (found.failure)
        return Fail(ctx, "workstation", "discovery", lan::Describe(*found.failure));
    out.sentOn = found.sentOn;
    if (found.replies.empty())
        return Fail(ctx, "workstation", "discovery", "no endpoint answered within 1 s");
    // The last responder gives the node list, as in the window; one that
    // answers discovery but not its shell (still booting, hung) must not
    // cost the whole fleet, so the others are asked in turn, latest first.
    const std::vector<std::string> candidates = lan::RespondersLatestFirst(found.replies);
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
    result.kind = before.kind;
    // The caller tells the operator: it is their mistake, not the endpoint's.
    if (request.hostnameId && before.kind == Kind::Tx) {
        result.error = StepError{"hostname_id", "a transmitter has no hostname ID to set"};
        return result;
    }
    // Held until the read-back is done: no other run's lines in between.
    lan::WorkstationLock lock;
    bool cancelled = false;
    if (auto busy = LockEndpoint(ctx, address, Narrow(before.values.macAddress), lock, cancelled)) {
        if (cancelled) {
            result.notStarted = true;
            return result;
        }
        return fail(*busy);
    }
    // The last moment a stop leaves the endpoint as it was.
    if (interrupt::Requested()) {
        result.notStarted = true;
        return result;
    }
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
            else if (f.status == FieldStatus::Unreadable)
                Fail(ctx, address, "read-back", "unreadable: the reply holds no " + f.field);
        return result;
    }

    Progress(ctx, address, "rebooting");
    if (auto r = s.Run(endpoint::RestartSteps(false)); !r)
        return fail(r.error());
    const std::string comeBackAt =
        request.ipMode && *request.ipMode == endpoint::IpMode::Static ? request.ipaddr : address;
    const std::string mac = Narrow(before.values.macAddress);
    // Only a new IP mode is looked for elsewhere: a search reads the whole
    // fleet, which a plain restart has no business touching.
    const RestartResult restart = WaitForRestart(ctx, s, comeBackAt, mac, request.mayMove());
    if (restart.error) {
        result.error = restart.error;
        return result;
    }
    const std::string at = restart.address.empty() ? comeBackAt : restart.address;
    if (at != address)  // a static move too
        result.newAddress = at;
    Details after;
    if (auto failed = ReadAfterRestart(ctx, address, at, mac, after)) {
        result.error = failed;
        return result;
    }
    endpoint::Compare(result.fields, after, at, true);
    for (const auto& f : result.fields)
        if (f.status == FieldStatus::Unreadable)
            Fail(ctx, address, "read-back", "unreadable after the reboot: the reply holds no " + f.field);
        else if (f.status == FieldStatus::Mismatch)
            Fail(ctx, address, "read-back",
                 f.field + " reads '" + f.readBack + "' after the reboot, not '" + f.requested + "'");
    return result;
}

// --- restarts -------------------------------------------------------------------

RestartResult WaitForRestart(const Context& ctx, ShellDriver& session, const std::string& comeBackAt,
                             const std::string& mac, bool mayMove)
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
    // The search runs quietly: its misses are expected, not failures.
    Context quiet = ctx;
    quiet.reporter = nullptr;
    endpoint::Comeback wait(comeBackAt, mac, deadline, mayMove);
    for (;;) {
        const endpoint::Comeback::Action next = wait.Next(Clock::now());
        switch (next.what) {
        case endpoint::Comeback::Do::Probe:
            wait.Probed(
                lan::CanConnect(next.address, ctx.port, std::clamp(left(), 250ms, lan::ConnectProbe::kDefaultWithin)));
            break;
        case endpoint::Comeback::Do::Scan: {
            ScanResult scan;
            std::vector<std::string> listed;
            if (Scan(quiet, scan)) {
                for (const auto& t : scan.nodes.transmitters)
                    listed.push_back(Narrow(t.address));
                for (const auto& x : scan.nodes.receivers)
                    listed.push_back(Narrow(x.address));
            }
            wait.Scanned(listed);
            break;
        }
        case endpoint::Comeback::Do::ReadMac: {
            Details d;
            if (ReadDetails(quiet, next.address, d))
                wait.MacRead(next.address, Narrow(d.values.macAddress));
            else
                wait.MacRead(next.address, std::nullopt);
            break;
        }
        case endpoint::Comeback::Do::Found:
            r.address = next.address;
            r.downFor = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
            if (next.address == comeBackAt)
                Progress(ctx, comeBackAt, "answers again after " + Seconds(r.downFor));
            else
                Progress(ctx, session.address(), "answers again at " + next.address + " after " + Seconds(r.downFor));
            return r;
        case endpoint::Comeback::Do::Other:
            r.error = Fail(ctx, session.address(), "come back", AnotherEndpoint(wait.otherMac(), next.address)).value();
            return r;
        case endpoint::Comeback::Do::Lost:
            r.error = Fail(ctx, session.address(), "come back",
                           !wait.searched() ? "no answer at " + comeBackAt + " within " + Seconds(ctx.restartTimeout)
                                            : "restarted, address unknown: no answer at " + comeBackAt +
                                   " and no scan found " + mac + " within " + Seconds(ctx.restartTimeout))
                          .value();
            return r;
        }
    }
}

RestartResult Reboot(const Context& ctx, const std::string& address, bool factoryDefault, const std::string& knownMac)
{
    RestartResult r;
    ShellDriver s(address, ctx.port, ctx.timeouts);
    if (auto o = s.Open(); !o) {
        r.error = Fail(ctx, address, o.error()).value();
        return r;
    }
    // What comes back is known by its MAC; defaults or a lease may bring it
    // back elsewhere. Read on a session of its own, so the restart's
    // carries only the window's lines.
    std::string mac = knownMac;
    if (Details d; mac.empty() && ReadDetails(ctx, address, d))
        mac = Narrow(d.values.macAddress);
    const bool mayMove = factoryDefault;
    lan::WorkstationLock lock;
    bool cancelled = false;
    if (auto busy = LockEndpoint(ctx, address, mac, lock, cancelled)) {
        r.notStarted = cancelled;
        if (!cancelled)
            r.error = Fail(ctx, address, *busy).value();
        return r;
    }
    if (factoryDefault)
        Progress(ctx, address, "resetting to factory defaults");
    if (interrupt::Requested()) {
        r.notStarted = true;
        return r;
    }
    endpoint::Sequence steps(endpoint::RestartSteps(factoryDefault));
    if (auto run = s.Run(steps); !run) {
        r.error = Fail(ctx, address, run.error()).value();
        return r;
    }
    Progress(ctx, address, "rebooting");
    return WaitForRestart(ctx, s, address, mac, mayMove);
}

// --- upgrade ----------------------------------------------------------------------

UpgradeResult Upgrade(const Context& ctx, const std::string& address, const std::string& tftpRoot, bool sameVersionOk)
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
    lan::WorkstationLock lock;
    bool cancelled = false;
    if (auto busy = LockEndpoint(ctx, address, Narrow(before.values.macAddress), lock, cancelled)) {
        r.notStarted = cancelled;
        r.error = cancelled ? StepError{"interrupted", "nothing was sent to it"} : Fail(ctx, address, *busy).value();
        return r;
    }
    if (r.kind == Kind::Unknown) {
        r.error =
            Fail(ctx, address, "read", "the dump does not say whether this is a transmitter or a receiver").value();
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
    struct stat st { };
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(path.c_str(), R_OK) != 0) {
        r.error = Fail(ctx, address, "tftp check", "put " + r.file + " into " + tftpRoot).value();
        return r;
    }
    // The whole file, as the endpoint will fetch it: the server must give out
    // the very file under --tftp-root, not one of its own directory.
    const lan::TftpFetchResult served = lan::FetchTftpDigest(r.server, r.file);
    const lan::TftpProbeResult& probe = served.probe;
    if (!probe.ok()) {
        std::string why;
        switch (probe.status) {
        case lan::TftpProbeStatus::NoAnswer: why = "no TFTP server answers at " + r.server + ": run one"; break;
        case lan::TftpProbeStatus::FileNotFound:
            why =
                "the TFTP server at " + r.server + " does not have " + r.file + " (is " + tftpRoot + " its directory?)";
            break;
        case lan::TftpProbeStatus::AccessViolation:
            why = "the TFTP server at " + r.server + " refuses " + r.file + ": " + probe.message;
            break;
        default: why = "the TFTP server at " + r.server + " answered: " + probe.message; break;
        }
        r.error = Fail(ctx, address, "tftp check", why).value();
        return r;
    }
    const std::optional<lan::FileDigest> local = lan::DigestOfFile(path);
    if (!local || !served.digest || !(*local == *served.digest)) {
        const std::string ours = local ? std::to_string(local->size) + " bytes" : std::string("unreadable");
        const std::string theirs = served.digest ? std::to_string(served.digest->size) + " bytes" : "nothing";
        r.error = Fail(ctx, address, "tftp check",
                       "the TFTP server at " + r.server + " gives out a " + r.file + " of " + theirs + ", not the " +
                           path + " of " + ours +
                           (local && served.digest && local->size == served.digest->size ? " (checksums differ)" : "") +
                           ": is " + tftpRoot + " its directory? nothing was sent")
                      .value();
        return r;
    }

    if (interrupt::Requested()) {
        r.notStarted = true;
        r.error = StepError{"interrupted", "nothing was sent to it"};
        return r;
    }
    Progress(ctx, address, "fetching " + r.file + " from " + r.server);
    // The fetch only fills the endpoint's scratch memory; the update script
    // is the point of no return, so a stop is looked at between the two.
    std::vector<endpoint::Step> install = endpoint::UpgradeSteps(r.server, transmitter, r.file, ctx.upgradeTimeout);
    const auto fetched = install.begin() + endpoint::kUpgradeFetchSteps;
    std::vector<endpoint::Step> fetch(install.begin(), fetched);
    install.erase(install.begin(), fetched);
    if (auto run = s.Run(std::move(fetch)); !run) {
        r.error = Fail(ctx, address, run.error()).value();
        return r;
    }
    if (interrupt::Requested()) {
        r.notStarted = true;
        r.error = StepError{"interrupted", "after the fetch, before the update script: nothing was installed"};
        return r;
    }
    if (auto run = s.Run(std::move(install)); !run) {
        r.error = Fail(ctx, address, run.error()).value();
        return r;
    }
    const std::string mac = Narrow(before.values.macAddress);
    std::string at = address;
    if (!s.open() || s.WaitClosed(1s)) {
        const RestartResult back = WaitForRestart(ctx, s, address, mac, false);
        if (back.error) {
            r.error = back.error;
            return r;
        }
        if (!back.address.empty())
            at = back.address;
    }
    Details after;
    if (auto failed = ReadAfterRestart(ctx, address, at, mac, after)) {
        r.error = failed;
        return r;
    }
    r.versionAfter = Narrow(after.values.version);
    Progress(ctx, address, "firmware " + r.versionBefore + " -> " + r.versionAfter);
    if (r.versionAfter == r.versionBefore && !sameVersionOk) {
        r.unchanged = true;
        r.error = Fail(ctx, address, "version",
                       "the firmware still reads " + r.versionAfter + " (--same-version-ok if that was meant)")
                      .value();
    }
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
