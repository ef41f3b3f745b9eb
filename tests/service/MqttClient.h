#pragma once
// Debian's mosquitto broker on a loopback port of its own, and a client
// that listens as Home Assistant does: every retained configuration and
// state, the last payload of each topic, through libmosquitto.
#include "tests/service/ServiceClient.h"

#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>

#include <mosquitto.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace cv::service_test {

class Broker {
public:
    explicit Broker(const std::string& dir) : dir_(dir)
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        port_ = probe.serverPort();
        probe.close();
        std::filesystem::create_directories(dir_);
        std::ofstream(dir_ + "/mosquitto.conf") << "listener " << port_ << " 127.0.0.1\n"
                                                << "allow_anonymous true\npersistence false\nset_tcp_nodelay true\n";
        Start();
    }
    ~Broker() { Stop(); }
    bool Start()
    {
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // Debian puts the broker in /usr/sbin, which a user's PATH may lack.
        const QString program = std::filesystem::exists("/usr/sbin/mosquitto") ? "/usr/sbin/mosquitto" : "mosquitto";
        process_.start(program, {"-c", QString::fromStdString(dir_ + "/mosquitto.conf")});
        return WaitFor([&] {
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, port_);
            return s.waitForConnected(200);
        });
    }
    void Stop()
    {
        process_.terminate();
        if (!process_.waitForFinished(10000))
            process_.kill();
    }
    int port() const { return port_; }
    std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }

private:
    std::string dir_;
    int port_ = 0;
    QProcess process_;
};

struct Message {
    std::string topic;
    std::string payload;
    bool retained = false;
};

class MqttClient {
public:
    MqttClient(int port, std::vector<std::string> subscriptions) : subscriptions_(std::move(subscriptions))
    {
        mosquitto_lib_init();
        mosq_ = mosquitto_new(nullptr, true, this);
        mosquitto_connect_callback_set(mosq_, [](mosquitto* m, void* self, int rc) {
            if (rc == 0)
                for (const auto& s : static_cast<MqttClient*>(self)->subscriptions_)
                    mosquitto_subscribe(m, nullptr, s.c_str(), 1);
        });
        mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
            auto* c = static_cast<MqttClient*>(self);
            std::lock_guard lock(c->mutex_);
            Message msg{m->topic, std::string(static_cast<const char*>(m->payload), m->payloadlen), m->retain};
            c->last_[msg.topic] = msg.payload;
            c->all_.push_back(std::move(msg));
        });
        mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
        mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
        mosquitto_connect_async(mosq_, "127.0.0.1", port, 10);
        mosquitto_loop_start(mosq_);
    }
    ~MqttClient()
    {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, true);
        mosquitto_destroy(mosq_);
    }
    void Publish(const std::string& topic, const std::string& payload, bool retain = false)
    {
        mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, retain);
    }
    // The last payload on a topic; nullopt when none came.
    std::optional<std::string> Last(const std::string& topic)
    {
        std::lock_guard lock(mutex_);
        const auto it = last_.find(topic);
        return it == last_.end() ? std::nullopt : std::optional<std::string>(it->second);
    }
    bool WaitLast(const std::string& topic, const std::string& payload, int ms = kNever)
    {
        return WaitFor([&] { return Last(topic) == payload; }, ms);
    }
    // Every topic with a payload now, under a prefix.
    std::map<std::string, std::string> Under(const std::string& prefix)
    {
        std::lock_guard lock(mutex_);
        std::map<std::string, std::string> out;
        for (const auto& [t, p] : last_)
            if (t.rfind(prefix, 0) == 0 && !p.empty())
                out[t] = p;
        return out;
    }
    std::vector<Message> All()
    {
        std::lock_guard lock(mutex_);
        return all_;
    }
    void Forget(const std::string& topic)
    {
        std::lock_guard lock(mutex_);
        last_.erase(topic);
    }

private:
    std::vector<std::string> subscriptions_;
    mosquitto* mosq_ = nullptr;
    std::mutex mutex_;
    std::map<std::string, std::string> last_;
    std::vector<Message> all_;
};

}  // namespace cv::service_test
