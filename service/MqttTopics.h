#pragma once
// What cortaviad says on an MQTT broker and what it takes from it, as plain
// functions: the broker URL, the topics under cortavia/<site>/, the names a
// receiver's source is chosen by, the commands read from a topic and its
// payload, and Home Assistant's discovery configurations. No Qt and no
// client library, so tests and the fuzz target run them as they are.
#include "service/Model.h"
#include "service/StateFiles.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace cv::service::mqtt {

struct BrokerUrl {
    bool tls = false;
    std::string host;
    int port = 1883;
};
// mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883); HOST a name,
// an IPv4 address or [IPv6]. No user or path: those have options of their own.
Result<BrokerUrl> ParseBrokerUrl(const std::string& url);

// A site is one level of every topic and part of every discovery object id:
// ASCII letters, digits, '-' and '_', 1 to 64 characters.
bool IsSiteName(const std::string& site);
// The host name's first label, made a site name ("av-rack.example.org" -> "av-rack").
std::string SiteFromHostName(const std::string& host);

// A device in topics and object ids: its MAC's twelve hex digits.
std::string DeviceId(const std::string& mac);
// The MAC of a device id, or nullopt when it is none.
std::optional<std::string> MacOfId(std::string_view id);

// Every topic of one site.
class Topics {
public:
    explicit Topics(std::string site, std::string discoveryPrefix = "homeassistant");
    const std::string& site() const { return site_; }
    std::string Availability() const;  // "online" / "offline", retained, the last will
    std::string Events() const;
    std::string Conflicts() const;
    std::string Rx(const std::string& mac, std::string_view leaf) const;  // source, online, hostname_id, channel, set
    std::string Tx(const std::string& mac, std::string_view leaf) const;  // name, online
    std::string SceneRecall(const std::string& scene) const;
    std::string Identify() const;
    std::vector<std::string> Subscriptions() const;
    // Home Assistant tells its clients it has (re)started here.
    std::string DiscoveryStatus() const;
    // homeassistant/<component>/<object>/config
    std::string Discovery(std::string_view component, const std::string& object) const;
    std::string ReceiverObject(const std::string& mac) const;
    std::string OnlineObject(const std::string& mac) const;
    std::string SceneObject(const std::string& scene) const;

private:
    std::string site_;
    std::string base_;
    std::string discovery_;
};

// --- sources ------------------------------------------------------------------

// A transmitter as a receiver's source: the name shown and taken.
struct Source {
    std::string mac;
    std::string address;
    std::string name;
    bool operator==(const Source&) const = default;
};
struct SourceInput {
    std::string mac;
    std::string address;
    std::string hostnameId;
    std::string label;
};
inline constexpr std::string_view kNone = "none";
inline constexpr std::string_view kConflict = "conflict";
// Named as the control page names them (label, else hostname ID, else
// address), sorted by name; a name that two sources share, or that is
// "none", gets its MAC added, so that every option picks one source.
std::vector<Source> NameSources(const std::vector<SourceInput>& transmitters);
// The select's options: every source's name, then "none".
std::vector<std::string> Options(const std::vector<Source>& sources);
// What a `set` payload names: a source's MAC, or nullopt for "none"; the
// error says why nothing can be sent. A name first, then a MAC, then an address.
Result<std::optional<std::string>> ResolveSource(const std::vector<Source>& sources, const std::string& payload);
// The name a receiver shows: its source's, "none", or "conflict" when two
// transmitters share its channel.
std::string SourceName(const std::vector<Source>& sources, const std::optional<std::string>& txMac,
                       std::size_t transmittersOnChannel);

// --- commands -----------------------------------------------------------------

// Larger payloads are refused before they are copied.
inline constexpr std::size_t kMaxPayload = 256;

struct SetSource {
    std::string rx;  // receiver mac
    std::string payload;
};
struct RecallScene {
    std::string name;
};
struct IdentifyCommand {
    bool on = false;
    std::optional<std::string> rx;  // mac; nullopt: every receiver
};
struct Invalid {
    std::string reason;
};
struct NotOurs { };
using Command = std::variant<NotOurs, SetSource, RecallScene, IdentifyCommand, Invalid>;

// A message on one of the subscribed topics, read whole: a payload must be
// at most kMaxPayload bytes of UTF-8 without control characters.
Command ParseCommand(const Topics& topics, std::string_view topic, std::string_view payload);
// Why a payload cannot be a command, or nullopt.
std::optional<std::string> PayloadRefusal(std::string_view payload);
std::string TooLarge(std::size_t size);

// --- Home Assistant discovery -------------------------------------------------

struct DeviceInfo {
    std::string mac;
    Kind kind = Kind::Rx;
    std::string address;
    std::string hostnameId;
    std::string version;  // firmware, when read
};
// The name a person knows a display or a box by: hostname ID, else address.
std::string DisplayName(const DeviceInfo& device);

Json SelectConfig(const Topics& topics, const DeviceInfo& rx, const std::vector<std::string>& options);
Json ConnectivityConfig(const Topics& topics, const DeviceInfo& device);
Json ButtonConfig(const Topics& topics, const std::string& scene, const std::string& serviceVersion);

}  // namespace cv::service::mqtt
