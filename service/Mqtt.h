#pragma once
// The installation on an MQTT broker: retained state, Home Assistant
// discovery, every event, and commands (a receiver's source, a scene's
// recall, identify). libmosquitto's network loop runs on a thread of its
// own, so a broker that is down or slow never holds the Qt event loop;
// what arrives is handed to the Qt thread, where the installation is.
#include "service/History.h"
#include "service/Installation.h"
#include "service/Roles.h"
#include "service/MqttTopics.h"

#include <QObject>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

struct mosquitto;
struct mosquitto_message;
namespace CLI {
class App;
}

namespace cv::service {

struct MqttOptions {
    std::string url;  // empty: no MQTT
    std::string user;
    std::string passwordFile;
    std::string ca;
    std::string site;  // empty: from the host name
    std::string role = "operator";  // what commands from the broker may do
};
void AddMqttOptions(CLI::App& app, MqttOptions& options);

class MqttBridge : public QObject {
public:
    // Checks the options and reads the password; nothing connects yet.
    static Result<std::unique_ptr<MqttBridge>> Create(Installation& installation, const MqttOptions& options);
    ~MqttBridge() override;
    // Connects in the background and keeps connecting, with backoff.
    void Start();
    // Where commands from the broker are recorded, as actor "mqtt"; may be null.
    void SetHistory(History* history) { history_ = history; }

private:
    MqttBridge(Installation& installation, mqtt::BrokerUrl broker, const MqttOptions& options, std::string password);

    // The network thread.
    void Loop();
    void Wait(std::chrono::milliseconds delay);
    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnDisconnect(mosquitto*, void* self, int rc);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);

    // The Qt thread.
    void Connected();
    void Disconnected(const std::string& why);
    void Message(const std::string& topic, const std::string& payload, std::size_t size);
    void Event(const LoggedEvent& event);
    void Flush();
    void Schedule();
    void PublishAll();
    void RefreshDevice(const std::string& mac);
    void RefreshScenes();
    void Put(const std::string& topic, const std::string& payload, bool force = false);
    void Clear(const std::string& topic);
    void Send(const std::string& topic, const std::string& payload, bool retain);
    void Refused(const std::string& operation, const std::string& endpoint, const Outcome& outcome);
    void Log(const std::string& line);
    std::vector<mqtt::Source> Sources() const;

    Installation& installation_;
    History* history_ = nullptr;
    Role role_ = Role::Operator;
    mqtt::BrokerUrl broker_;
    MqttOptions options_;
    std::string password_;
    mqtt::Topics topics_;
    mosquitto* mosq_ = nullptr;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> sessionUp_{false};  // a CONNACK that accepted us, seen by the thread

    // Qt thread only.
    bool connected_ = false;
    int subscription_ = 0;
    std::map<std::string, std::string> retained_;  // what the broker holds from us, by topic
    std::map<std::string, std::vector<std::string>> deviceTopics_;  // mac -> its retained topics
    std::set<std::string> scenes_;  // scenes with a button
    std::vector<mqtt::Source> sources_;
    std::set<std::string> dirty_;  // macs
    bool sourcesDirty_ = true;
    bool scenesDirty_ = true;
    bool conflictsDirty_ = true;
    QTimer flush_;
    std::string lastProblem_;
};

}  // namespace cv::service
