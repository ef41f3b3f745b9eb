#include "service/Model.h"

#include <algorithm>
#include <cctype>
#include <unordered_set>

namespace cv::service {

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
    j["tx_hostname_id"] = r.tx ? Json(r.txName) : Json(nullptr);
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
    const auto at = byAddress_.find(key);
    return at == byAddress_.end() ? nullptr : &devices_.at(at->second);
}

Device* Model::ByAddress(const std::string& address)
{
    const auto at = byAddress_.find(address);
    return at == byAddress_.end() ? nullptr : &devices_.at(at->second);
}

const std::set<std::string>& Model::TransmittersOn(const std::string& channel) const
{
    static const std::set<std::string> kNone;
    const auto it = onlineTx_.find(channel);
    return it == onlineTx_.end() ? kNone : it->second;
}

std::optional<std::string> Model::SoleTx(const std::set<std::string>& transmitters) const
{
    if (transmitters.size() != 1)
        return std::nullopt;
    return *transmitters.begin();
}

std::optional<Route> Model::RouteOf(const std::string& rxMac) const
{
    const auto it = devices_.find(rxMac);
    if (it == devices_.end() || it->second.kind != Kind::Rx)
        return std::nullopt;
    Route r{rxMac, SoleTx(TransmittersOn(it->second.channel)), it->second.channel, {}};
    if (r.tx)
        r.txName = devices_.at(*r.tx).hostnameId;
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
    std::vector<Conflict> out;
    for (const auto& [channel, txs] : onlineTx_)
        if (txs.size() > 1)
            out.push_back({channel, {txs.begin(), txs.end()}});
    return out;
}

std::optional<std::string> Model::UnusedChannel() const
{
    // From the top of the range: the low channels are where installers put
    // their sources, so a parked receiver stays out of their way. An offline
    // transmitter's channel is not free: it may come back.
    for (int n = 99; n >= 0; --n) {
        char buf[5];
        std::snprintf(buf, sizeof buf, "%04d", n);
        if (!txChannels_.count(buf))
            return std::string(buf);
    }
    return std::nullopt;
}

// --- indexes and watches ------------------------------------------------------

void Model::Index(const Device& d)
{
    if (!d.address.empty())
        byAddress_[d.address] = d.mac;
    if (d.kind == Kind::Tx) {
        ++txChannels_[d.channel];
        if (d.online)
            onlineTx_[d.channel].insert(d.mac);
    } else {
        rxOn_[d.channel].insert(d.mac);
    }
    online_ += d.online;
}

void Model::Unindex(const Device& d)
{
    if (const auto at = byAddress_.find(d.address); at != byAddress_.end() && at->second == d.mac)
        byAddress_.erase(at);
    if (d.kind == Kind::Tx) {
        if (const auto it = txChannels_.find(d.channel); it != txChannels_.end() && --it->second == 0)
            txChannels_.erase(it);
        if (const auto it = onlineTx_.find(d.channel); it != onlineTx_.end()) {
            it->second.erase(d.mac);
            if (it->second.empty())
                onlineTx_.erase(it);
        }
    } else if (const auto it = rxOn_.find(d.channel); it != rxOn_.end()) {
        it->second.erase(d.mac);
        if (it->second.empty())
            rxOn_.erase(it);
    }
    online_ -= d.online;
}

void Model::Touch(Watch& w, const Device& d, const std::string& nextChannel)
{
    for (const std::string* channel : {&d.channel, &nextChannel})
        w.channels.try_emplace(*channel, TransmittersOn(*channel));
    if (!w.receivers.count(d.mac))
        w.receivers.emplace(d.mac, RouteOf(d.mac));
    Unindex(d);
}

void Model::Close(const Watch& w, std::vector<Event>& events) const
{
    // Receivers whose route may have moved: the ones that changed, and all
    // on a channel whose one transmitter changed.
    std::set<std::string> receivers;
    for (const auto& [mac, before] : w.receivers)
        receivers.insert(mac);
    for (const auto& [channel, before] : w.channels)
        if (SoleTx(before) != SoleTx(TransmittersOn(channel)))
            if (const auto it = rxOn_.find(channel); it != rxOn_.end())
                receivers.insert(it->second.begin(), it->second.end());
    for (const std::string& mac : receivers) {
        const auto after = RouteOf(mac);
        if (!after)
            continue;
        std::optional<Route> before;
        if (const auto it = w.receivers.find(mac); it != w.receivers.end()) {
            before = it->second;
            if (!before && !after->tx)
                continue;  // a new receiver showing nothing is no news
        } else {
            before = *after;
            const auto& txs = w.channels.at(after->channel);
            before->tx = SoleTx(txs);
            before->txName = before->tx ? devices_.at(*before->tx).hostnameId : std::string();
        }
        if (!before || before->tx != after->tx || before->channel != after->channel ||
            (after->tx && before->txName != after->txName))
            events.push_back({"route", ToJson(*after)});
    }
    for (const auto& [channel, before] : w.channels) {
        const auto& now = TransmittersOn(channel);
        if (now.size() > 1 && now != before)
            events.push_back({"conflict", ToJson(Conflict{channel, {now.begin(), now.end()}})});
        else if (now.size() < 2 && before.size() > 1)
            events.push_back({"conflict-cleared", {{"channel", channel}}});
    }
}

// --- changes ------------------------------------------------------------------

void Model::Update(Watch& w, Device& d, const Sighting& seen, bool channelFromRead, Ticket ticket,
                   WallClock::time_point now, std::vector<Event>& events)
{
    // A read that began before our own confirmed write saw the old channel.
    const auto written = writtenAt_.find(d.mac);
    const bool stale = channelFromRead && written != writtenAt_.end() && written->second > ticket;
    const std::string channel = !stale && !seen.channel.empty() ? seen.channel : d.channel;
    const std::string hostnameId = seen.hostnameId.empty() && seen.kind == Kind::Tx ? d.hostnameId : seen.hostnameId;
    Touch(w, d, channel);

    Json changes = Json::object();
    const auto set = [&](const char* field, std::string& have, const std::string& value) {
        if (have == value)
            return;
        changes[field] = {{"old", have}, {"new", value}};
        have = value;
    };
    if (d.address != seen.address) {
        set("address", d.address, seen.address);
    }
    if (seen.kind != d.kind) {
        changes["kind"] = {{"old", ToString(d.kind)}, {"new", ToString(seen.kind)}};
        d.kind = seen.kind;
    }
    set("hostname_id", d.hostnameId, hostnameId);
    set("channel", d.channel, channel);
    if (!seen.multicast.empty())
        set("multicast", d.multicast, seen.multicast);
    if (seen.number && seen.number != d.number) {
        changes["number"] = {{"old", d.number ? Json(*d.number) : Json(nullptr)}, {"new", *seen.number}};
        d.number = seen.number;
    }
    d.lastSeen = now;
    d.missed = 0;
    d.recheck = false;
    const bool cameBack = !d.online;
    d.online = true;
    // Whoever held this address before has moved or gone: it answers as
    // this device now.
    if (Device* other = ByAddress(d.address); other && other != &d) {
        Touch(w, *other, other->channel);
        other->address.clear();
        if (other->online) {
            other->online = false;
            events.push_back({"offline", ToJson(*other)});
        }
        Index(*other);
    }
    Index(d);
    if (cameBack)
        events.push_back({"online", ToJson(d)});
    else if (!changes.empty())
        events.push_back({"changed", {{"mac", d.mac}, {"changes", changes}}});
}

void Model::GoOffline(Watch& w, Device& d, std::vector<Event>& events)
{
    if (!d.online)
        return;
    Touch(w, d, d.channel);
    d.online = false;
    Index(d);
    events.push_back({"offline", ToJson(d)});
}

std::vector<std::string> Model::ApplyPoll(Ticket ticket, const std::vector<std::string>& answered,
                                          const std::vector<Sighting>& rows, WallClock::time_point now,
                                          std::vector<Event>& events)
{
    Watch w;
    const std::unordered_set<std::string> present(answered.begin(), answered.end());
    std::unordered_set<std::string> listed;
    std::vector<std::string> unknown;
    for (const Sighting& row : rows) {
        listed.insert(row.address);
        if (!present.count(row.address))
            continue;  // the list may name a box that has gone
        Device* d = ByAddress(row.address);
        const bool same = d && d->online && !d->recheck && d->kind == row.kind &&
            (row.kind == Kind::Tx || d->hostnameId == row.hostnameId);
        if (!same) {
            // Never seen here, back after a gap, or answering as another box
            // would: only its MAC says which device it is.
            unknown.push_back(row.address);
            continue;
        }
        // Most rows of most polls say what the model knows already.
        if ((row.channel.empty() || row.channel == d->channel) &&
            (row.multicast.empty() || row.multicast == d->multicast) && (!row.number || row.number == d->number)) {
            d->lastSeen = now;
            d->missed = 0;
            continue;
        }
        Update(w, *d, row, true, ticket, now, events);
    }
    // An address that answered discovery but is missing from the list (the
    // responder's list is a moment old) is read as well, unless known.
    for (const std::string& address : answered) {
        if (listed.count(address))
            continue;
        const Device* d = ByAddress(address);
        if (!d || d->recheck || !d->online)
            unknown.push_back(address);
    }
    Close(w, events);
    return unknown;
}

Model::Presence Model::ApplyPresence(const std::vector<std::string>& answered)
{
    const std::unordered_set<std::string> present(answered.begin(), answered.end());
    Presence out;
    for (auto& [mac, d] : devices_) {
        if (d.address.empty())
            continue;
        if (present.count(d.address)) {
            // Back after a missed round: the same box, or one that took its
            // place? Its MAC is read before it is believed.
            if (d.missed > 0)
                d.recheck = true;
            d.missed = 0;
            continue;
        }
        if (!d.online)
            continue;
        if (++d.missed >= kMissesBeforeProbe)
            out.suspects.push_back(mac);
        else
            ++out.missedOnce;
    }
    return out;
}

void Model::ApplyProbe(const std::string& mac, bool answered, std::vector<Event>& events)
{
    const auto it = devices_.find(mac);
    if (answered || it == devices_.end())
        return;
    Watch w;
    GoOffline(w, it->second, events);
    Close(w, events);
}

Model::Forget Model::ApplyForget(const std::string& mac, std::vector<Event>& events)
{
    const auto it = devices_.find(mac);
    if (it == devices_.end())
        return Forget::NoSuchDevice;
    if (it->second.online)
        return Forget::Online;
    Watch w;
    Touch(w, it->second, it->second.channel);
    w.receivers.erase(mac);
    devices_.erase(it);
    writtenAt_.erase(mac);
    events.push_back({"forgotten", {{"mac", mac}}});
    Close(w, events);
    return Forget::Done;
}

void Model::ApplyIdentity(Ticket ticket, const std::string& mac, const Sighting& seen, WallClock::time_point now,
                          std::vector<Event>& events, const std::string& version)
{
    if (seen.kind == Kind::Unknown)
        return;
    Watch w;
    auto [it, inserted] = devices_.try_emplace(mac);
    Device& d = it->second;
    if (inserted) {
        d.mac = mac;
        d.kind = seen.kind;
        d.channel = seen.channel;
        Index(d);
    }
    if (!version.empty())
        d.version = version;
    Update(w, d, seen, true, ticket, now, events);
    Close(w, events);
}

void Model::ApplyConfirmedChannel(const std::string& mac, const std::string& channel, WallClock::time_point now,
                                  std::vector<Event>& events)
{
    const auto it = devices_.find(mac);
    if (it == devices_.end())
        return;
    writtenAt_[mac] = ++clock_;
    Sighting seen{it->second.address,   it->second.kind,  it->second.hostnameId, channel,
                  it->second.multicast, it->second.number};
    Watch w;
    Update(w, it->second, seen, false, clock_, now, events);
    Close(w, events);
}

}  // namespace cv::service
