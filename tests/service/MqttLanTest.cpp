// cortaviad on an MQTT broker as Home Assistant meets it: Debian's
// mosquitto on a port of its own, the real service against endpoint-sim in
// the test LAN, and a client that reads the discovery configurations and
// publishes commands. Every switch is checked on the simulator's wire.
#include "SimProcess.h"
#include "tests/service/MqttClient.h"
#include "tests/service/ServiceClient.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <memory>
#include <string>

namespace {

using namespace cv::service_test;

// The service with its standard error kept, to see what it logged.
class LoggedDaemon {
public:
    explicit LoggedDaemon(QStringList args)
    {
        QObject::connect(&process_, &QProcess::readyReadStandardError, [this] {
            const QByteArray text = process_.readAllStandardError();
            std::cerr << text.toStdString();
            log_ += text.toStdString();
        });
        process_.start(CV_CORTAVIAD_PATH, args);
    }
    ~LoggedDaemon() { Stop(SIGTERM); }
    void Stop(int signal)
    {
        if (process_.state() == QProcess::NotRunning)
            return;
        ::kill(static_cast<pid_t>(process_.processId()), signal);
        if (!process_.waitForFinished(10000))
            process_.kill();
    }
    std::size_t Count(const std::string& text) const
    {
        std::size_t n = 0;
        for (auto at = log_.find(text); at != std::string::npos; at = log_.find(text, at + 1))
            ++n;
        return n;
    }

private:
    QProcess process_;
    std::string log_;
};

std::string Dir(const std::string& name)
{
    const auto dir = std::filesystem::temp_directory_path() / (name + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir.string();
}

std::string Id(const Json& device)
{
    std::string id = device["mac"].get<std::string>();
    std::erase(id, ':');
    return id;
}

// Two transmitters, four receivers, one broker, one service for the site "hall".
class Mqtt : public ::testing::Test {
protected:
    static inline std::unique_ptr<cv::sim::SimProcess> sim;
    static inline std::unique_ptr<Broker> broker;
    static inline std::unique_ptr<LoggedDaemon> daemon;
    static inline std::unique_ptr<MqttClient> ha;
    static inline std::string state, brokerDir;
    static inline Json devices;

    static void SetUpTestSuite()
    {
        ASSERT_FALSE(cv::sim::SimProcess::lanNamespace().empty()) << "run inside scripts/testlan.sh";
        sim = std::make_unique<cv::sim::SimProcess>(std::vector<std::string>{"--tx", "2", "--rx", "4"});
        ASSERT_TRUE(sim->start()) << sim->error();
        brokerDir = Dir("cv-mqtt-broker");
        broker = std::make_unique<Broker>(brokerDir);
        ha = std::make_unique<MqttClient>(broker->port(), std::vector<std::string>{"homeassistant/#", "cortavia/#"});
        state = Dir("cv-mqtt-state");
        daemon = std::make_unique<LoggedDaemon>(QStringList{"--state-dir", QString::fromStdString(state), "--poll", "1",
                                                            "--mqtt", QString::fromStdString(broker->url()), "--site",
                                                            "hall"});
        Client c;
        ASSERT_TRUE(WaitFor([&] {
            const Reply r = c.Get("/api/v1/health");
            return Ready(r) && r.body.value("devices", 0) == 6;
        })) << "the first poll never found the fleet";
        devices = c.Get("/api/v1/devices").body;
    }
    static void TearDownTestSuite()
    {
        ha.reset();
        daemon.reset();
        broker.reset();
        sim.reset();
        std::filesystem::remove_all(state);
        std::filesystem::remove_all(brokerDir);
    }

    static Json At(const std::string& address)
    {
        for (const auto& d : devices)
            if (d["address"] == address)
                return d;
        return nullptr;
    }
    static std::string Rx(const std::string& address, const std::string& leaf)
    {
        return "cortavia/hall/rx/" + Id(At(address)) + "/" + leaf;
    }
    static std::map<std::string, Json> Selects(const std::string& site)
    {
        std::map<std::string, Json> out;
        for (const auto& [topic, payload] : ha->Under("homeassistant/select/cortavia_" + site + "_"))
            out[topic] = Json::parse(payload);
        return out;
    }

    Client client;
};

TEST_F(Mqtt, EveryReceiverIsASelectOfEverySourceAndALabelRenamesItsOption)
{
    ASSERT_TRUE(ha->WaitLast("cortavia/hall/availability", "online"));
    const auto hasOptions = [&](const Json& options) {
        const auto selects = Selects("hall");
        if (selects.size() != 4)
            return false;
        for (const auto& [topic, config] : selects)
            if (config["options"] != options)
                return false;
        return true;
    };
    ASSERT_TRUE(WaitFor([&] {
        return hasOptions(Json::array({"tx-001", "tx-002", "none"}));
    })) << Selects("hall").size()
        << " selects";
    for (const auto& [topic, config] : Selects("hall")) {
        const std::string id = topic.substr(topic.find("hall_") + 5, 12);
        EXPECT_EQ(config["command_topic"], "cortavia/hall/rx/" + id + "/set");
        EXPECT_EQ(config["state_topic"], "cortavia/hall/rx/" + id + "/source");
        EXPECT_EQ(config["device"]["model"], "HDMI-over-IP receiver");
        EXPECT_FALSE(config["device"].value("sw_version", "").empty());
        // The source is the transmitter on the receiver's channel.
        std::string shows = "none";
        for (const auto& d : devices)
            if (Id(d) == id)
                for (const auto& tx : devices)
                    if (tx["kind"] == "tx" && tx["channel"] == d["channel"])
                        shows = tx["hostname_id"];
        EXPECT_EQ(ha->Last(config["state_topic"]).value_or(""), shows);
        EXPECT_EQ(ha->Last("cortavia/hall/rx/" + id + "/online"), "online");
    }
    EXPECT_EQ(ha->Under("homeassistant/binary_sensor/cortavia_hall_").size(), 6u);
    EXPECT_EQ(ha->Last("cortavia/hall/conflicts"), "[]");

    const std::string tx1 = At("198.18.1.1")["mac"];
    ASSERT_EQ(client.Call("PUT", "/api/v1/labels/" + tx1, R"({"label":"Blu-ray"})").status, 200);
    EXPECT_TRUE(WaitFor([&] { return hasOptions(Json::array({"Blu-ray", "tx-002", "none"})); }));
    EXPECT_TRUE(ha->WaitLast(Rx("198.18.2.1", "source"), "Blu-ray"));
    EXPECT_TRUE(ha->WaitLast("cortavia/hall/tx/" + Id(At("198.18.1.1")) + "/name", "Blu-ray"));
}

TEST_F(Mqtt, ACommandSwitchesTheReceiverOnTheWireAndItsStateFollowsOnceReadBack)
{
    ASSERT_TRUE(ha->WaitLast(Rx("198.18.2.1", "source"), "Blu-ray"));
    const std::string channel = At("198.18.1.2")["channel"];
    QElapsedTimer t;
    t.start();
    ha->Publish(Rx("198.18.2.1", "set"), "tx-002");
    ASSERT_TRUE(ha->WaitLast(Rx("198.18.2.1", "source"), "tx-002", 3000)) << "the state did not follow within 3 s";
    std::cerr << "command to state: " << t.elapsed() << " ms\n";
    const std::string wire = sim->wireBytes("198.18.2.1");
    EXPECT_NE(wire.find("e e_reconnect::" + channel + "\r\n"), std::string::npos);
    EXPECT_TRUE(ha->WaitLast(Rx("198.18.2.1", "channel"), channel));
    // The service's own events also reach the broker.
    bool route = false;
    for (const auto& m : ha->All())
        if (m.topic == "cortavia/hall/events" && m.payload.find("\"type\":\"route\"") != std::string::npos)
            route = !m.retained;
    EXPECT_TRUE(route);

    // By MAC, and "none" shows nothing.
    ha->Publish(Rx("198.18.2.1", "set"), At("198.18.1.1")["mac"]);
    EXPECT_TRUE(ha->WaitLast(Rx("198.18.2.1", "source"), "Blu-ray", 3000));
    ha->Publish(Rx("198.18.2.1", "set"), "none");
    EXPECT_TRUE(ha->WaitLast(Rx("198.18.2.1", "source"), "none", 3000));
}

TEST_F(Mqtt, ASceneIsAButtonThatRecallsItAndLeavesWhenTheSceneIsDeleted)
{
    ASSERT_EQ(client.Call("PUT", "/api/v1/routes/198.18.2.2", R"({"tx":"198.18.1.2"})").status, 200);
    ASSERT_EQ(client.Call("POST", "/api/v1/scenes/Evening%20news/capture").status, 200);
    std::string config;
    ASSERT_TRUE(WaitFor([&] {
        for (const auto& [topic, payload] : ha->Under("homeassistant/button/cortavia_hall_scene_"))
            if (Json::parse(payload)["name"] == "Evening news")
                config = topic;
        return !config.empty();
    }));
    const Json button = Json::parse(*ha->Last(config));
    ASSERT_EQ(client.Call("PUT", "/api/v1/routes/198.18.2.2", R"({"tx":"198.18.1.1"})").status, 200);
    ASSERT_TRUE(ha->WaitLast(Rx("198.18.2.2", "source"), "Blu-ray"));
    ha->Publish(button["command_topic"], button["payload_press"]);
    EXPECT_TRUE(ha->WaitLast(Rx("198.18.2.2", "source"), "tx-002", 3000));

    ASSERT_EQ(client.Call("DELETE", "/api/v1/scenes/Evening%20news").status, 200);
    EXPECT_TRUE(ha->WaitLast(config, ""));
}

TEST_F(Mqtt, AnInvalidPayloadSendsNothingAndIsLoggedOnceWithItsReason)
{
    const auto before = sim->wireBytes("198.18.2.3");
    ha->Publish(Rx("198.18.2.3", "set"), "Laserdisc");
    ha->Publish(Rx("198.18.2.3", "set"), std::string(1 << 20, 'a'));
    ha->Publish(Rx("198.18.2.3", "set"), "tx-002\xff");
    ha->Publish(Rx("198.18.2.3", "set"), "tx-002\r\nosd_on");
    ha->Publish("cortavia/hall/scene/No such scene/recall", "PRESS");
    // Commands are taken in order: once this one is answered, those were judged.
    ha->Publish(Rx("198.18.2.4", "set"), "tx-002");
    ASSERT_TRUE(ha->WaitLast(Rx("198.18.2.4", "source"), "tx-002", 3000));
    const std::string wire = sim->wireBytes("198.18.2.3").substr(before.size());
    for (const char* write : {"astparam s", "e e_reconnect", "osd_on"})
        EXPECT_EQ(wire.find(write), std::string::npos) << write;
    EXPECT_EQ(ha->Last(Rx("198.18.2.3", "source")), "Blu-ray");
    ASSERT_TRUE(WaitFor([&] { return daemon->Count("No such scene") > 0; }));
    EXPECT_EQ(daemon->Count("no source named \"Laserdisc\"; nothing sent"), 1u);
    EXPECT_EQ(daemon->Count("1048576 bytes, more than the 256 a command may have; nothing sent"), 1u);
    EXPECT_EQ(daemon->Count("not UTF-8; nothing sent"), 1u);
    EXPECT_EQ(daemon->Count("a control character in it; nothing sent"), 1u);
    // An unknown scene is a failed recall, told on the events topic.
    EXPECT_TRUE(WaitFor([&] {
        for (const auto& m : ha->All())
            if (m.topic == "cortavia/hall/events" && m.payload.find("\"type\":\"failed\"") != std::string::npos &&
                m.payload.find("No such scene") != std::string::npos)
                return true;
        return false;
    }));
}

TEST_F(Mqtt, AfterTheBrokerRestartsTheStateIsBackAndCommandsWorkAgain)
{
    broker->Stop();
    // With no broker the service routes as before.
    QElapsedTimer t;
    t.start();
    ASSERT_EQ(client.Call("PUT", "/api/v1/routes/198.18.2.1", R"({"tx":null})").status, 200);
    std::cerr << "a route with the broker down: " << t.elapsed() << " ms\n";
    ha->Forget("cortavia/hall/availability");
    ha->Forget(Rx("198.18.2.1", "source"));
    ASSERT_TRUE(broker->Start());
    // The broker kept nothing: all that is there now the service said again.
    ASSERT_TRUE(ha->WaitLast("cortavia/hall/availability", "online"));
    ASSERT_TRUE(ha->WaitLast(Rx("198.18.2.1", "source"), "none"));
    EXPECT_TRUE(WaitFor([&] { return Selects("hall").size() == 4; }));
    ha->Publish(Rx("198.18.2.1", "set"), "tx-002");
    EXPECT_TRUE(ha->WaitLast(Rx("198.18.2.1", "source"), "tx-002", 3000));
}

TEST_F(Mqtt, TwoSitesShareTheBrokerWithoutCollidingAndTheLastWillSaysOffline)
{
    const std::string lobbyState = Dir("cv-mqtt-lobby");
    auto lobby = std::make_unique<LoggedDaemon>(QStringList{
        "--state-dir", QString::fromStdString(lobbyState), "--poll", "1", "--http", "127.0.0.1:8480", "--control",
        "off", "--mqtt", QString::fromStdString(broker->url()), "--site", "lobby", "--mqtt-role", "viewer"});
    ASSERT_TRUE(ha->WaitLast("cortavia/lobby/availability", "online"));
    ASSERT_TRUE(WaitFor([&] { return Selects("lobby").size() == 4; }));
    // The same receivers, each a select of its own per site.
    EXPECT_EQ(Selects("hall").size(), 4u);
    EXPECT_EQ(ha->Last("cortavia/hall/availability"), "online");
    // The lobby's broker role is viewer: its commands are refused, logged,
    // and nothing reaches the receiver; the hall's go through.
    const auto before = sim->wireBytes("198.18.2.4");
    ha->Publish("cortavia/lobby/rx/" + Id(At("198.18.2.4")) + "/set", "tx-001");
    ASSERT_TRUE(WaitFor([&] { return lobby->Count("may not act; it needs operator") > 0; }));
    EXPECT_EQ(sim->wireBytes("198.18.2.4").substr(before.size()).find("e e_reconnect"), std::string::npos);
    ha->Publish(Rx("198.18.2.4", "set"), "tx-002");
    EXPECT_TRUE(ha->WaitLast(Rx("198.18.2.4", "source"), "tx-002", 3000));
    // The history names the broker as who asked.
    Client hall;
    EXPECT_TRUE(WaitFor([&] {
        const Reply h = hall.Get("/api/v1/history?actor=mqtt&limit=5");
        return h.status == 200 && h.text.find("\"action\":\"route\"") != std::string::npos;
    }));

    // Killed outright: the broker says it with the will.
    lobby->Stop(SIGKILL);
    EXPECT_TRUE(ha->WaitLast("cortavia/lobby/availability", "offline"));
    EXPECT_EQ(ha->Last("cortavia/hall/availability"), "online");
    lobby.reset();
    std::filesystem::remove_all(lobbyState);
}

TEST_F(Mqtt, AServiceThatStopsSaysOffline)
{
    daemon->Stop(SIGTERM);
    EXPECT_TRUE(ha->WaitLast("cortavia/hall/availability", "offline"));
}

}  // namespace
