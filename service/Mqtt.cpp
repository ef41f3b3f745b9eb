#include "service/Mqtt.h"

#include <CLI/CLI.hpp>
#include <QMetaObject>
#include <QPointer>
#include <QSysInfo>

#include <mosquitto.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

namespace cv::service {

namespace {

using namespace std::chrono_literals;
constexpr int kKeepAliveSeconds = 30;
constexpr auto kFirstBackoff = 1s;
constexpr auto kLongestBackoff = 30s;
// How long a stopping service gives the broker its "offline".
constexpr auto kDrain = 2s;

const char* RefusalName(Refusal r)
{
    switch (r) {
    case Refusal::None: return "none";
    case Refusal::BadInput: return "bad-input";
    case Refusal::NotFound: return "not-found";
    case Refusal::Conflict: return "conflict";
    case Refusal::EndpointFailed: return "endpoint";
    case Refusal::NotReady: return "not-ready";
    case Refusal::StateFailed: return "state";
    case Refusal::Superseded: return "superseded";
    }
    return "refused";
}

}  // namespace

void AddMqttOptions(CLI::App& app, MqttOptions& o)
{
    app.add_option("--mqtt", o.url,
                   "publish state and take commands on this MQTT broker: mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
    app.add_option("--mqtt-user", o.user, "the user name on the broker");
    app.add_option("--mqtt-password-file", o.passwordFile, "a file whose first line is the broker password");
    app.add_option("--mqtt-ca", o.ca, "check an mqtts:// broker with this PEM CA file (default: the system's CAs)");
    app.add_option("--site", o.site, "this venue's name in MQTT topics, cortavia/SITE/... (default: the host name)");
    app.add_option("--mqtt-role", o.role, "what commands from the broker may do: viewer (none), operator or admin")
        ->default_val("operator");
}

Result<std::unique_ptr<MqttBridge>> MqttBridge::Create(Installation& installation, const MqttOptions& options)
{
    auto broker = mqtt::ParseBrokerUrl(options.url);
    if (!broker)
        return Failure(broker.error());
    MqttOptions o = options;
    if (o.site.empty())
        o.site = mqtt::SiteFromHostName(QSysInfo::machineHostName().toStdString());
    if (!mqtt::IsSiteName(o.site))
        return Failure("--site " + o.site + ": letters, digits, '-' and '_', 1 to 64 characters");
    if (!o.ca.empty() && !broker->tls)
        return Failure("--mqtt-ca needs an mqtts:// broker");
    if (const auto role = ParseRole(o.role); !role || *role == Role::None)
        return Failure("--mqtt-role " + o.role + ": viewer, operator or admin");
    if (!o.ca.empty() && !std::ifstream(o.ca))
        return Failure("--mqtt-ca " + o.ca + ": " + std::strerror(errno));
    std::string password;
    if (!o.passwordFile.empty()) {
        if (o.user.empty())
            return Failure("--mqtt-password-file needs --mqtt-user");
        std::ifstream file(o.passwordFile);
        if (!file)
            return Failure("--mqtt-password-file " + o.passwordFile + ": " + std::strerror(errno));
        std::getline(file, password);
        if (!password.empty() && password.back() == '\r')
            password.pop_back();
    }
    return std::unique_ptr<MqttBridge>(new MqttBridge(installation, *broker, o, password));
}

MqttBridge::MqttBridge(Installation& installation, mqtt::BrokerUrl broker, const MqttOptions& options,
                       std::string password)
    : installation_(installation),
      broker_(std::move(broker)),
      options_(options),
      password_(std::move(password)),
      topics_(options.site)
{
    role_ = ParseRole(options.role).value_or(Role::Operator);
    static std::once_flag init;
    std::call_once(init, [] { mosquitto_lib_init(); });
    // One client id per site: two venues on one broker never take over each other's session.
    mosq_ = mosquitto_new(("cortaviad-" + topics_.site()).c_str(), true, this);
    // Publishes come from the Qt thread and only queue; this loop writes them.
    mosquitto_threaded_set(mosq_, true);
    // A command's answer is one small packet: Nagle would hold it for the broker's delayed ACK.
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    const std::string offline = "offline";
    mosquitto_will_set(mosq_, topics_.Availability().c_str(), static_cast<int>(offline.size()), offline.data(), 1,
                       true);
    if (!options_.user.empty())
        mosquitto_username_pw_set(mosq_, options_.user.c_str(),
                                  options_.passwordFile.empty() ? nullptr : password_.c_str());
    if (broker_.tls)
        mosquitto_tls_set(mosq_, options_.ca.empty() ? nullptr : options_.ca.c_str(),
                          options_.ca.empty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr, nullptr);
    mosquitto_connect_callback_set(mosq_, &MqttBridge::OnConnect);
    mosquitto_message_callback_set(mosq_, &MqttBridge::OnMessage);

    flush_.setSingleShot(true);
    flush_.setInterval(0);
    connect(&flush_, &QTimer::timeout, this, [this] { Flush(); });
    subscription_ = installation_.Subscribe([this](const LoggedEvent& e) { Event(e); });
}

MqttBridge::~MqttBridge()
{
    installation_.Unsubscribe(subscription_);
    if (connected_) {
        // Said ourselves, so a clean stop is not left to the will.
        Send(topics_.Availability(), "offline", true);
        mosquitto_disconnect(mosq_);
    }
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
    mosquitto_destroy(mosq_);
}

void MqttBridge::Start()
{
    Log("broker " + std::string(broker_.tls ? "mqtts://" : "mqtt://") + broker_.host + ":" +
        std::to_string(broker_.port) + ", topics cortavia/" + topics_.site() + "/");
    thread_ = std::thread([this] { Loop(); });
}

// --- the network thread -------------------------------------------------------

void MqttBridge::Loop()
{
    auto backoff = std::chrono::duration_cast<std::chrono::milliseconds>(kFirstBackoff);
    bool first = true;
    while (!stop_) {
        int rc = first ? mosquitto_connect_async(mosq_, broker_.host.c_str(), broker_.port, kKeepAliveSeconds)
                       : mosquitto_reconnect_async(mosq_);
        first = false;
        int err = errno;
        if (rc == MOSQ_ERR_SUCCESS) {
            std::optional<std::chrono::steady_clock::time_point> stopping;
            while ((rc = mosquitto_loop(mosq_, 200, 1)) == MOSQ_ERR_SUCCESS) {
                if (sessionUp_)
                    backoff = kFirstBackoff;
                if (stop_ && !stopping)
                    stopping = std::chrono::steady_clock::now();
                if (stopping && std::chrono::steady_clock::now() - *stopping > kDrain)
                    break;
            }
            err = errno;
        }
        sessionUp_ = false;
        if (stop_)
            break;
        std::string why = rc == MOSQ_ERR_ERRNO ? std::strerror(err) : mosquitto_strerror(rc);
        if (!why.empty() && why.back() == '.')
            why.pop_back();
        QMetaObject::invokeMethod(
            this,
            [this, why, backoff] {
                Disconnected(why + "; trying again in " + std::to_string(backoff.count() / 1000) + " s and on");
            },
            Qt::QueuedConnection);
        Wait(backoff);
        backoff = std::min<std::chrono::milliseconds>(backoff * 2, kLongestBackoff);
    }
}

void MqttBridge::Wait(std::chrono::milliseconds delay)
{
    std::unique_lock lock(mutex_);
    wake_.wait_for(lock, delay, [this] { return stop_.load(); });
}

void MqttBridge::OnConnect(mosquitto* m, void* self, int rc)
{
    auto* bridge = static_cast<MqttBridge*>(self);
    if (rc != 0)
        return;  // the loop sees the refusal and says why
    bridge->sessionUp_ = true;
    for (const auto& topic : bridge->topics_.Subscriptions())
        mosquitto_subscribe(m, nullptr, topic.c_str(), 1);
    QMetaObject::invokeMethod(
        bridge, [bridge] { bridge->Connected(); }, Qt::QueuedConnection);
}

void MqttBridge::OnMessage(mosquitto*, void* self, const mosquitto_message* message)
{
    auto* bridge = static_cast<MqttBridge*>(self);
    const std::size_t size = message->payloadlen > 0 ? static_cast<std::size_t>(message->payloadlen) : 0;
    std::string topic = message->topic ? message->topic : "";
    // A command someone left retained would run again at every connect.
    if (message->retain && topic != bridge->topics_.DiscoveryStatus()) {
        QMetaObject::invokeMethod(
            bridge, [bridge, topic] { bridge->Log(topic + ": a retained command, ignored; nothing sent"); },
            Qt::QueuedConnection);
        return;
    }
    // Refused by its size before it is copied.
    std::string payload =
        size <= mqtt::kMaxPayload ? std::string(static_cast<const char*>(message->payload), size) : std::string();
    QMetaObject::invokeMethod(
        bridge,
        [bridge, topic = std::move(topic), payload = std::move(payload), size] {
            bridge->Message(topic, payload, size);
        },
        Qt::QueuedConnection);
}

// --- the Qt thread: state -----------------------------------------------------

void MqttBridge::Log(const std::string& line) { std::cerr << "cortaviad: mqtt: " << line << std::endl; }

void MqttBridge::Connected()
{
    if (!sessionUp_)
        return;  // gone again before we got here; the loop is reconnecting
    connected_ = true;
    lastProblem_.clear();
    Log("connected");
    PublishAll();
}

void MqttBridge::Disconnected(const std::string& why)
{
    connected_ = false;
    if (why != lastProblem_)
        Log(why);
    lastProblem_ = why;
}

void MqttBridge::Send(const std::string& topic, const std::string& payload, bool retain)
{
    if (!connected_)
        return;
    // Only queues: the network thread writes it.
    mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), retain ? 1 : 0,
                      retain);
}

void MqttBridge::Put(const std::string& topic, const std::string& payload, bool force)
{
    auto [it, inserted] = retained_.try_emplace(topic, payload);
    if (!inserted && it->second == payload && !force)
        return;
    it->second = payload;
    Send(topic, payload, true);
}

void MqttBridge::Clear(const std::string& topic)
{
    if (retained_.erase(topic))
        Send(topic, "", true);  // an empty retained message removes it
}

void MqttBridge::PublishAll()
{
    // The broker may have restarted without its retained messages: say it all
    // again, and clear what no longer exists.
    const auto before = std::move(retained_);
    retained_.clear();
    Put(topics_.Availability(), "online");
    for (const auto& [mac, d] : installation_.model().devices())
        dirty_.insert(mac);
    for (const auto& [mac, topics] : deviceTopics_)
        dirty_.insert(mac);
    sourcesDirty_ = scenesDirty_ = conflictsDirty_ = true;
    scenes_.clear();
    Flush();
    for (const auto& [topic, payload] : before)
        if (!retained_.count(topic) && !payload.empty())
            Send(topic, "", true);
}

void MqttBridge::Event(const LoggedEvent& logged)
{
    if (!connected_)
        return;  // the whole state is published again on connect
    const auto& e = logged.event;
    Send(topics_.Events(), Json{{"id", logged.id}, {"type", e.type}, {"data", e.data}}.dump(), false);
    const auto field = [&](const char* key) {
        return e.data.is_object() && e.data.contains(key) && e.data[key].is_string() ? e.data[key].get<std::string>()
                                                                                     : std::string();
    };
    if (e.type == "online" || e.type == "offline" || e.type == "changed" || e.type == "forgotten") {
        const std::string mac = field("mac");
        dirty_.insert(mac);
        const Device* d = installation_.model().Find(mac);
        if (!d || d->kind == Kind::Tx)
            sourcesDirty_ = true;
    } else if (e.type == "route") {
        dirty_.insert(field("rx"));
    } else if (e.type == "conflict" || e.type == "conflict-cleared") {
        conflictsDirty_ = true;
    } else if (e.type == "label") {
        sourcesDirty_ = true;
    } else if (e.type == "scene-saved" || e.type == "scene-deleted") {
        scenesDirty_ = true;
    } else {
        return;
    }
    Schedule();
}

void MqttBridge::Schedule()
{
    if (!flush_.isActive())
        flush_.start();
}

std::vector<mqtt::Source> MqttBridge::Sources() const
{
    std::map<std::string, std::string> labels;
    if (auto all = installation_.labels().All())
        labels = std::move(*all);
    std::vector<mqtt::SourceInput> in;
    for (const auto& [mac, d] : installation_.model().devices())
        if (d.kind == Kind::Tx) {
            const auto label = labels.find(mac);
            in.push_back({mac, d.address, d.hostnameId, label == labels.end() ? std::string() : label->second});
        }
    return mqtt::NameSources(in);
}

void MqttBridge::Flush()
{
    if (!connected_)
        return;
    if (sourcesDirty_) {
        sourcesDirty_ = false;
        auto sources = Sources();
        if (sources != sources_) {
            // Every select's options and every name shown may have changed.
            sources_ = std::move(sources);
            for (const auto& [mac, d] : installation_.model().devices())
                dirty_.insert(mac);
        }
    }
    const auto dirty = std::move(dirty_);
    dirty_.clear();
    for (const auto& mac : dirty)
        RefreshDevice(mac);
    if (scenesDirty_)
        RefreshScenes();
    if (conflictsDirty_) {
        conflictsDirty_ = false;
        Json list = Json::array();
        for (const auto& c : installation_.model().Conflicts())
            list.push_back(ToJson(c));
        Put(topics_.Conflicts(), list.dump());
    }
}

void MqttBridge::RefreshDevice(const std::string& mac)
{
    const auto known = installation_.model().devices().find(mac);
    auto& mine = deviceTopics_[mac];
    if (known == installation_.model().devices().end()) {
        // Forgotten: its entities leave Home Assistant and its state the broker.
        for (const auto& topic : mine)
            Clear(topic);
        deviceTopics_.erase(mac);
        return;
    }
    const Device& d = known->second;
    const mqtt::DeviceInfo info{d.mac, d.kind, d.address, d.hostnameId, d.version};
    std::vector<std::pair<std::string, std::string>> state;
    const std::string online = d.online ? "online" : "offline";
    if (d.kind == Kind::Rx) {
        const auto route = installation_.model().RouteOf(mac);
        const auto on = installation_.model().TransmittersOn(d.channel).size();
        state = {{topics_.Rx(mac, "source"), mqtt::SourceName(sources_, route ? route->tx : std::nullopt, on)},
                 {topics_.Rx(mac, "online"), online},
                 {topics_.Rx(mac, "hostname_id"), d.hostnameId},
                 {topics_.Rx(mac, "channel"), d.channel},
                 {topics_.Discovery("select", topics_.ReceiverObject(mac)),
                  mqtt::SelectConfig(topics_, info, mqtt::Options(sources_)).dump()}};
    } else {
        std::string name = mqtt::DisplayName(info);
        for (const auto& s : sources_)
            if (s.mac == mac)
                name = s.name;
        state = {{topics_.Tx(mac, "name"), name}, {topics_.Tx(mac, "online"), online}};
    }
    state.emplace_back(topics_.Discovery("binary_sensor", topics_.OnlineObject(mac)),
                       mqtt::ConnectivityConfig(topics_, info).dump());
    std::vector<std::string> now;
    for (const auto& [topic, payload] : state) {
        Put(topic, payload);
        now.push_back(topic);
    }
    // A device that came back as the other kind leaves its old topics.
    for (const auto& topic : mine)
        if (std::find(now.begin(), now.end(), topic) == now.end())
            Clear(topic);
    mine = std::move(now);
}

void MqttBridge::RefreshScenes()
{
    const auto names = installation_.scenes().Names();
    if (!names)
        return;  // unreadable now: keep the buttons; /health names the problem
    scenesDirty_ = false;
    std::set<std::string> now(names->begin(), names->end());
    for (const auto& name : now)
        Put(topics_.Discovery("button", topics_.SceneObject(name)),
            mqtt::ButtonConfig(topics_, name, CORTAVIA_VERSION).dump());
    for (const auto& gone : scenes_)
        if (!now.count(gone))
            Clear(topics_.Discovery("button", topics_.SceneObject(gone)));
    scenes_ = std::move(now);
}

// --- the Qt thread: commands --------------------------------------------------

void MqttBridge::Refused(const std::string& operation, const std::string& endpoint, const Outcome& outcome)
{
    const std::string step = outcome.step.empty() ? RefusalName(outcome.refusal) : outcome.step;
    Log(operation + " " + endpoint + " failed at " + step + ": " + outcome.detail);
    Send(topics_.Events(),
         Json{{"id", nullptr},
              {"type", "failed"},
              {"data", {{"operation", operation}, {"endpoint", endpoint}, {"step", step}, {"detail", outcome.detail}}}}
             .dump(),
         false);
}

void MqttBridge::Message(const std::string& topic, const std::string& payload, std::size_t size)
{
    if (topic == topics_.DiscoveryStatus()) {
        // Home Assistant restarted: it wants the configurations again.
        if (payload == "online" && connected_)
            PublishAll();
        return;
    }
    const auto command = mqtt::ParseCommand(topics_, topic, size > mqtt::kMaxPayload ? std::string_view() : payload);
    if (std::holds_alternative<mqtt::NotOurs>(command))
        return;
    const auto invalid = [&](const std::string& reason) { Log(topic + ": " + reason + "; nothing sent"); };
    if (size > mqtt::kMaxPayload)
        return invalid(mqtt::TooLarge(size));
    if (const auto* bad = std::get_if<mqtt::Invalid>(&command))
        return invalid(bad->reason);
    // Routes, recalls and numbers on screen are an operator's.
    if (!Allows(role_, Role::Operator))
        return invalid("--mqtt-role " + std::string(ToString(role_)) + " may not act; it needs operator");
    QPointer<MqttBridge> self(this);

    if (const auto* set = std::get_if<mqtt::SetSource>(&command)) {
        const Device* rx = installation_.model().Find(set->rx);
        if (!rx || rx->kind != Kind::Rx)
            return invalid("no receiver " + set->rx);
        const auto tx = mqtt::ResolveSource(sources_.empty() ? Sources() : sources_, set->payload);
        if (!tx)
            return invalid(tx.error());
        const std::string mac = rx->mac;
        installation_.RouteOne({mac, *tx}, [self, mac](RouteResult r) {
            if (!self)
                return;
            RecordResults(self->history_, "mqtt", "route", {r});
            if (!r.outcome.ok() && r.outcome.refusal != Refusal::EndpointFailed)
                self->Refused("route", mac, r.outcome);
            // The answer is the state as read back, changed or not: a
            // client that showed its choice early sees the truth again.
            self->RefreshDevice(mac);
            if (const auto it = self->retained_.find(self->topics_.Rx(mac, "source")); it != self->retained_.end())
                self->Put(it->first, it->second, true);
        });
        return;
    }
    if (const auto* recall = std::get_if<mqtt::RecallScene>(&command)) {
        const std::string name = recall->name;
        installation_.Recall(name, [self, name](Outcome whole, std::vector<RouteResult> results) {
            if (!self)
                return;
            RecordResults(self->history_, "mqtt", "recall", results, {{"scene", name}});
            if (results.empty() && !whole.ok())
                self->Refused("recall", name, whole);
            for (const auto& r : results)
                if (!r.outcome.ok() && r.outcome.refusal != Refusal::EndpointFailed)
                    self->Refused("recall", r.rx, r.outcome);
        });
        return;
    }
    if (const auto* identify = std::get_if<mqtt::IdentifyCommand>(&command)) {
        std::vector<std::string> rx;
        if (identify->rx) {
            const Device* d = installation_.model().Find(*identify->rx);
            if (!d || d->kind != Kind::Rx)
                return invalid("no receiver " + *identify->rx);
            rx.push_back(d->mac);
        }
        const std::string operation = identify->on ? "osd on" : "osd off";
        const bool on = identify->on;
        installation_.Identify(identify->on, rx,
                               [self, operation, on](Outcome whole, std::vector<RouteResult> results) {
                                   if (!self)
                                       return;
                                   RecordResults(self->history_, "mqtt", "identify", results, {{"on", on}});
                                   if (results.empty() && !whole.ok())
                                       self->Refused(operation, "", whole);
                                   for (const auto& r : results)
                                       if (!r.outcome.ok() && r.outcome.refusal != Refusal::EndpointFailed)
                                           self->Refused(operation, r.rx, r.outcome);
                               });
    }
}

}  // namespace cv::service
