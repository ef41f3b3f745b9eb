#include "service/LineProtocol.h"

#include "service/EventLog.h"

namespace cv::service::line {

namespace {
std::vector<std::string_view> Words(std::string_view line)
{
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            ++i;
        if (i > start)
            out.push_back(line.substr(start, i - start));
    }
    return out;
}

// Replies are lines of their own: nothing from a device or a request may
// end one early or start a false OK.
std::string OneLine(std::string_view text)
{
    std::string out;
    for (char c : text)
        out += (c == '\r' || c == '\n' || static_cast<unsigned char>(c) < 0x20) ? ' ' : c;
    return out;
}
}  // namespace

Command Parse(std::string_view line)
{
    const auto w = Words(line);
    if (w.empty())
        return Bad{"empty line"};
    const std::string_view verb = w[0];
    const std::size_t args = w.size() - 1;
    const auto exactly = [&](std::size_t n, Command c) -> Command {
        if (args != n)
            return Bad{std::string(verb) + ": " +
                       (n == 0 ? "takes no arguments" : "needs " + std::to_string(n) + " argument(s)")};
        return c;
    };
    if (verb == "help")
        return exactly(0, Help{});
    if (verb == "devices")
        return exactly(0, Devices{});
    if (verb == "routes")
        return exactly(0, Routes{});
    if (verb == "scenes")
        return exactly(0, Scenes{});
    if (verb == "subscribe") {
        if (args == 0)
            return Subscribe{};
        if (args != 1)
            return Bad{"subscribe: subscribe [<last event id>]"};
        const auto id = ParseEventId(w[1]);
        if (!id)
            return Bad{"subscribe: the last event id is a number"};
        return Subscribe{*id};
    }
    if (verb == "history") {
        if (args == 0)
            return ShowHistory{};
        const auto n = args == 1 ? ParseHistoryLimit(w[1]) : std::nullopt;
        if (!n)
            return Bad{"history: history [<count, 1 to " + std::to_string(kHistoryMaxLimit) + ">]"};
        return ShowHistory{*n};
    }
    if (verb == "forget") {
        if (args != 1)
            return Bad{"forget: forget <mac>"};
        const auto mac = NormalMac(std::string(w[1]));
        if (!mac)
            return Bad{"forget: not a MAC address (aa:bb:cc:dd:ee:ff)"};
        return Forget{*mac};
    }
    if (verb == "auth") {
        if (args != 1)
            return Bad{"auth: needs the token"};
        return Auth{std::string(w[1])};
    }
    if (verb == "route") {
        if (args != 2)
            return Bad{"route: route <rx> <tx|none>"};
        RouteTo r{std::string(w[1]), std::nullopt};
        if (w[2] != "none")
            r.tx = std::string(w[2]);
        return r;
    }
    if (verb == "recall") {
        // A scene name may hold spaces: everything after the verb.
        const std::size_t at = line.find(verb) + verb.size();
        std::string_view name = line.substr(at);
        while (!name.empty() && (name.front() == ' ' || name.front() == '\t'))
            name.remove_prefix(1);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
            name.remove_suffix(1);
        if (name.empty())
            return Bad{"recall: needs a scene name"};
        return Recall{std::string(name)};
    }
    if (verb == "identify") {
        if (args < 1 || (w[1] != "on" && w[1] != "off"))
            return Bad{"identify: identify on|off [<rx>...]"};
        Identify id{w[1] == "on", {}};
        for (std::size_t i = 2; i < w.size(); ++i)
            id.rx.emplace_back(w[i]);
        return id;
    }
    return Bad{"unknown command '" + OneLine(verb.substr(0, 64)) + "' (try help)"};
}

Role Needs(const Command& command)
{
    if (std::holds_alternative<Help>(command) || std::holds_alternative<Auth>(command) ||
        std::holds_alternative<Bad>(command))
        return Role::None;
    if (std::holds_alternative<RouteTo>(command) || std::holds_alternative<Recall>(command) ||
        std::holds_alternative<Identify>(command))
        return Role::Operator;
    if (std::holds_alternative<Forget>(command))
        return Role::Admin;
    return Role::Viewer;
}

void LineSplitter::Feed(std::string_view bytes, std::vector<std::optional<std::string>>& out)
{
    while (!bytes.empty()) {
        const std::size_t lf = bytes.find('\n');
        if (!skipping_) {
            pending_.append(bytes.substr(0, lf));
            // One byte more than the limit may still be the CR of CR LF.
            if (pending_.size() > kMaxLine + 1) {
                out.push_back(std::nullopt);
                pending_.clear();
                skipping_ = true;
            }
        }
        if (lf == std::string_view::npos)
            return;
        if (!skipping_) {
            if (!pending_.empty() && pending_.back() == '\r')
                pending_.pop_back();
            if (pending_.size() > kMaxLine)
                out.push_back(std::nullopt);
            else
                out.push_back(std::move(pending_));
        }
        pending_.clear();
        skipping_ = false;
        bytes.remove_prefix(lf + 1);
    }
}

std::string HelpText()
{
    return "help\r\n"
           "devices\r\n"
           "routes\r\n"
           "route <rx> <tx|none>\r\n"
           "scenes\r\n"
           "recall <name>\r\n"
           "identify on|off [<rx>...]\r\n"
           "subscribe [<last event id>]\r\n"
           "history [<count>]\r\n"
           "forget <mac>\r\n"
           "auth <token>\r\n";
}

std::string DeviceLine(const Device& d)
{
    return "DEVICE " + d.mac + " " + ToString(d.kind) + " " + (d.address.empty() ? "-" : d.address) + " " +
        (d.channel.empty() ? "-" : d.channel) + " " + (d.online ? "online" : "offline") + " " + OneLine(d.hostnameId) +
        "\r\n";
}

std::string RouteLine(const Route& r)
{
    return "ROUTE " + r.rx + " " + (r.tx ? *r.tx : "none") + " " + r.channel + "\r\n";
}

std::string EventLine(const Event& e)
{
    return "EVENT " + e.type + " " + e.data.dump(-1, ' ', false, Json::error_handler_t::replace) + "\r\n";
}

std::string EventLine(std::uint64_t id, const Event& e)
{
    return "EVENT " + std::to_string(id) + " " + e.type + " " +
        e.data.dump(-1, ' ', false, Json::error_handler_t::replace) + "\r\n";
}

std::string HistoryLine(const std::string& time, const std::string& actor, const std::string& action,
                        const std::string& subject, bool ok, const Json& detail)
{
    const auto word = [](const std::string& s) {
        std::string out = OneLine(s);
        for (auto& c : out)
            if (c == ' ')
                c = '_';
        return out.empty() ? std::string("-") : out;
    };
    return "HISTORY " + time + " " + word(actor) + " " + word(action) + " " + word(subject) + " " +
        (ok ? "ok" : "failed") + " " + detail.dump(-1, ' ', false, Json::error_handler_t::replace) + "\r\n";
}

std::string Err(std::string_view reason) { return "ERR " + OneLine(reason) + "\r\n"; }

}  // namespace cv::service::line
