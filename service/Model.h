#pragma once
// The live picture of an installation: every endpoint by its MAC address,
// where it answers, what it shows, whether it is there. Fed by polls and by
// confirmed writes; says what changed as events. No I/O and no clock of its
// own: the caller passes the time, so the rules can be tested exactly.
//
// Indexes keep every question a route, a poll or an event asks at the cost
// of what changed: by address, online transmitters by channel, receivers by
// channel. A change is watched from before to after, and only the channels
// and receivers it touched are compared for events.
#include "endpoint/Types.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace cv::service {

using Json = nlohmann::ordered_json;
using WallClock = std::chrono::system_clock;

// Every device in the model is a transmitter or a receiver: a read that
// cannot say which (Kind::Unknown) puts nothing in it.
using endpoint::Kind;

struct Device {
    std::string mac;
    std::string address;
    Kind kind = Kind::Rx;
    std::string hostnameId;  // a transmitter's from its detail read, a receiver's also from the node list
    std::string channel;  // "0000" to "0099"
    std::string multicast;  // "y" or "n" as the node list says
    std::optional<int> number;  // a receiver's on-screen number, from the node list
    std::string version;  // firmware, from the MAC read
    bool online = false;
    WallClock::time_point lastSeen{};
    // Discovery rounds missed in a row, and whether it must be read again
    // before it is believed (it missed one, so it may be another box now).
    int missed = 0;
    bool recheck = false;
};
Json ToJson(const Device& device);

// One row of a node list, or of a detail read, at one address.
struct Sighting {
    std::string address;
    Kind kind = Kind::Rx;
    std::string hostnameId;
    std::string channel;
    std::string multicast;
    std::optional<int> number;  // receivers, from the node list only
    bool operator==(const Sighting&) const = default;
};

struct Event {
    // online, offline, changed, forgotten, route, conflict, conflict-cleared,
    // scene-recalled, scene-saved, scene-deleted, label, failed
    std::string type;
    Json data;
};

struct Route {
    std::string rx;  // receiver mac
    std::optional<std::string> tx;  // the one online transmitter on the same channel, if exactly one
    std::string channel;
    std::string txName;  // that transmitter's hostname ID
    bool operator==(const Route&) const = default;
};
Json ToJson(const Route& route);

// Two or more transmitters on one channel: a receiver on it shows one of
// them, and nobody can say which.
struct Conflict {
    std::string channel;
    std::vector<std::string> transmitters;  // macs
    bool operator==(const Conflict&) const = default;
};
Json ToJson(const Conflict& conflict);

class Model {
public:
    // A poll takes a ticket when it starts, so that a write confirmed while
    // it ran wins over what it read before the write.
    using Ticket = std::uint64_t;
    Ticket BeginPoll() { return ++clock_; }

    // What one poll saw: the addresses that answered discovery and the node
    // list's rows. Returns the addresses whose MAC must be read (never seen,
    // or answering as another kind than the device recorded there).
    std::vector<std::string> ApplyPoll(Ticket ticket, const std::vector<std::string>& answered,
                                       const std::vector<Sighting>& rows, WallClock::time_point now,
                                       std::vector<Event>& events);
    // A round of discovery that went out and was read: who answered. A
    // device that missed this round and the one before is returned, to be
    // probed; nothing goes offline here (a lost answer is no lost box).
    static constexpr int kMissesBeforeProbe = 2;
    struct Presence {
        std::vector<std::string> suspects;  // macs to probe
        std::size_t missedOnce = 0;  // devices that missed this round only
    };
    Presence ApplyPresence(const std::vector<std::string>& answered);
    // The shell port of a suspect, probed: no answer is offline.
    void ApplyProbe(const std::string& mac, bool answered, std::vector<Event>& events);
    // The MAC read at an address, with what that read showed; ignored when
    // the read does not say transmitter or receiver.
    void ApplyIdentity(Ticket ticket, const std::string& mac, const Sighting& seen, WallClock::time_point now,
                       std::vector<Event>& events, const std::string& version = {});
    // A receiver's channel, read back after this service wrote it.
    void ApplyConfirmedChannel(const std::string& mac, const std::string& channel, WallClock::time_point now,
                               std::vector<Event>& events);

    // An offline device, forgotten: false when there is none or it is online.
    enum class Forget { Done, NoSuchDevice, Online };
    Forget ApplyForget(const std::string& mac, std::vector<Event>& events);

    const std::map<std::string, Device>& devices() const { return devices_; }
    const Device* Find(const std::string& macOrAddress) const;
    std::size_t online() const { return online_; }
    std::vector<Route> Routes() const;
    // The routes a scene can hold: a receiver on a channel that two
    // transmitters share names no source, and recalling "none" for it would
    // take its picture away, so it is left out.
    std::vector<Route> SceneRoutes() const;
    std::optional<Route> RouteOf(const std::string& rxMac) const;
    std::vector<Conflict> Conflicts() const;
    // A channel no transmitter uses, for a receiver that should show nothing.
    std::optional<std::string> UnusedChannel() const;
    // The online transmitters on a channel, by mac.
    const std::set<std::string>& TransmittersOn(const std::string& channel) const;

private:
    // What a change may alter, as it was before: the channels it touches
    // and the receivers whose own route may move.
    struct Watch {
        std::map<std::string, std::set<std::string>> channels;  // channel -> online transmitters before
        std::map<std::string, std::optional<Route>> receivers;  // mac -> route before (nullopt: none)
    };
    Device* ByAddress(const std::string& address);
    // Before a device changes: remember what it may alter, and take it out
    // of the indexes; after: put it back.
    void Touch(Watch& watch, const Device& device, const std::string& nextChannel);
    void Unindex(const Device& device);
    void Index(const Device& device);
    // Route and conflict events for everything the watch saw change.
    void Close(const Watch& watch, std::vector<Event>& events) const;
    void Update(Watch& watch, Device& device, const Sighting& seen, bool channelFromRead, Ticket ticket,
                WallClock::time_point now, std::vector<Event>& events);
    void GoOffline(Watch& watch, Device& device, std::vector<Event>& events);
    std::optional<std::string> SoleTx(const std::set<std::string>& transmitters) const;

    std::map<std::string, Device> devices_;  // by mac
    std::unordered_map<std::string, std::string> byAddress_;  // address -> mac
    std::map<std::string, std::set<std::string>> onlineTx_;  // channel -> online transmitters
    std::unordered_map<std::string, std::set<std::string>> rxOn_;  // channel -> receivers
    std::map<std::string, int> txChannels_;  // channel -> transmitters, online or not
    std::map<std::string, Ticket> writtenAt_;  // mac -> ticket of its last confirmed write
    std::size_t online_ = 0;
    Ticket clock_ = 0;
};

// "0000" to "0099".
bool IsChannel(const std::string& text);
// "aa:bb:cc:dd:ee:ff" in lower case, as the service names devices; the
// firmware's own spelling (any case, '-' or ':') is accepted.
std::optional<std::string> NormalMac(const std::string& text);

}  // namespace cv::service
