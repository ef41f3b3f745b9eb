#include "service/Model.h"

#include <algorithm>
#include <cctype>
#include <set>

namespace cv::service {

const char* ToString(Kind kind) { return kind == Kind::Tx ? "tx" : "rx"; }

namespace {
std::string Iso8601(WallClock::time_point t)
{
    if (t == WallClock::time_point{})
        return {};
    const std::time_t secs = WallClock::to_time_t(t);
    std::tm utc{};
    gmtime_r(&secs, &utc);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return buf;
}
}  // namespace

Json ToJson(const Device& d)
{
    Json j;
    j["mac"] = d.mac;
    j["address"] = d.address;
    j["kind"] = ToString(d.kind);
    j["hostname_id"] = d.hostnameId;
    j["channel"] = d.channel;
    j["multicast"] = d.multicast;
    j["number"] = d.number ? Json(*d.number) : Json(nullptr);
    j["online"] = d.online;
    j["last_seen"] = Iso8601(d.lastSeen);
    return j;
}

Json ToJson(const Route& r)
{
    Json j;
    j["rx"] = r.rx;
    j["tx"] = r.tx ? Json(*r.tx) : Json(nullptr);
    j["channel"] = r.channel;
    return j;
}

Json ToJson(const Conflict& c)
{
    Json j;
    j["channel"] = c.channel;
    j["transmitters"] = c.transmitters;
    return j;
}

bool IsChannel(const std::string& text)
{
    return text.size() == 4 && text[0] == '0' && text[1] == '0' && std::isdigit(static_cast<unsigned char>(text[2])) &&
        std::isdigit(static_cast<unsigned char>(text[3]));
}

std::optional<std::string> NormalMac(const std::string& text)
{
    std::string hex;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else if ((c == ':' || c == '-') && hex.size() % 2 == 0 && !hex.empty() && i + 1 < text.size()) {
            continue;
        } else {
            return std::nullopt;
        }
    }
    if (hex.size() != 12)
        return std::nullopt;
    std::string out;
    for (std::size_t i = 0; i < 12; i += 2)
        out += (i ? ":" : "") + hex.substr(i, 2);
    return out;
}

const Device* Model::Find(const std::string& key) const
{
    if (const auto mac = NormalMac(key)) {
        const auto it = devices_.find(*mac);
        return it == devices_.end() ? nullptr : &it->second;
    }
    for (const auto& [mac, d] : devices_)
        if (d.address == key)
            return &d;
    return nullptr;
}

Device* Model::ByAddress(const std::string& address)
{
    for (auto& [mac, d] : devices_)
        if (d.address == address)
            return &d;
    return nullptr;
}

std::vector<const Device*> Model::TransmittersOn(const std::string& channel) const
{
    std::vector<const Device*> out;
    for (const auto& [mac, d] : devices_)
        if (d.kind == Kind::Tx && d.channel == channel)
            out.push_back(&d);
    return out;
}

std::optional<Route> Model::RouteOf(const std::string& rxMac) const
{
    const auto it = devices_.find(rxMac);
    if (it == devices_.end() || it->second.kind != Kind::Rx)
        return std::nullopt;
    Route r{rxMac, std::nullopt, it->second.channel};
    const auto txs = TransmittersOn(it->second.channel);
    if (txs.size() == 1)
        r.tx = txs.front()->mac;
    return r;
}

std::vector<Route> Model::Routes() const
{
    std::vector<Route> out;
    for (const auto& [mac, d] : devices_)
        if (d.kind == Kind::Rx)
            out.push_back(*RouteOf(mac));
    return out;
}

std::vector<Route> Model::SceneRoutes() const
{
    std::vector<Route> out;
    for (const Route& r : Routes())
        if (r.tx || TransmittersOn(r.channel).size() < 2)
            out.push_back(r);
    return out;
}

std::vector<Conflict> Model::Conflicts() const
{
    std::map<std::string, std::vector<std::string>> byChannel;
    for (const auto& [mac, d] : devices_)
        if (d.kind == Kind::Tx && !d.channel.empty())
            byChannel[d.channel].push_back(mac);
    std::vector<Conflict> out;
    for (auto& [channel, txs] : byChannel)
        if (txs.size() > 1)
            out.push_back({channel, std::move(txs)});
    return out;
}

std::optional<std::string> Model::UnusedChannel() const
{
    std::set<std::string> used;
    for (const auto& [mac, d] : devices_)
        if (d.kind == Kind::Tx)
            used.insert(d.channel);
    // From the top of the range: the low channels are where installers put
    // their sources, so a parked receiver stays out of their way.
    for (int n = 99; n >= 0; --n) {
        char buf[5];
        std::snprintf(buf, sizeof buf, "%04d", n);
        if (!used.count(buf))
            return std::string(buf);
    }
    return std::nullopt;
}

std::map<std::string, std::optional<std::string>> Model::RouteMap() const
{
    std::map<std::string, std::optional<std::string>> out;
    for (const auto& r : Routes())
        out[r.rx] = r.tx;
    return out;
}

void Model::RouteEvents(const std::map<std::string, std::optional<std::string>>& before,
                        const std::vector<Conflict>& conflictsBefore, std::vector<Event>& events) const
{
    for (const auto& r : Routes()) {
        const auto it = before.find(r.rx);
        if (it != before.end() && it->second == r.tx)
            continue;
        if (it == before.end() && !r.tx)
            continue;  // a new receiver showing nothing is no news
        events.push_back({"route", ToJson(r)});
    }
    for (const auto& c : Conflicts())
        if (std::find(conflictsBefore.begin(), conflictsBefore.end(), c) == conflictsBefore.end())
            events.push_back({"conflict", ToJson(c)});
}

void Model::Update(Device& d, const Sighting& seen, bool channelFromRead, Ticket ticket, WallClock::time_point now,
                   std::vector<Event>& events)
{
    Json changes = Json::object();
    const auto set = [&](const char* field, std::string& have, const std::string& value) {
        if (have == value)
            return;
        changes[field] = {{"old", have}, {"new", value}};
        have = value;
    };
    set("address", d.address, seen.address);
    if (seen.kind != d.kind) {
        changes["kind"] = {{"old", ToString(d.kind)}, {"new", ToString(seen.kind)}};
        d.kind = seen.kind;
    }
    if (seen.kind == Kind::Rx)
        set("hostname_id", d.hostnameId, seen.hostnameId);
    // A read that began before our own confirmed write saw the old channel.
    const auto written = writtenAt_.find(d.mac);
    const bool stale = channelFromRead && written != writtenAt_.end() && written->second > ticket;
    if (!stale && !seen.channel.empty())
        set("channel", d.channel, seen.channel);
    if (!seen.multicast.empty())
        set("multicast", d.multicast, seen.multicast);
    if (seen.number && seen.number != d.number) {
        changes["number"] = {{"old", d.number ? Json(*d.number) : Json(nullptr)}, {"new", *seen.number}};
        d.number = seen.number;
    }
    d.lastSeen = now;
    if (!d.online) {
        d.online = true;
        events.push_back({"online", ToJson(d)});
    } else if (!changes.empty()) {
        events.push_back({"changed", {{"mac", d.mac}, {"changes", changes}}});
    }
}

std::vector<std::string> Model::ApplyPoll(Ticket ticket, const std::vector<std::string>& answered,
                                          const std::vector<Sighting>& rows, WallClock::time_point now,
                                          std::vector<Event>& events)
{
    const auto routesBefore = RouteMap();
    const auto conflictsBefore = Conflicts();
    const std::set<std::string> present(answered.begin(), answered.end());
    std::vector<std::string> unknown;
    for (const Sighting& row : rows) {
        if (!present.count(row.address))
            continue;  // the list may name a box that has gone
        Device* d = ByAddress(row.address);
        const bool same =
            d && d->online && d->kind == row.kind && (row.kind == Kind::Tx || d->hostnameId == row.hostnameId);
        if (!same) {
            // Never seen here, back after a gap, or answering as another box
            // would: only its MAC says which device it is.
            unknown.push_back(row.address);
            continue;
        }
        Update(*d, row, true, ticket, now, events);
    }
    // An address that answered discovery but is missing from the list (the
    // responder's list is a moment old) is read as well.
    for (const std::string& address : answered) {
        const bool listed =
            std::any_of(rows.begin(), rows.end(), [&](const Sighting& s) { return s.address == address; });
        if (!listed && !ByAddress(address))
            unknown.push_back(address);
    }
    ApplyPresence(answered, events);
    RouteEvents(routesBefore, conflictsBefore, events);
    return unknown;
}

void Model::ApplyPresence(const std::vector<std::string>& answered, std::vector<Event>& events)
{
    const std::set<std::string> present(answered.begin(), answered.end());
    for (auto& [mac, d] : devices_) {
        if (d.online && !present.count(d.address)) {
            d.online = false;
            events.push_back({"offline", ToJson(d)});
        }
    }
}

void Model::ApplyIdentity(Ticket ticket, const std::string& mac, const Sighting& seen, WallClock::time_point now,
                          std::vector<Event>& events)
{
    const auto routesBefore = RouteMap();
    const auto conflictsBefore = Conflicts();
    // Whoever held this address before has moved or gone: it answers as
    // another device now.
    for (auto& [otherMac, other] : devices_) {
        if (otherMac != mac && other.address == seen.address) {
            other.address.clear();
            if (other.online) {
                other.online = false;
                events.push_back({"offline", ToJson(other)});
            }
        }
    }
    auto [it, inserted] = devices_.try_emplace(mac);
    Device& d = it->second;
    if (inserted) {
        d.mac = mac;
        d.kind = seen.kind;
    }
    Update(d, seen, true, ticket, now, events);
    RouteEvents(routesBefore, conflictsBefore, events);
}

void Model::ApplyConfirmedChannel(const std::string& mac, const std::string& channel, WallClock::time_point now,
                                  std::vector<Event>& events)
{
    const auto it = devices_.find(mac);
    if (it == devices_.end())
        return;
    const auto routesBefore = RouteMap();
    const auto conflictsBefore = Conflicts();
    writtenAt_[mac] = ++clock_;
    Sighting seen{it->second.address,   it->second.kind,  it->second.hostnameId, channel,
                  it->second.multicast, it->second.number};
    Update(it->second, seen, false, clock_, now, events);
    RouteEvents(routesBefore, conflictsBefore, events);
}

}  // namespace cv::service
