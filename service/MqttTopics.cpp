#include "service/MqttTopics.h"

#include "service/Scenes.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace cv::service::mqtt {

namespace {

bool IsSiteChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_'; }

std::string LowerAscii(std::string text)
{
    for (auto& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string HexOf(const std::string& text)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

constexpr std::string_view kSet = "/set";

}  // namespace

Result<BrokerUrl> ParseBrokerUrl(const std::string& url)
{
    BrokerUrl b;
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        b.tls = true;
        b.port = 8883;
        rest = url.substr(8);
    } else {
        return Failure("--mqtt " + url + ": not mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
    }
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    std::string port;
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        if (close == std::string::npos)
            return Failure("--mqtt " + url + ": an IPv6 address without its ']'");
        b.host = rest.substr(1, close - 1);
        const std::string after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':')
                return Failure("--mqtt " + url + ": text after the address");
            port = after.substr(1);
            if (port.empty())
                return Failure("--mqtt " + url + ": an empty port");
        }
        if (b.host.empty() || b.host.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos)
            return Failure("--mqtt " + url + ": not an IPv6 address");
    } else {
        const auto colon = rest.find(':');
        b.host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            port = rest.substr(colon + 1);
            if (port.empty())
                return Failure("--mqtt " + url + ": an empty port");
        }
        if (b.host.empty() || b.host.size() > 253 ||
            b.host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-.") !=
                std::string::npos)
            return Failure("--mqtt " + url + ": not a host name or address (no user, password or path here)");
    }
    if (!port.empty()) {
        if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
            return Failure("--mqtt " + url + ": the port is not a number");
        const int n = std::stoi(port);
        if (n < 1 || n > 65535)
            return Failure("--mqtt " + url + ": the port is not 1 to 65535");
        b.port = n;
    }
    return b;
}

bool IsSiteName(const std::string& site)
{
    return !site.empty() && site.size() <= 64 && std::all_of(site.begin(), site.end(), IsSiteChar);
}

std::string SiteFromHostName(const std::string& host)
{
    std::string site = host.substr(0, host.find('.'));
    for (auto& c : site)
        if (!IsSiteChar(c))
            c = '-';
    if (site.size() > 64)
        site.resize(64);
    return site.empty() ? "cortavia" : site;
}

std::string DeviceId(const std::string& mac)
{
    std::string id;
    for (char c : mac)
        if (c != ':')
            id += c;
    return id;
}

std::optional<std::string> MacOfId(std::string_view id)
{
    if (id.size() != 12 || id.find_first_not_of("0123456789abcdef") != std::string_view::npos)
        return std::nullopt;
    std::string mac;
    for (std::size_t i = 0; i < 12; i += 2) {
        if (i)
            mac += ':';
        mac += id.substr(i, 2);
    }
    return mac;
}

// --- topics -------------------------------------------------------------------

Topics::Topics(std::string site, std::string discoveryPrefix)
    : site_(std::move(site)),
      base_("cortavia/" + site_),
      discovery_(std::move(discoveryPrefix))
{ }

std::string Topics::Availability() const { return base_ + "/availability"; }
std::string Topics::Events() const { return base_ + "/events"; }
std::string Topics::Conflicts() const { return base_ + "/conflicts"; }
std::string Topics::Rx(const std::string& mac, std::string_view leaf) const
{
    return base_ + "/rx/" + DeviceId(mac) + "/" + std::string(leaf);
}
std::string Topics::Tx(const std::string& mac, std::string_view leaf) const
{
    return base_ + "/tx/" + DeviceId(mac) + "/" + std::string(leaf);
}
std::string Topics::SceneRecall(const std::string& scene) const { return base_ + "/scene/" + scene + "/recall"; }
std::string Topics::Identify() const { return base_ + "/identify/set"; }
std::vector<std::string> Topics::Subscriptions() const
{
    return {base_ + "/rx/+/set", base_ + "/rx/+/identify/set", base_ + "/scene/+/recall", Identify(),
            DiscoveryStatus()};
}
std::string Topics::DiscoveryStatus() const { return discovery_ + "/status"; }
std::string Topics::Discovery(std::string_view component, const std::string& object) const
{
    return discovery_ + "/" + std::string(component) + "/" + object + "/config";
}
std::string Topics::ReceiverObject(const std::string& mac) const { return "cortavia_" + site_ + "_" + DeviceId(mac); }
std::string Topics::OnlineObject(const std::string& mac) const
{
    return "cortavia_" + site_ + "_" + DeviceId(mac) + "_online";
}
// Scene names may hold spaces and dots, object ids may not: hex keeps
// every name its own id.
std::string Topics::SceneObject(const std::string& scene) const
{
    return "cortavia_" + site_ + "_scene_" + HexOf(scene);
}

// --- sources ------------------------------------------------------------------

std::vector<Source> NameSources(const std::vector<SourceInput>& transmitters)
{
    std::vector<Source> out;
    std::map<std::string, int> uses;  // lower-case name -> sources that want it
    for (const auto& t : transmitters) {
        Source s{t.mac, t.address, !t.label.empty() ? t.label : !t.hostnameId.empty() ? t.hostnameId : t.address};
        ++uses[LowerAscii(s.name)];
        out.push_back(std::move(s));
    }
    for (auto& s : out)
        if (uses[LowerAscii(s.name)] > 1 || LowerAscii(s.name) == kNone || LowerAscii(s.name) == kConflict)
            s.name += " (" + s.mac + ")";
    std::sort(out.begin(), out.end(),
              [](const Source& a, const Source& b) { return a.name != b.name ? a.name < b.name : a.mac < b.mac; });
    return out;
}

std::vector<std::string> Options(const std::vector<Source>& sources)
{
    std::vector<std::string> options;
    for (const auto& s : sources)
        options.push_back(s.name);
    options.emplace_back(kNone);
    return options;
}

Result<std::optional<std::string>> ResolveSource(const std::vector<Source>& sources, const std::string& payload)
{
    if (payload == kNone)
        return std::optional<std::string>{};
    for (const auto& s : sources)
        if (s.name == payload)
            return std::optional<std::string>{s.mac};
    if (const auto mac = NormalMac(payload)) {
        for (const auto& s : sources)
            if (s.mac == *mac)
                return std::optional<std::string>{s.mac};
        return Failure("no transmitter with MAC " + *mac);
    }
    for (const auto& s : sources)
        if (s.address == payload)
            return std::optional<std::string>{s.mac};
    return Failure("no source named \"" + payload + "\"");
}

std::string SourceName(const std::vector<Source>& sources, const std::optional<std::string>& txMac,
                       std::size_t transmittersOnChannel)
{
    if (transmittersOnChannel > 1)
        return std::string(kConflict);
    if (!txMac)
        return std::string(kNone);
    for (const auto& s : sources)
        if (s.mac == *txMac)
            return s.name;
    return *txMac;
}

// --- commands -----------------------------------------------------------------

std::string TooLarge(std::size_t size)
{
    return std::to_string(size) + " bytes, more than the " + std::to_string(kMaxPayload) + " a command may have";
}

std::optional<std::string> PayloadRefusal(std::string_view payload)
{
    if (payload.size() > kMaxPayload)
        return TooLarge(payload.size());
    for (unsigned char c : payload)
        if (c < 0x20 || c == 0x7f)
            return std::string("a control character in it");
    // nlohmann checks UTF-8 as it writes a string out.
    try {
        (void)Json(std::string(payload)).dump();
    } catch (const Json::exception&) {
        return std::string("not UTF-8");
    }
    return std::nullopt;
}

Command ParseCommand(const Topics& topics, std::string_view topic, std::string_view payload)
{
    const std::string base = "cortavia/" + topics.site() + "/";
    if (topic.substr(0, base.size()) != base)
        return NotOurs{};
    const std::string_view rest = topic.substr(base.size());
    const auto refusal = PayloadRefusal(payload);
    const std::string text(refusal ? std::string_view{} : payload);
    const auto onOff = [&](std::optional<std::string> rx) -> Command {
        const std::string word = LowerAscii(text);
        if (word != "on" && word != "off")
            return Invalid{"\"" + text + "\" is neither on nor off"};
        return IdentifyCommand{word == "on", std::move(rx)};
    };

    if (rest.substr(0, 3) == "rx/") {
        const std::string_view id = rest.substr(3, 12);
        const std::string_view leaf = rest.size() >= 15 ? rest.substr(15) : std::string_view{};
        if (leaf != kSet && leaf != "/identify/set")
            return NotOurs{};
        const auto mac = MacOfId(id);
        if (!mac)
            return Invalid{"\"" + std::string(id) + "\" is not a receiver's id"};
        if (refusal)
            return Invalid{*refusal};
        if (leaf == kSet)
            return SetSource{*mac, text};
        return onOff(mac);
    }
    if (rest.substr(0, 6) == "scene/" && rest.size() > 13 && rest.substr(rest.size() - 7) == "/recall") {
        const std::string name(rest.substr(6, rest.size() - 13));
        if (!IsSceneName(name))
            return Invalid{"not a scene name"};
        if (refusal)
            return Invalid{*refusal};
        return RecallScene{name};
    }
    if (rest == "identify/set") {
        if (refusal)
            return Invalid{*refusal};
        return onOff(std::nullopt);
    }
    return NotOurs{};
}

// --- discovery ----------------------------------------------------------------

std::string DisplayName(const DeviceInfo& d) { return d.hostnameId.empty() ? d.address : d.hostnameId; }

namespace {

Json DeviceBlock(const DeviceInfo& d)
{
    Json block{{"identifiers", Json::array({"cortavia_" + DeviceId(d.mac)})},
               {"connections", Json::array({Json::array({"mac", d.mac})})},
               {"name", DisplayName(d)},
               {"model", d.kind == Kind::Rx ? "HDMI-over-IP receiver" : "HDMI-over-IP transmitter"}};
    if (!d.version.empty())
        block["sw_version"] = d.version;
    return block;
}

}  // namespace

Json SelectConfig(const Topics& topics, const DeviceInfo& rx, const std::vector<std::string>& options)
{
    return {
        {"name", "Source"},
        {"unique_id", topics.ReceiverObject(rx.mac) + "_source"},
        {"object_id", topics.ReceiverObject(rx.mac) + "_source"},
        {"icon", "mdi:video-input-hdmi"},
        {"state_topic", topics.Rx(rx.mac, "source")},
        {"command_topic", topics.Rx(rx.mac, "set")},
        {"options", options},
        // The display can be switched when the service and the receiver are both there.
        {"availability", Json::array({{{"topic", topics.Availability()}}, {{"topic", topics.Rx(rx.mac, "online")}}})},
        {"availability_mode", "all"},
        {"device", DeviceBlock(rx)}};
}

Json ConnectivityConfig(const Topics& topics, const DeviceInfo& d)
{
    const std::string state = d.kind == Kind::Rx ? topics.Rx(d.mac, "online") : topics.Tx(d.mac, "online");
    return {{"name", "Connected"},
            {"unique_id", topics.OnlineObject(d.mac)},
            {"object_id", topics.OnlineObject(d.mac)},
            {"device_class", "connectivity"},
            {"state_topic", state},
            {"payload_on", "online"},
            {"payload_off", "offline"},
            {"availability_topic", topics.Availability()},
            {"device", DeviceBlock(d)}};
}

Json ButtonConfig(const Topics& topics, const std::string& scene, const std::string& serviceVersion)
{
    return {{"name", scene},
            {"unique_id", topics.SceneObject(scene)},
            {"icon", "mdi:palette"},
            {"command_topic", topics.SceneRecall(scene)},
            {"payload_press", "PRESS"},
            {"availability_topic", topics.Availability()},
            {"device",
             {{"identifiers", Json::array({"cortavia_" + topics.site()})},
              {"name", "Cortavia " + topics.site()},
              {"model", "cortaviad"},
              {"sw_version", serviceVersion}}}};
}

}  // namespace cv::service::mqtt
