#include "endpoint/Procedures.h"

#include <algorithm>

namespace cv::endpoint {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using Do = Action::Do;

namespace {
Action Act(Do what, std::string address = {})
{
    Action a;
    a.what = what;
    a.address = std::move(address);
    return a;
}

Action RunSteps(std::vector<Step> steps)
{
    Action a = Act(Do::Run);
    a.steps = std::move(steps);
    return a;
}

Action LockOn(std::string address, std::string mac)
{
    Action a = Act(Do::Lock, std::move(address));
    a.mac = std::move(mac);
    return a;
}

Action Within(Do what, std::string address, milliseconds within)
{
    Action a = Act(what, std::move(address));
    a.within = within;
    return a;
}

// The endpoint read after a restart must be the one read before it.
std::optional<StepError> OtherThan(const std::string& mac, const Details& now, const std::string& at)
{
    const std::string read = Narrow(now.values.macAddress);
    if (mac.empty() || SameMac(mac, read))
        return std::nullopt;
    return StepError{"come back", AnotherEndpoint(read, at)};
}
}  // namespace

std::string AnotherEndpoint(const std::string& mac, const std::string& address)
{
    return "another endpoint (MAC " + (mac.empty() ? std::string("unreadable") : mac) + ") answers at " + address;
}

// --- the base ---------------------------------------------------------------------

Action Procedure::Next(Clock::time_point now)
{
    // Told and done together: no stop can come between a decision and
    // what it said.
    Action next = Decide(now);
    next.told = std::move(told_);
    told_.clear();
    return next;
}

Action Procedure::NextOf(Procedure& inner, Clock::time_point now)
{
    Action next = inner.Next(now);
    for (auto& m : next.told)
        told_.push_back(std::move(m));
    next.told.clear();
    return next;
}

void Procedure::Progress(const std::string& address, std::string text)
{
    told_.push_back({Message::Kind::Progress, address, {}, std::move(text)});
}

StepError Procedure::Failed(const std::string& address, StepError e)
{
    told_.push_back({Message::Kind::Failure, address, e.step, e.detail});
    return e;
}

std::optional<StepError> Procedure::ReadAfterRestart(const Outcome& read, const std::string& address,
                                                     const std::string& at, const std::string& mac)
{
    if (!read.result) {
        Failed(at, read.result.error());
        return StepError{"read-back", read.result.error().text()};
    }
    if (auto other = OtherThan(mac, read.details, at))
        return Failed(address, *other);
    return std::nullopt;
}

// --- restart --------------------------------------------------------------------------

namespace {
// Between two looks at a session that may have dropped.
constexpr milliseconds kDropCheck = 1s;
// A fresh login that would show the endpoint still up.
constexpr milliseconds kLoginCheck = 1s;
// A came-back probe: long enough for a slow stack, never past the deadline
// by much.
constexpr milliseconds kProbeAtLeast = 250ms, kProbeAtMost = 3s;
}  // namespace

Restart::Restart(Plan plan, Clock::time_point now)
    : plan_(std::move(plan)),
      start_(now),
      deadline_(now + plan_.timeout),
      comeback_(plan_.comeBackAt, plan_.mac, deadline_, plan_.mayMove)
{ }

milliseconds Restart::Left(Clock::time_point now) const
{
    return std::chrono::duration_cast<milliseconds>(deadline_ - now);
}

Action Restart::Decide(Clock::time_point now)
{
    switch (phase_) {
    case Phase::Closing:
        if (loggedIn_ && Left(now) <= 0ms) {
            error = Failed(
                plan_.address,
                {"reboot", "the endpoint kept answering for " + Seconds(plan_.timeout) + "; it did not restart"});
            phase_ = Phase::Done;
            return Act(Do::Finished);
        }
        return Within(Do::WaitClosed, {}, std::clamp(Left(now), 0ms, kDropCheck));
    case Phase::LoggingIn: return Within(Do::TryLogin, plan_.comeBackAt, kLoginCheck);
    case Phase::Down:
        phase_ = Phase::Back;
        Progress(plan_.address, "down, waiting for it to answer again");
        // Its session may still look open: an endpoint that died without closing it.
        return Act(Do::Close);
    case Phase::Back: break;
    case Phase::Done: return Act(Do::Finished);
    }
    waiting_ = comeback_.Next(now);
    switch (waiting_.what) {
    case Comeback::Do::Probe:
        return Within(Do::Probe, waiting_.address, std::clamp(Left(now), kProbeAtLeast, kProbeAtMost));
    case Comeback::Do::Scan: return Act(Do::Scan);
    case Comeback::Do::ReadMac: return Act(Do::Read, waiting_.address);
    case Comeback::Do::Found:
        address = waiting_.address;
        downFor = std::chrono::duration_cast<milliseconds>(now - start_);
        if (address == plan_.comeBackAt)
            Progress(address, "answers again after " + Seconds(downFor));
        else
            Progress(plan_.address, "answers again at " + address + " after " + Seconds(downFor));
        break;
    case Comeback::Do::Other:
        error = Failed(plan_.address, {"come back", AnotherEndpoint(comeback_.otherMac(), waiting_.address)});
        break;
    case Comeback::Do::Lost:
        error = Failed(plan_.address,
                       {"come back",
                        !comeback_.searched() ? "no answer at " + plan_.comeBackAt + " within " + Seconds(plan_.timeout)
                                              : "restarted, address unknown: no answer at " + plan_.comeBackAt +
                                " and no scan found " + plan_.mac + " within " + Seconds(plan_.timeout)});
        break;
    }
    phase_ = Phase::Done;
    return Act(Do::Finished);
}

void Restart::Feed(const Outcome& o)
{
    switch (phase_) {
    case Phase::Closing: phase_ = o.yes ? Phase::Down : Phase::LoggingIn; break;
    case Phase::LoggingIn:
        // Still taking logins: it has not gone down yet.
        loggedIn_ = loggedIn_ || o.yes;
        phase_ = o.yes ? Phase::Closing : Phase::Down;
        break;
    case Phase::Back:
        switch (waiting_.what) {
        case Comeback::Do::Probe: comeback_.Probed(o.yes); break;
        case Comeback::Do::Scan: comeback_.Scanned(o.addresses); break;
        case Comeback::Do::ReadMac:
            comeback_.MacRead(waiting_.address,
                              o.result ? std::optional(Narrow(o.details.values.macAddress)) : std::nullopt);
            break;
        default: break;
        }
        break;
    case Phase::Down:
    case Phase::Done: break;
    }
}

// --- settings ------------------------------------------------------------------------------

bool SetResult::ok() const
{
    if (error)
        return false;
    return std::all_of(fields.begin(), fields.end(), [](const FieldResult& f) {
        return f.status == FieldStatus::Confirmed || f.status == FieldStatus::Pending;
    });
}

Apply::Apply(Plan plan) : plan_(std::move(plan))
{
    result_.address = plan_.address;
    result_.fields = RequestedFields(plan_.request);
}

namespace {
bool AnyAtOnce(const SetRequest& r) { return r.hostnameId || r.channel; }

std::string ComeBackAt(const SetRequest& r, const std::string& address)
{
    return r.ipMode && *r.ipMode == IpMode::Static ? r.ipaddr : address;
}
}  // namespace

Action Apply::Decide(Clock::time_point now)
{
    const SetRequest& request = plan_.request;
    switch (phase_) {
    case Phase::Open: return Act(Do::Open, plan_.address);
    // The window reads the device before Apply; so does this, which also
    // tells a transmitter (no hostname ID to set) before anything is sent,
    // and gives the MAC that finds it again should it move.
    case Phase::Query: return RunSteps(DetailQuerySteps());
    // Held until the read-back is done: no other run's lines in between.
    case Phase::Lock: return LockOn(plan_.address, mac_);
    case Phase::Send: {
        // The last moment a stop leaves the endpoint as it was.
        if (stopAsked()) {
            result_.notStarted = true;
            phase_ = Phase::Done;
            return Act(Do::Finished);
        }
        std::vector<BufferedLine> lines;
        for (auto& line : RequestLines(request))
            lines.push_back({std::move(line)});
        if (lines.empty()) {  // a restart alone
            phase_ = Phase::Reboot;
            return Decide(now);
        }
        Progress(plan_.address, "sending settings");
        return RunSteps(LineSteps(lines, "send"));
    }
    case Phase::Settle: {
        // A channel takes its moment to switch before it reads as set.
        phase_ = Phase::ReadBack;
        Action pause = Act(Do::Pause);
        pause.until = now + milliseconds(nodes::kChannelSettleMs);
        return pause;
    }
    // Read back on a fresh session: what the device reports now.
    case Phase::ReadBack: return Act(Do::Read, plan_.address);
    case Phase::Reboot: Progress(plan_.address, "rebooting"); return RunSteps(RestartSteps(false));
    case Phase::Restart: {
        if (!restart_)
            // Only a new IP mode is looked for elsewhere: a search reads the
            // whole fleet, which a plain restart has no business touching.
            restart_.emplace(Restart::Plan{plan_.address, ComeBackAt(request, plan_.address), mac_, request.mayMove(),
                                           plan_.restartTimeout},
                             now);
        Action next = NextOf(*restart_, now);
        if (next.what != Do::Finished)
            return next;
        if (restart_->error) {
            result_.error = restart_->error;
            phase_ = Phase::Done;
            return Act(Do::Finished);
        }
        at_ = restart_->address.empty() ? ComeBackAt(request, plan_.address) : restart_->address;
        if (at_ != plan_.address)  // a static move too
            result_.newAddress = at_;
        phase_ = Phase::ReadAfter;
        return Act(Do::Read, at_);
    }
    case Phase::ReadAfter: return Act(Do::Read, at_);
    case Phase::Done: break;
    }
    return Act(Do::Finished);
}

void Apply::Feed(const Outcome& o)
{
    const SetRequest& request = plan_.request;
    const auto fail = [&](const StepError& e) {
        result_.error = Failed(plan_.address, e);
        phase_ = Phase::Done;
    };
    switch (phase_) {
    case Phase::Open:
        if (!o.result)
            return fail(o.result.error());
        phase_ = Phase::Query;
        break;
    case Phase::Query: {
        if (!o.result)
            return fail(o.result.error());
        const Details before = DetailsFrom(*o.transcript);
        result_.kind = before.kind;
        mac_ = Narrow(before.values.macAddress);
        if (request.hostnameId && before.kind == Kind::Tx) {
            // Not told here: it is the operator's mistake, not the endpoint's.
            result_.error = StepError{"hostname_id", "a transmitter has no hostname ID to set"};
            phase_ = Phase::Done;
            return;
        }
        // No MAC, no identity to lock by.
        phase_ = mac_.empty() ? Phase::Send : Phase::Lock;
        break;
    }
    case Phase::Lock:
        if (o.cancelled) {
            result_.notStarted = true;
            phase_ = Phase::Done;
            return;
        }
        if (!o.result)
            return fail(o.result.error());
        phase_ = Phase::Send;
        break;
    case Phase::Send:
        if (o.result || o.reached > 0)
            for (auto& f : result_.fields)
                if (f.status == FieldStatus::NotSent)
                    f.status = FieldStatus::Sent;
        if (!o.result)
            return fail(o.result.error());
        phase_ = request.channel                    ? Phase::Settle
            : AnyAtOnce(request) || !request.reboot ? Phase::ReadBack
                                                    : Phase::Reboot;
        break;
    case Phase::ReadBack:
        if (!o.result) {
            Failed(plan_.address, o.result.error());
            result_.error = StepError{"read-back", o.result.error().text()};
            phase_ = Phase::Done;
            return;
        }
        Compare(result_.fields, o.details, plan_.address, false);
        if (request.reboot) {
            phase_ = Phase::Reboot;
            return;
        }
        ReportReadBack(false);
        phase_ = Phase::Done;
        break;
    case Phase::Reboot:
        if (!o.result)
            return fail(o.result.error());
        phase_ = Phase::Restart;
        break;
    case Phase::Restart: restart_->Feed(o); break;
    case Phase::ReadAfter:
        phase_ = Phase::Done;
        if ((result_.error = ReadAfterRestart(o, plan_.address, at_, mac_)))
            return;
        Compare(result_.fields, o.details, at_, true);
        ReportReadBack(true);
        break;
    case Phase::Settle:
    case Phase::Done: break;
    }
}

void Apply::ReportReadBack(bool afterRestart)
{
    const std::string after = afterRestart ? " after the reboot" : "";
    for (const auto& f : result_.fields)
        if (f.status == FieldStatus::Mismatch)
            Failed(plan_.address,
                   {"read-back", f.field + " reads '" + f.readBack + "'" + after + ", not '" + f.requested + "'"});
        else if (f.status == FieldStatus::Unreadable)
            Failed(plan_.address, {"read-back", "unreadable" + after + ": the reply holds no " + f.field});
}

// --- reboot ------------------------------------------------------------------------------------

Reboot::Reboot(Plan plan) : plan_(std::move(plan)), mac_(plan_.knownMac) { }

Action Reboot::Decide(Clock::time_point now)
{
    switch (phase_) {
    case Phase::Open: return Act(Do::Open, plan_.address);
    // What comes back is known by its MAC; defaults or a lease may bring it
    // back elsewhere. Read on a session of its own, so the restart's
    // carries only the window's lines.
    case Phase::ReadMac: return Act(Do::Read, plan_.address);
    case Phase::Lock: return LockOn(plan_.address, mac_);
    case Phase::Send:
        if (stopAsked()) {
            result_.notStarted = true;
            phase_ = Phase::Done;
            return Act(Do::Finished);
        }
        if (plan_.factoryDefault)
            Progress(plan_.address, "resetting to factory defaults");
        return RunSteps(RestartSteps(plan_.factoryDefault));
    case Phase::Restart: {
        if (!restart_)
            restart_.emplace(
                Restart::Plan{plan_.address, plan_.address, mac_, plan_.factoryDefault, plan_.restartTimeout}, now);
        Action next = NextOf(*restart_, now);
        if (next.what != Do::Finished)
            return next;
        result_.error = restart_->error;
        result_.address = restart_->address;
        result_.downFor = restart_->downFor;
        phase_ = Phase::Done;
        break;
    }
    case Phase::Done: break;
    }
    return Act(Do::Finished);
}

void Reboot::Feed(const Outcome& o)
{
    switch (phase_) {
    case Phase::Open:
        if (!o.result) {
            result_.error = Failed(plan_.address, o.result.error());
            phase_ = Phase::Done;
            return;
        }
        phase_ = mac_.empty() ? Phase::ReadMac : Phase::Lock;
        break;
    case Phase::ReadMac:
        // Unread, it is restarted all the same, and only its address is waited for.
        if (!o.result)
            Failed(plan_.address, o.result.error());
        else
            mac_ = Narrow(o.details.values.macAddress);
        phase_ = mac_.empty() ? Phase::Send : Phase::Lock;
        break;
    case Phase::Lock:
        if (o.cancelled)
            result_.notStarted = true;
        else if (!o.result)
            result_.error = Failed(plan_.address, o.result.error());
        phase_ = o.cancelled || !o.result ? Phase::Done : Phase::Send;
        break;
    case Phase::Send:
        if (!o.result) {
            result_.error = Failed(plan_.address, o.result.error());
            phase_ = Phase::Done;
            return;
        }
        Progress(plan_.address, "rebooting");
        phase_ = Phase::Restart;
        break;
    case Phase::Restart: restart_->Feed(o); break;
    case Phase::Done: break;
    }
}

// --- upgrade -----------------------------------------------------------------------------------

Upgrade::Upgrade(Plan plan) : plan_(std::move(plan)) { }

void Upgrade::Fail(StepError e)
{
    result_.error = Failed(plan_.address, std::move(e));
    phase_ = Phase::Done;
}

namespace {
std::string TftpRefusal(const lan::TftpProbeResult& probe, const std::string& server, const std::string& file,
                        const std::string& root)
{
    switch (probe.status) {
    case lan::TftpProbeStatus::NoAnswer: return "no TFTP server answers at " + server + ": run one";
    case lan::TftpProbeStatus::FileNotFound:
        return "the TFTP server at " + server + " does not have " + file + " (is " + root + " its directory?)";
    case lan::TftpProbeStatus::AccessViolation:
        return "the TFTP server at " + server + " refuses " + file + ": " + probe.message;
    default: return "the TFTP server at " + server + " answered: " + probe.message;
    }
}
}  // namespace

Action Upgrade::Decide(Clock::time_point now)
{
    const bool transmitter = result_.kind == Kind::Tx;
    switch (phase_) {
    case Phase::Open: return Act(Do::Open, plan_.address);
    case Phase::Query: return RunSteps(DetailQuerySteps());
    case Phase::Lock: return LockOn(plan_.address, mac_);
    case Phase::Server:
        if (result_.kind == Kind::Unknown) {
            Fail({"read", "the dump does not say whether this is a transmitter or a receiver"});
            return Act(Do::Finished);
        }
        result_.file = Narrow(transmitter ? nodes::kTxFirmwareFile.text() : nodes::kRxFirmwareFile.text());
        return Act(Do::ServerAddresses);
    case Phase::File: {
        Action file = Act(Do::ReadableFile);
        file.path = path();
        return file;
    }
    case Phase::Served: {
        // The whole file, as the endpoint will fetch it: the server must give
        // out the very file under the root, not one of its own directory.
        Action fetch = Act(Do::FetchServed, result_.server);
        fetch.file = result_.file;
        fetch.path = path();
        return fetch;
    }
    case Phase::Fetch: {
        if (stopAsked()) {
            result_.notStarted = true;
            result_.error = StepError{"interrupted", "nothing was sent to it"};
            phase_ = Phase::Done;
            return Act(Do::Finished);
        }
        Progress(plan_.address, "fetching " + result_.file + " from " + result_.server);
        // The fetch only fills the endpoint's scratch memory; the update
        // script is the point of no return, so a stop is looked at between.
        std::vector<Step> steps = UpgradeSteps(result_.server, transmitter, result_.file, plan_.upgradeTimeout);
        steps.resize(kUpgradeFetchSteps);
        return RunSteps(std::move(steps));
    }
    case Phase::Install: {
        if (stopAsked()) {
            result_.notStarted = true;
            result_.error =
                StepError{"interrupted", "after the fetch, before the update script: nothing was installed"};
            phase_ = Phase::Done;
            return Act(Do::Finished);
        }
        std::vector<Step> steps = UpgradeSteps(result_.server, transmitter, result_.file, plan_.upgradeTimeout);
        steps.erase(steps.begin(), steps.begin() + kUpgradeFetchSteps);
        return RunSteps(std::move(steps));
    }
    // An update script that restarts the endpoint closes the session.
    case Phase::Closing: return Within(Do::WaitClosed, {}, 1s);
    case Phase::Restart: {
        if (!restart_)
            restart_.emplace(Restart::Plan{plan_.address, plan_.address, mac_, false, plan_.restartTimeout}, now);
        Action next = NextOf(*restart_, now);
        if (next.what != Do::Finished)
            return next;
        if (restart_->error) {
            result_.error = restart_->error;
            phase_ = Phase::Done;
            return Act(Do::Finished);
        }
        if (!restart_->address.empty())
            at_ = restart_->address;
        phase_ = Phase::ReadAfter;
        return Act(Do::Read, at_);
    }
    case Phase::ReadAfter: return Act(Do::Read, at_);
    case Phase::Done: break;
    }
    return Act(Do::Finished);
}

void Upgrade::Feed(const Outcome& o)
{
    switch (phase_) {
    case Phase::Open:
    case Phase::Fetch:
    case Phase::Install:
        if (!o.result)
            return Fail(o.result.error());
        phase_ = phase_ == Phase::Open ? Phase::Query : phase_ == Phase::Fetch ? Phase::Install : Phase::Closing;
        break;
    case Phase::Query: {
        if (!o.result)
            return Fail(o.result.error());
        const Details before = DetailsFrom(*o.transcript);
        result_.kind = before.kind;
        result_.versionBefore = Narrow(before.values.version);
        mac_ = Narrow(before.values.macAddress);
        at_ = plan_.address;
        phase_ = mac_.empty() ? Phase::Server : Phase::Lock;
        break;
    }
    case Phase::Lock:
        if (o.cancelled) {
            result_.notStarted = true;
            result_.error = StepError{"interrupted", "nothing was sent to it"};
            phase_ = Phase::Done;
            return;
        }
        if (!o.result)
            return Fail(o.result.error());
        phase_ = Phase::Server;
        break;
    case Phase::Server:
        // The address the endpoint reaches us at: best last.
        if (o.addresses.empty())
            return Fail({"address", "the workstation has no IPv4 address the endpoint could reach"});
        result_.server = o.addresses.back();
        phase_ = Phase::File;
        break;
    case Phase::File:
        if (!o.yes)
            return Fail({"tftp check", "put " + result_.file + " into " + plan_.tftpRoot});
        phase_ = Phase::Served;
        break;
    case Phase::Served: {
        if (!o.served.probe.ok())
            return Fail({"tftp check", TftpRefusal(o.served.probe, result_.server, result_.file, plan_.tftpRoot)});
        const auto& local = o.local;
        const auto& theirs = o.served.digest;
        if (local && theirs && *local == *theirs) {
            phase_ = Phase::Fetch;
            break;
        }
        const std::string ourSize = local ? std::to_string(local->size) + " bytes" : std::string("unreadable");
        const std::string theirSize = theirs ? std::to_string(theirs->size) + " bytes" : "nothing";
        return Fail({"tftp check",
                     "the TFTP server at " + result_.server + " gives out a " + result_.file + " of " + theirSize +
                         ", not the " + path() + " of " + ourSize +
                         (local && theirs && local->size == theirs->size ? " (checksums differ)" : "") + ": is " +
                         plan_.tftpRoot + " its directory? nothing was sent"});
    }
    case Phase::Closing: phase_ = o.yes ? Phase::Restart : Phase::ReadAfter; break;
    case Phase::Restart: restart_->Feed(o); break;
    case Phase::ReadAfter: {
        phase_ = Phase::Done;
        if ((result_.error = ReadAfterRestart(o, plan_.address, at_, mac_)))
            return;
        result_.versionAfter = Narrow(o.details.values.version);
        Progress(plan_.address, "firmware " + result_.versionBefore + " -> " + result_.versionAfter);
        if (result_.versionAfter == result_.versionBefore && !plan_.sameVersionOk) {
            result_.unchanged = true;
            Fail({"version",
                  "the firmware still reads " + result_.versionAfter + " (--same-version-ok if that was meant)"});
        }
        break;
    }
    case Phase::Done: break;
    }
}

}  // namespace cv::endpoint
