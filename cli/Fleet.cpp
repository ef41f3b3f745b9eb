#include "cli/Fleet.h"

#include "lan/Discovery.h"
#include "lan/HostInfo.h"
#include "lan/Interfaces.h"
#include "lan/Tftp.h"
#include "lan/Workstation.h"
#include "nodes/Firmware.h"
#include "nodes/UpgradeCheck.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>

namespace cv::cli {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using namespace std::chrono_literals;

namespace {
void Progress(const Context& ctx, const std::string& address, const std::string& text)
{
    if (ctx.reporter)
        ctx.reporter->Progress(address, text);
}

StepError Fail(const Context& ctx, const std::string& address, std::string step, std::string detail)
{
    if (ctx.reporter)
        ctx.reporter->Failure(address, step, detail);
    return {std::move(step), std::move(detail)};
}

std::optional<StepError> OpenSession(const Context& ctx, ShellSession& s)
{
    if (s.Open())
        return std::nullopt;
    return Fail(ctx, s.address(), s.connected() ? "login" : "connect", s.error());
}

template <std::size_t N>
nodes::WireLine Plain(const nodes::Literal<N>& literal)
{
    return {std::u16string(literal.text()), false, false, 0};
}
}  // namespace

// --- scan ------------------------------------------------------------------

namespace {
std::optional<StepError> NodeListFrom(const Context& ctx, const std::string& responder, ScanResult& out)
{
    ShellSession s(responder, ctx.port, ctx.timeouts);
    if (auto e = OpenSession(ctx, s))
        return e;
    s.ClearTranscript();
    std::optional<nodes::NodeList> list;
    const auto complete = [&] { return (list = nodes::ParseNodeList(s.transcript())).has_value(); };
    if (!s.Run(Plain(nodes::kNodeQueryDump)) && !complete())
        return Fail(ctx, responder, "node list", s.error());
    if (!complete() && !s.ReadUntil(complete))
        return Fail(ctx, responder, "node list", "no end of the dump: " + s.error());
    out.nodes = std::move(*list);
    return std::nullopt;
}
}  // namespace

std::optional<StepError> Scan(const Context& ctx, ScanResult& out, bool* usage)
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
    std::optional<StepError> last;
    for (const std::string& responder : candidates) {
        if (ctx.reporter)
            ctx.reporter->Note("discovery: " + std::to_string(found.replies.size()) + " answer(s), node list from " +
                               responder);
        last = NodeListFrom(ctx, responder, out);
        if (!last) {
            out.responder = responder;
            return std::nullopt;
        }
    }
    return last;
}

// --- detail query -------------------------------------------------------------

namespace {
// The dump says which kind it is: "IS_HOST=y" on a transmitter.
std::string KindOf(const nodes::Transcript& t)
{
    static const std::u16string key = std::u16string(nodes::kIsHostKey.text()) + u"=";
    const std::size_t at = t.find(key);
    if (at == nodes::Transcript::npos || at + key.size() >= t.size())
        return {};
    const char16_t c = t.text()[at + key.size()];
    return c == u'y' ? "tx" : c == u'n' ? "rx" : "";
}
}  // namespace

std::optional<StepError> QueryDetails(ShellSession& s, Details& out)
{
    s.ClearTranscript();
    const nodes::WireLine lines[] = {Plain(nodes::kChannelQuery), Plain(nodes::kVersionQuery),
                                     Plain(nodes::kParamDump)};
    for (const auto& line : lines)
        if (!s.Run(line))
            return StepError{"read", s.error()};
    std::optional<nodes::DeviceDetails> d;
    const auto complete = [&] { return (d = nodes::ParseDeviceDetails(s.transcript())).has_value(); };
    if (!complete() && !s.ReadUntil(complete))
        return StepError{"read", "the parameter dump did not end: " + s.error()};
    out.values = std::move(*d);
    out.kind = KindOf(s.transcript());
    return std::nullopt;
}

std::optional<StepError> ReadDetails(const Context& ctx, const std::string& address, Details& out)
{
    ShellSession s(address, ctx.port, ctx.timeouts);
    if (auto e = OpenSession(ctx, s))
        return e;
    if (auto e = QueryDetails(s, out))
        return Fail(ctx, address, e->step, e->detail);
    return std::nullopt;
}

// --- settings ---------------------------------------------------------------

std::optional<std::string> ValidateRequest(const SetRequest& r)
{
    if (r.hostnameId && !nodes::IsValidHostnameId(Widen(*r.hostnameId)))
        return "hostname_id '" + *r.hostnameId + "': " + Narrow(nodes::kHostnameIdRuleMessage);
    if (r.channel && !nodes::IsValidChannel(Widen(*r.channel)))
        return "channel '" + *r.channel + "': must be four digits, 0000 to 0099";
    const bool anyAddress = !r.ipaddr.empty() || !r.netmask.empty() || !r.gateway.empty();
    if (r.ipMode) {
        if (*r.ipMode != "autoip" && *r.ipMode != "dhcp" && *r.ipMode != "static")
            return "ip_mode '" + *r.ipMode + "': must be autoip, dhcp or static";
        if (*r.ipMode == "static") {
            for (const auto& [name, value] : {std::pair<const char*, const std::string&>{"ipaddr", r.ipaddr},
                                              {"netmask", r.netmask},
                                              {"gateway", r.gateway}}) {
                if (value.empty())
                    return std::string("a static address needs ") + name;
                if (lan::CanonicalIpv4(value) != value)
                    return std::string(name) + " '" + value + "': not a dotted IPv4 address";
            }
        } else if (anyAddress) {
            return "ipaddr, netmask and gateway go with ip_mode static only";
        }
    } else if (anyAddress) {
        return "ipaddr, netmask and gateway go with ip_mode static only";
    }
    return std::nullopt;
}

std::vector<nodes::WireLine> RequestLines(const SetRequest& r)
{
    std::vector<nodes::WireLine> out;
    const auto add = [&](std::vector<nodes::WireLine> group) { out.insert(out.end(), group.begin(), group.end()); };
    if (r.hostnameId)
        add(nodes::HostnameGroupLines(Widen(*r.hostnameId)));
    if (r.multicast)
        add(nodes::CastingGroupLines(*r.multicast));
    if (r.channel)
        add(nodes::ChannelGroupLines(Widen(*r.channel)));
    if (r.ipMode) {
        const nodes::IpMode mode = *r.ipMode == "autoip" ? nodes::IpMode::AutoIp
                                   : *r.ipMode == "dhcp" ? nodes::IpMode::Dhcp
                                                         : nodes::IpMode::Static;
        add(nodes::IpGroupLines(mode, Widen(r.ipaddr), Widen(r.netmask), Widen(r.gateway)));
    }
    return out;
}

bool SetResult::ok() const
{
    if (error)
        return false;
    for (const auto& f : fields)
        if (f.status != "confirmed" && f.status != "pending")
            return false;
    return true;
}

namespace {
std::vector<FieldResult> RequestedFields(const SetRequest& r)
{
    std::vector<FieldResult> f;
    if (r.hostnameId)
        f.push_back({"hostname_id", *r.hostnameId, "", "not sent"});
    if (r.multicast)
        f.push_back({"multicast", *r.multicast ? "y" : "n", "", "not sent"});
    if (r.channel)
        f.push_back({"channel", *r.channel, "", "not sent"});
    if (r.ipMode) {
        f.push_back({"ip_mode", *r.ipMode, "", "not sent"});
        if (*r.ipMode == "static") {
            f.push_back({"ipaddr", r.ipaddr, "", "not sent"});
            f.push_back({"netmask", r.netmask, "", "not sent"});
            f.push_back({"gateway", r.gateway, "", "not sent"});
        }
    }
    return f;
}

// Only hostname and channel take effect at once; the rest waits for a start.
bool TakesEffectAtOnce(const std::string& field) { return field == "hostname_id" || field == "channel"; }

std::string ReadBackValue(const std::string& field, const Details& d, const std::string& address)
{
    if (field == "hostname_id")
        return Narrow(d.values.hostnameId);
    if (field == "multicast")
        return Narrow(d.values.multicast);
    if (field == "channel")
        return Narrow(d.values.channel);
    if (field == "ip_mode")
        return Narrow(d.values.ipMode);
    if (field == "ipaddr")
        return address;  // the address it answers at
    if (field == "netmask")
        return Narrow(d.values.netmask);
    if (field == "gateway")
        return Narrow(d.values.gateway);
    return {};
}

void Compare(std::vector<FieldResult>& fields, const Details& d, const std::string& address, bool all)
{
    for (auto& f : fields) {
        if (!all && !TakesEffectAtOnce(f.field)) {
            f.status = "pending";
            continue;
        }
        f.readBack = ReadBackValue(f.field, d, address);
        f.status = f.readBack == f.requested ? "confirmed" : "mismatch";
    }
}
}  // namespace

SetResult ApplySettings(const Context& ctx, const std::string& address, const SetRequest& request)
{
    SetResult result;
    result.address = address;
    result.fields = RequestedFields(request);
    ShellSession s(address, ctx.port, ctx.timeouts);
    if ((result.error = OpenSession(ctx, s)))
        return result;
    // The window reads the device before Apply; so does this, which also
    // tells a transmitter (no hostname ID to set) before anything is sent.
    Details before;
    if (auto e = QueryDetails(s, before)) {
        result.error = Fail(ctx, address, e->step, e->detail);
        return result;
    }
    if (request.hostnameId && before.kind == "tx") {
        result.error = Fail(ctx, address, "hostname_id", "a transmitter has no hostname ID to set");
        return result;
    }
    Progress(ctx, address, "sending settings");
    s.ClearTranscript();
    const auto lines = RequestLines(request);
    for (const auto& line : lines) {
        if (!s.Run(line)) {
            result.error = Fail(ctx, address, "send", s.error());
            return result;
        }
        for (auto& f : result.fields)
            if (f.status == "not sent")
                f.status = "sent";
    }
    if (request.channel)
        std::this_thread::sleep_for(milliseconds(nodes::kChannelSettleMs));

    // Read back on a fresh session: what the device reports now.
    const bool anyAtOnce = request.hostnameId || request.channel;
    if (anyAtOnce || !request.reboot) {
        Details now;
        if (auto e = ReadDetails(ctx, address, now)) {
            result.error = StepError{"read-back", e->text()};
            return result;
        }
        Compare(result.fields, now, address, false);
    }
    if (!request.reboot) {
        for (const auto& f : result.fields)
            if (f.status == "mismatch")
                Fail(ctx, address, "read-back", f.field + " reads '" + f.readBack + "', not '" + f.requested + "'");
        return result;
    }

    Progress(ctx, address, "rebooting");
    const auto reboot = nodes::WireBytes(nodes::RebootLines()[0]);
    if (!s.Send(*reboot)) {
        result.error = Fail(ctx, address, "reboot", s.error());
        return result;
    }
    const std::string comeBackAt =
        request.ipMode && *request.ipMode == "static" ? request.ipaddr : address;
    const RestartResult restart = WaitForRestart(ctx, s, comeBackAt);
    if (restart.error) {
        result.error = restart.error;
        return result;
    }
    Details after;
    if (auto e = ReadDetails(ctx, comeBackAt, after)) {
        result.error = StepError{"read-back", e->text()};
        return result;
    }
    Compare(result.fields, after, comeBackAt, true);
    for (const auto& f : result.fields)
        if (f.status == "mismatch")
            Fail(ctx, address, "read-back", f.field + " reads '" + f.readBack + "' after the reboot, not '" +
                                                f.requested + "'");
    return result;
}

// --- restarts -------------------------------------------------------------------

RestartResult WaitForRestart(const Context& ctx, ShellSession& session, const std::string& comeBackAt)
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
        ShellSession probe(comeBackAt, ctx.port, {1s, 1s});
        if (!probe.Open()) {
            session.Close();
            break;
        }
        if (left() <= 0ms) {
            r.error = Fail(ctx, session.address(), "reboot",
                           "the endpoint kept answering for " + Seconds(ctx.restartTimeout) + "; it did not restart");
            return r;
        }
    }
    Progress(ctx, session.address(), "down, waiting for it to answer again");
    for (;;) {
        const auto attempt = Clock::now();
        ShellSession probe(comeBackAt, ctx.port, {std::min<milliseconds>(1s, ctx.timeouts.connect), ctx.timeouts.reply});
        if (probe.Open()) {
            r.downFor = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
            Progress(ctx, comeBackAt, "answers again after " + Seconds(r.downFor));
            return r;
        }
        if (left() <= 0ms) {
            r.error = Fail(ctx, session.address(), "come back",
                           "no answer at " + comeBackAt + " within " + Seconds(ctx.restartTimeout));
            return r;
        }
        const auto spent = Clock::now() - attempt;
        if (spent < 500ms)
            std::this_thread::sleep_for(std::min<milliseconds>(
                std::chrono::duration_cast<milliseconds>(500ms - spent), std::max(left(), 0ms)));
    }
}

RestartResult Reboot(const Context& ctx, const std::string& address, bool factoryDefault)
{
    RestartResult r;
    ShellSession s(address, ctx.port, ctx.timeouts);
    if ((r.error = OpenSession(ctx, s)))
        return r;
    const auto lines = factoryDefault ? nodes::FactoryDefaultLines() : nodes::RebootLines();
    if (factoryDefault) {
        // The reset script is waited for, so the reboot follows a finished reset.
        Progress(ctx, address, "resetting to factory defaults");
        if (!s.Run(lines[0])) {
            r.error = Fail(ctx, address, "reset", s.error());
            return r;
        }
    }
    Progress(ctx, address, "rebooting");
    if (!s.Send(*nodes::WireBytes(lines.back()))) {
        r.error = Fail(ctx, address, "reboot", s.error());
        return r;
    }
    return WaitForRestart(ctx, s, address);
}

// --- upgrade ----------------------------------------------------------------------

UpgradeResult Upgrade(const Context& ctx, const std::string& address, const std::string& tftpRoot)
{
    UpgradeResult r;
    ShellSession s(address, ctx.port, ctx.timeouts);
    if ((r.error = OpenSession(ctx, s)))
        return r;
    Details before;
    if (auto e = QueryDetails(s, before)) {
        r.error = Fail(ctx, address, e->step, e->detail);
        return r;
    }
    r.kind = before.kind;
    r.versionBefore = Narrow(before.values.version);
    if (r.kind.empty()) {
        r.error = Fail(ctx, address, "read", "the dump does not say whether this is a transmitter or a receiver");
        return r;
    }
    const bool transmitter = r.kind == "tx";
    r.file = Narrow(transmitter ? nodes::kTxFirmwareFile.text() : nodes::kRxFirmwareFile.text());

    // The address the endpoint reaches us at: this session's own end.
    const auto candidates = lan::UpgradeAddressCandidates(lan::LocalAddressOf(s.fd()), lan::SystemHostInfo());
    if (candidates.empty()) {
        r.error = Fail(ctx, address, "address", "the workstation has no IPv4 address the endpoint could reach");
        return r;
    }
    r.server = candidates.back();

    const std::string path = tftpRoot + "/" + r.file;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(path.c_str(), R_OK) != 0) {
        r.error = Fail(ctx, address, "tftp check", "put " + r.file + " into " + tftpRoot);
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
        r.error = Fail(ctx, address, "tftp check", why);
        return r;
    }

    Progress(ctx, address, "fetching " + r.file + " from " + r.server);
    s.ClearTranscript();
    const auto lines = nodes::UpgradeLines(Widen(r.server), transmitter);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const bool last = i + 1 == lines.size();
        const bool slow = i == 1 || last;
        if (!s.Run(lines[i], nodes::kLineBuffer, slow ? ctx.upgradeTimeout : milliseconds{0})) {
            // The update script may restart the endpoint under us.
            if (last && s.peerClosed())
                break;
            r.error = Fail(ctx, address, i == 1 ? "fetch" : last ? "update" : "send", s.error());
            return r;
        }
        if (i == 1) {
            const nodes::UpgradeFailures f = nodes::CheckUpgradeFailures(s.transcript());
            // Nothing after a failed fetch: the update script would install
            // whatever an earlier attempt left behind.
            if (f.fileNotFound) {
                r.error = Fail(ctx, address, "fetch", "the endpoint's tftp reports File not found for " + r.file);
                return r;
            }
            if (f.transferTimedOut) {
                r.error = Fail(ctx, address, "fetch", "the endpoint's tftp timed out fetching from " + r.server);
                return r;
            }
        }
        if (i == 4)
            Progress(ctx, address, "installing");
    }
    if (!s.open() || s.WaitClosed(1s)) {
        const RestartResult back = WaitForRestart(ctx, s, address);
        if (back.error) {
            r.error = back.error;
            return r;
        }
    }
    Details after;
    if (auto e = ReadDetails(ctx, address, after)) {
        r.error = StepError{"read-back", e->text()};
        return r;
    }
    r.versionAfter = Narrow(after.values.version);
    Progress(ctx, address, "firmware " + r.versionBefore + " -> " + r.versionAfter);
    return r;
}

// --- lines to receivers ----------------------------------------------------------------

std::optional<StepError> SendLines(const Context& ctx, const std::string& address,
                                   const std::vector<BufferedLine>& lines, const std::string& step)
{
    ShellSession s(address, ctx.port, ctx.timeouts);
    if (auto e = OpenSession(ctx, s))
        return e;
    for (const auto& l : lines)
        if (!s.Run(l.line, l.buffer))
            return Fail(ctx, address, step, s.error());
    return std::nullopt;
}

std::optional<StepError> SendLines(const Context& ctx, const std::string& address,
                                   const std::vector<nodes::WireLine>& lines, std::size_t buffer,
                                   const std::string& step)
{
    std::vector<BufferedLine> buffered;
    for (const auto& l : lines)
        buffered.push_back({l, buffer});
    return SendLines(ctx, address, buffered, step);
}

}  // namespace cv::cli
