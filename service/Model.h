#pragma once
// The live picture of an installation: every endpoint by its MAC address,
// where it answers, what it shows, whether it is there. Fed by polls and by
// confirmed writes; says what changed as events. No I/O and no clock of its
// own: the caller passes the time, so the rules can be tested exactly.
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace cv::service {

using Json = nlohmann::ordered_json;
using WallClock = std::chrono::system_clock;

enum class Kind { Tx, Rx };
const char* ToString(Kind kind);

struct Device {
    std::string mac;
    std::string address;
    Kind kind = Kind::Rx;
    std::string hostnameId;  // receivers only
    std::string channel;  // "0000" to "0099"
    std::string multicast;  // "y" or "n" as the node list says
    std::optional<int> number;  // a receiver's on-screen number, from the node list
    bool online = false;
    WallClock::time_point lastSeen{};
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
    std::string type;  // online, offline, changed, route, conflict, scene-recalled, failed
    Json data;
};

struct Route {
    std::string rx;  // receiver mac
    std::optional<std::string> tx;  // transmitter mac on the same channel, if exactly one
    std::string channel;
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
    // Who answered discovery, as soon as it is known: a device that did not
    // is offline now, before any node list is read.
    void ApplyPresence(const std::vector<std::string>& answered, std::vector<Event>& events);
    // The MAC read at an address, with what that read showed.
    void ApplyIdentity(Ticket ticket, const std::string& mac, const Sighting& seen, WallClock::time_point now,
                       std::vector<Event>& events);
    // A receiver's channel, read back after this service wrote it.
    void ApplyConfirmedChannel(const std::string& mac, const std::string& channel, WallClock::time_point now,
                               std::vector<Event>& events);

    const std::map<std::string, Device>& devices() const { return devices_; }
    const Device* Find(const std::string& macOrAddress) const;
    std::vector<Route> Routes() const;
    // The routes a scene can hold: a receiver on a channel that two
    // transmitters share names no source, and recalling "none" for it would
    // take its picture away, so it is left out.
    std::vector<Route> SceneRoutes() const;
    std::optional<Route> RouteOf(const std::string& rxMac) const;
    std::vector<Conflict> Conflicts() const;
    // A channel no transmitter uses, for a receiver that should show nothing.
    std::optional<std::string> UnusedChannel() const;
    // The transmitters on a channel.
    std::vector<const Device*> TransmittersOn(const std::string& channel) const;

private:
    Device* ByAddress(const std::string& address);
    void Update(Device& device, const Sighting& seen, bool channelFromRead, Ticket ticket, WallClock::time_point now,
                std::vector<Event>& events);
    void RouteEvents(const std::map<std::string, std::optional<std::string>>& before,
                     const std::vector<Conflict>& conflictsBefore, std::vector<Event>& events) const;
    std::map<std::string, std::optional<std::string>> RouteMap() const;

    std::map<std::string, Device> devices_;  // by mac
    std::map<std::string, Ticket> writtenAt_;  // mac -> ticket of its last confirmed write
    Ticket clock_ = 0;
};

// "0000" to "0099".
bool IsChannel(const std::string& text);
// "aa:bb:cc:dd:ee:ff" in lower case, as the service names devices; the
// firmware's own spelling (any case, '-' or ':') is accepted.
std::optional<std::string> NormalMac(const std::string& text);

}  // namespace cv::service
