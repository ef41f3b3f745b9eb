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

// --- procedures ---------------------------------------------------------------

namespace {
void Tell(const Context& ctx, const endpoint::Message& m)
{
    if (!ctx.reporter)
        return;
    if (m.kind == endpoint::Message::Kind::Failure)
        ctx.reporter->Failure(m.address, m.step, m.text);
    else
        ctx.reporter->Progress(m.address, m.text);
}

bool IsReadableFile(const std::string& path)
{
    struct stat st { };
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), R_OK) == 0;
}

// Carries out a procedure's actions on this thread until it is done. The
// endpoint's lock, once taken, is held to the end.
void Drive(const Context& ctx, endpoint::Procedure& procedure)
{
    using Do = endpoint::Action::Do;
    std::optional<ShellDriver> session;
    lan::WorkstationLock lock;
    // What it finds out for itself is reported by the procedure, not here.
    Context quiet = ctx;
    quiet.reporter = nullptr;
    for (;;) {
        if (interrupt::Requested())
            procedure.Stop();
        endpoint::Action a = procedure.Next(Clock::now());
        for (const auto& m : a.told)
            Tell(ctx, m);
        endpoint::Outcome o;
        switch (a.what) {
        case Do::Finished: return;
        case Do::Close:
            if (session)
                session->Close();
            continue;
        case Do::Pause: std::this_thread::sleep_until(a.until); continue;
        case Do::Open:
            session.emplace(a.address, ctx.port, ctx.timeouts);
            o.result = session->Open();
            break;
        case Do::Run: {
            endpoint::Sequence steps(std::move(a.steps));
            o.result = session->Run(steps);
            o.reached = steps.current();
            o.transcript = &session->transcript();
            break;
        }
        case Do::Read: o.result = ReadDetails(quiet, a.address, o.details); break;
        case Do::Lock: {
            bool cancelled = false;
            if (auto busy = LockEndpoint(ctx, a.address, a.mac, lock, cancelled))
                o.result = tl::unexpected(*busy);
            o.cancelled = cancelled;
            break;
        }
        case Do::WaitClosed: o.yes = !session || !session->open() || session->WaitClosed(a.within); break;
        case Do::TryLogin:
            o.yes = static_cast<bool>(ShellDriver(a.address, ctx.port, {a.within, a.within}).Open());
            break;
        case Do::Probe: o.yes = lan::CanConnect(a.address, ctx.port, a.within); break;
        case Do::Scan: {
            ScanResult scan;
            if (Scan(quiet, scan)) {
                for (const auto& t : scan.nodes.transmitters)
                    o.addresses.push_back(Narrow(t.address));
                for (const auto& x : scan.nodes.receivers)
                    o.addresses.push_back(Narrow(x.address));
            }
            break;
        }
        case Do::ServerAddresses:
            o.addresses = lan::UpgradeAddressCandidates(lan::LocalAddressOf(session->fd()), lan::SystemHostInfo());
            break;
        case Do::ReadableFile: o.yes = IsReadableFile(a.path); break;
        case Do::FetchServed:
            o.served = lan::FetchTftpDigest(a.address, a.file);
            o.local = lan::DigestOfFile(a.path);
            break;
        }
        procedure.Feed(o);
    }
}
}  // namespace

SetResult ApplySettings(const Context& ctx, const std::string& address, const SetRequest& request)
{
    endpoint::Apply apply({address, request, ctx.restartTimeout});
    Drive(ctx, apply);
    return apply.result();
}

RestartResult Reboot(const Context& ctx, const std::string& address, bool factoryDefault, const std::string& knownMac)
{
    endpoint::Reboot reboot({address, factoryDefault, knownMac, ctx.restartTimeout});
    Drive(ctx, reboot);
    return reboot.result();
}

UpgradeResult Upgrade(const Context& ctx, const std::string& address, const std::string& tftpRoot, bool sameVersionOk)
{
    endpoint::Upgrade upgrade({address, tftpRoot, sameVersionOk, ctx.upgradeTimeout, ctx.restartTimeout});
    Drive(ctx, upgrade);
    return upgrade.result();
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
