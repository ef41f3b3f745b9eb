#include "endpoint/Steps.h"

#include "lan/Interfaces.h"
#include "nodes/UpgradeCheck.h"

namespace cv::endpoint {

namespace {
template <std::size_t N>
nodes::WireLine Plain(const nodes::Literal<N>& literal)
{
    return {std::u16string(literal.text()), false, false, 0};
}

Step LineStep(std::string name, nodes::WireLine line, std::size_t buffer = nodes::kLineBuffer)
{
    Step s;
    s.kind = Step::Kind::Line;
    s.name = std::move(name);
    s.line = std::move(line);
    s.buffer = buffer;
    return s;
}

Step Clear()
{
    Step s;
    s.kind = Step::Kind::ClearTranscript;
    return s;
}
}  // namespace

// --- the runner ---------------------------------------------------------------

Result<> Sequence::result() const
{
    if (state_ == State::Failed)
        return tl::unexpected(error_);
    return {};
}

Sequence::State Sequence::Advance(Conversation& c, Clock::time_point now)
{
    while (state_ == State::Running) {
        if (issued_) {
            if (c.busy())
                return state_;
            const Step& step = steps_[next_ - 1];
            issued_ = false;
            if (!c.ok() && !(step.fineIfFailed && step.fineIfFailed(c))) {
                error_ = {step.name, step.failPrefix + c.error()};
                state_ = State::Failed;
                return state_;
            }
            if (step.check) {
                if (auto r = step.check(c); !r) {
                    error_ = r.error();
                    state_ = State::Failed;
                    return state_;
                }
            }
        }
        if (next_ == steps_.size()) {
            state_ = State::Done;
            return state_;
        }
        const Step& step = steps_[next_++];
        issued_ = true;
        switch (step.kind) {
        case Step::Kind::Login: c.Login(now); break;
        case Step::Kind::Line: (void)c.Run(step.line, step.buffer, now, step.idle); break;
        case Step::Kind::SendOnly: (void)c.SendOnly(step.line, step.buffer); break;
        case Step::Kind::Until: c.Until(step.until, now, step.idle); break;
        case Step::Kind::ClearTranscript: c.ClearTranscript(); break;
        }
    }
    return state_;
}

// --- operations -----------------------------------------------------------------

std::vector<Step> LoginSteps()
{
    Step s;
    s.kind = Step::Kind::Login;
    s.name = "login";
    return {Clear(), s};
}

Kind KindOf(const nodes::Transcript& t)
{
    static const std::u16string key = std::u16string(nodes::kIsHostKey.text()) + u"=";
    const std::size_t at = t.find(key);
    if (at == nodes::Transcript::npos || at + key.size() >= t.size())
        return Kind::Unknown;
    const char16_t c = t.text()[at + key.size()];
    return c == u'y' ? Kind::Tx : c == u'n' ? Kind::Rx : Kind::Unknown;
}

std::vector<Step> DetailQuerySteps()
{
    std::vector<Step> steps{Clear()};
    for (auto line : {Plain(nodes::kChannelQuery), Plain(nodes::kVersionQuery), Plain(nodes::kParamDump)})
        steps.push_back(LineStep("read", line));
    Step end;
    end.kind = Step::Kind::Until;
    end.name = "read";
    end.failPrefix = "the parameter dump did not end: ";
    end.until = [](const nodes::Transcript& t) { return nodes::ParseDeviceDetails(t).has_value(); };
    steps.push_back(std::move(end));
    return steps;
}

Details DetailsFrom(const nodes::Transcript& t)
{
    Details d;
    if (auto v = nodes::ParseDeviceDetails(t))
        d.values = std::move(*v);
    d.kind = KindOf(t);
    return d;
}

std::vector<Step> NodeListSteps()
{
    const auto complete = [](const nodes::Transcript& t) { return nodes::ParseNodeList(t).has_value(); };
    Step dump = LineStep("node list", Plain(nodes::kNodeQueryDump));
    // The dump may be whole although its prompt never came.
    dump.fineIfFailed = [complete](const Conversation& c) { return complete(c.transcript()); };
    Step end;
    end.kind = Step::Kind::Until;
    end.name = "node list";
    end.failPrefix = "no end of the dump: ";
    end.until = complete;
    return {Clear(), dump, end};
}

std::vector<Step> LineSteps(const std::vector<BufferedLine>& lines, const std::string& step)
{
    std::vector<Step> steps;
    for (const auto& l : lines)
        steps.push_back(LineStep(step, l.line, l.buffer));
    return steps;
}

std::vector<Step> RestartSteps(bool factoryDefault)
{
    const auto lines = factoryDefault ? nodes::FactoryDefaultLines() : nodes::RebootLines();
    std::vector<Step> steps;
    if (factoryDefault)  // waited for, so the reboot follows a finished reset
        steps.push_back(LineStep("reset", lines.front()));
    Step reboot = LineStep("reboot", lines.back());
    reboot.kind = Step::Kind::SendOnly;
    steps.push_back(std::move(reboot));
    return steps;
}

std::vector<Step> UpgradeSteps(const std::string& server, bool transmitter, const std::string& file,
                               std::chrono::milliseconds slowIdle)
{
    const auto lines = nodes::UpgradeLines(Widen(server), transmitter);
    std::vector<Step> steps{Clear()};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const bool last = i + 1 == lines.size();
        Step s = LineStep(i == 1 ? "fetch" : last ? "update" : "send", lines[i]);
        if (i == 1 || last)
            s.idle = slowIdle;
        if (i == 1) {
            // Nothing after a failed fetch: the update script would install
            // whatever an earlier attempt left behind.
            s.check = [file, server](const Conversation& c) -> Result<> {
                const nodes::UpgradeFailures f = nodes::CheckUpgradeFailures(c.transcript());
                if (f.fileNotFound)
                    return Failure("fetch", "the endpoint's tftp reports File not found for " + file);
                if (f.transferTimedOut)
                    return Failure("fetch", "the endpoint's tftp timed out fetching from " + server);
                return {};
            };
        }
        if (last)
            s.fineIfFailed = [](const Conversation& c) { return c.closed(); };
        steps.push_back(std::move(s));
    }
    return steps;
}

// --- settings --------------------------------------------------------------------

std::optional<std::string> ValidateRequest(const SetRequest& r)
{
    if (r.hostnameId && !nodes::IsValidHostnameId(Widen(*r.hostnameId)))
        return "hostname_id '" + *r.hostnameId + "': " + Narrow(nodes::kHostnameIdRuleMessage);
    if (r.channel && !nodes::IsValidChannel(Widen(*r.channel)))
        return "channel '" + *r.channel + "': must be four digits, 0000 to 0099";
    const bool anyAddress = !r.ipaddr.empty() || !r.netmask.empty() || !r.gateway.empty();
    if (r.ipMode && *r.ipMode == IpMode::Static) {
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
        add(RouteLines(*r.channel));
    if (r.ipMode)
        add(nodes::IpGroupLines(*r.ipMode, Widen(r.ipaddr), Widen(r.netmask), Widen(r.gateway)));
    return out;
}

std::vector<nodes::WireLine> RouteLines(const std::string& channel) { return nodes::ChannelGroupLines(Widen(channel)); }

std::optional<std::string> ChannelInReply(std::string_view reply)
{
    const std::u16string channel = nodes::ChannelOfReply(Widen(reply));
    if (channel.empty())
        return std::nullopt;
    return Narrow(channel);
}

std::vector<Step> ConfirmedRouteSteps(const std::string& channel)
{
    std::vector<BufferedLine> lines;
    for (auto& line : RouteLines(channel))
        lines.push_back({std::move(line)});
    auto steps = LineSteps(lines, "route");
    Step readBack;
    readBack.kind = Step::Kind::Line;
    readBack.name = "read-back";
    readBack.line = Plain(nodes::kChannelQuery);
    readBack.check = [channel](const Conversation& c) -> Result<> {
        const auto now = ChannelInReply(c.lastOutput());
        if (!now)
            return Failure("unreadable", "the reply to the channel query holds no channel");
        if (*now != channel)
            return Failure("read-back", "the endpoint reads channel " + *now + ", not " + channel);
        return {};
    };
    steps.push_back(std::move(readBack));
    return steps;
}

std::vector<FieldResult> RequestedFields(const SetRequest& r)
{
    std::vector<FieldResult> f;
    if (r.hostnameId)
        f.push_back({"hostname_id", *r.hostnameId, "", FieldStatus::NotSent});
    if (r.multicast)
        f.push_back({"multicast", *r.multicast ? "y" : "n", "", FieldStatus::NotSent});
    if (r.channel)
        f.push_back({"channel", *r.channel, "", FieldStatus::NotSent});
    if (r.ipMode) {
        f.push_back({"ip_mode", ToString(*r.ipMode), "", FieldStatus::NotSent});
        if (*r.ipMode == IpMode::Static) {
            f.push_back({"ipaddr", r.ipaddr, "", FieldStatus::NotSent});
            f.push_back({"netmask", r.netmask, "", FieldStatus::NotSent});
            f.push_back({"gateway", r.gateway, "", FieldStatus::NotSent});
        }
    }
    return f;
}

namespace {
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
}  // namespace

void Compare(std::vector<FieldResult>& fields, const Details& d, const std::string& address, bool all)
{
    for (auto& f : fields) {
        if (!all && !TakesEffectAtOnce(f.field)) {
            f.status = FieldStatus::Pending;
            continue;
        }
        f.readBack = ReadBackValue(f.field, d, address);
        // The detail parse leaves a channel empty when its line is no channel.
        if (f.field == "channel" && f.readBack.empty())
            f.status = FieldStatus::Unreadable;
        else
            f.status = f.readBack == f.requested ? FieldStatus::Confirmed : FieldStatus::Mismatch;
    }
}

}  // namespace cv::endpoint
