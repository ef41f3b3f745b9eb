// What cortaviad says on a broker and what it takes from one, without a
// broker: URLs, topics, the names of sources, commands, and the discovery
// configurations Home Assistant reads.
#include "service/MqttTopics.h"

#include <gtest/gtest.h>

namespace cv::service::mqtt {
namespace {

TEST(MqttBrokerUrl, TakesPlainAndTlsBrokersWithTheirDefaultPortsAndRefusesAnythingElse)
{
    auto plain = ParseBrokerUrl("mqtt://broker.example:1884");
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->tls);
    EXPECT_EQ(plain->host, "broker.example");
    EXPECT_EQ(plain->port, 1884);
    auto tls = ParseBrokerUrl("mqtts://10.0.0.5");
    ASSERT_TRUE(tls);
    EXPECT_TRUE(tls->tls);
    EXPECT_EQ(tls->port, 8883);
    EXPECT_EQ(ParseBrokerUrl("mqtt://broker")->port, 1883);
    auto v6 = ParseBrokerUrl("mqtt://[::1]:2000");
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->host, "::1");
    EXPECT_EQ(v6->port, 2000);
    for (const char* bad :
         {"http://broker", "mqtt://", "mqtt://user:pw@broker", "mqtt://broker:0", "mqtt://broker:65536",
          "mqtt://broker:", "mqtt://broker/topic", "mqtt://[::1", "mqtt://[::1]x", "broker:1883"})
        EXPECT_FALSE(ParseBrokerUrl(bad)) << bad;
}

TEST(MqttTopics, ASiteIsOneTopicLevelAndTwoSitesShareNoTopicOrObjectId)
{
    EXPECT_TRUE(IsSiteName("hall-A_2"));
    for (const char* bad : {"", "a/b", "a+", "#", "a b", "caf\xc3\xa9"})
        EXPECT_FALSE(IsSiteName(bad)) << bad;
    EXPECT_FALSE(IsSiteName(std::string(65, 'a')));
    EXPECT_EQ(SiteFromHostName("av-rack.example.org"), "av-rack");
    EXPECT_EQ(SiteFromHostName(""), "cortavia");
    EXPECT_TRUE(IsSiteName(SiteFromHostName("we!rd host")));

    const Topics a("hall"), b("lobby");
    const std::string mac = "02:00:c6:12:02:01";
    EXPECT_EQ(a.Rx(mac, "source"), "cortavia/hall/rx/0200c6120201/source");
    EXPECT_EQ(a.Tx(mac, "name"), "cortavia/hall/tx/0200c6120201/name");
    EXPECT_EQ(a.Discovery("select", a.ReceiverObject(mac)), "homeassistant/select/cortavia_hall_0200c6120201/config");
    EXPECT_NE(a.ReceiverObject(mac), b.ReceiverObject(mac));
    EXPECT_NE(a.SceneObject("News"), b.SceneObject("News"));
    EXPECT_NE(a.Availability(), b.Availability());
    // Scene names with spaces and dots still give distinct, valid object ids.
    EXPECT_NE(a.SceneObject("a b"), a.SceneObject("a_b"));
    EXPECT_EQ(a.SceneObject("a b").find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_"), std::string::npos);
    EXPECT_EQ(MacOfId(DeviceId(mac)), mac);
    EXPECT_FALSE(MacOfId("0200c612020"));
    EXPECT_FALSE(MacOfId("0200C6120201"));
}

std::vector<Source> Venue()
{
    return NameSources({{"00:00:00:00:01:01", "198.18.1.1", "tx-1", "Blu-ray"},
                        {"00:00:00:00:01:02", "198.18.1.2", "tx-2", ""},
                        {"00:00:00:00:01:03", "198.18.1.3", "", ""},
                        {"00:00:00:00:01:04", "198.18.1.4", "cam", ""},
                        {"00:00:00:00:01:05", "198.18.1.5", "Cam", ""},
                        {"00:00:00:00:01:06", "198.18.1.6", "none", ""}});
}

TEST(MqttSources, AreNamedAsThePageNamesThemAndEveryOptionPicksOneSource)
{
    const auto sources = Venue();
    const auto options = Options(sources);
    ASSERT_EQ(options.size(), 7u);
    EXPECT_EQ(options.back(), "none");
    std::set<std::string> unique(options.begin(), options.end());
    EXPECT_EQ(unique.size(), options.size());
    EXPECT_TRUE(unique.count("Blu-ray"));
    EXPECT_TRUE(unique.count("tx-2"));
    EXPECT_TRUE(unique.count("198.18.1.3"));
    // Names that differ only in case, or that say "none", carry their MAC.
    EXPECT_TRUE(unique.count("cam (00:00:00:00:01:04)"));
    EXPECT_TRUE(unique.count("Cam (00:00:00:00:01:05)"));
    EXPECT_TRUE(unique.count("none (00:00:00:00:01:06)"));
}

TEST(MqttSources, APayloadNamesASourceByNameMacOrAddressOrNoneAndAnythingElseIsRefused)
{
    const auto sources = Venue();
    EXPECT_EQ(ResolveSource(sources, "Blu-ray").value(), "00:00:00:00:01:01");
    EXPECT_EQ(ResolveSource(sources, "00-00-00-00-01-02").value(), "00:00:00:00:01:02");
    EXPECT_EQ(ResolveSource(sources, "198.18.1.3").value(), "00:00:00:00:01:03");
    EXPECT_EQ(ResolveSource(sources, "none").value(), std::nullopt);
    EXPECT_EQ(ResolveSource(sources, "none (00:00:00:00:01:06)").value(), "00:00:00:00:01:06");
    for (const char* unknown : {"tx-1", "blu-ray", "00:00:00:00:09:09", "198.18.9.9", "", "None"})
        EXPECT_FALSE(ResolveSource(sources, unknown)) << unknown;
    EXPECT_NE(ResolveSource(sources, "Laptop").error().find("Laptop"), std::string::npos);

    EXPECT_EQ(SourceName(sources, "00:00:00:00:01:01", 1), "Blu-ray");
    EXPECT_EQ(SourceName(sources, std::nullopt, 0), "none");
    EXPECT_EQ(SourceName(sources, std::nullopt, 2), "conflict");
}

TEST(MqttCommands, AreReadFromTheirTopicAndOnlyAShortUtf8PayloadIsACommand)
{
    const Topics t("hall");
    const auto set = ParseCommand(t, "cortavia/hall/rx/0200c6120201/set", "Blu-ray");
    ASSERT_TRUE(std::holds_alternative<SetSource>(set));
    EXPECT_EQ(std::get<SetSource>(set).rx, "02:00:c6:12:02:01");
    EXPECT_EQ(std::get<SetSource>(set).payload, "Blu-ray");

    const auto recall = ParseCommand(t, "cortavia/hall/scene/Evening news/recall", "PRESS");
    ASSERT_TRUE(std::holds_alternative<RecallScene>(recall));
    EXPECT_EQ(std::get<RecallScene>(recall).name, "Evening news");

    const auto all = ParseCommand(t, "cortavia/hall/identify/set", "ON");
    ASSERT_TRUE(std::holds_alternative<IdentifyCommand>(all));
    EXPECT_TRUE(std::get<IdentifyCommand>(all).on);
    EXPECT_FALSE(std::get<IdentifyCommand>(all).rx);
    const auto one = ParseCommand(t, "cortavia/hall/rx/0200c6120201/identify/set", "off");
    ASSERT_TRUE(std::holds_alternative<IdentifyCommand>(one));
    EXPECT_FALSE(std::get<IdentifyCommand>(one).on);
    EXPECT_EQ(std::get<IdentifyCommand>(one).rx, "02:00:c6:12:02:01");

    // Another site's topics, and our own state, are not commands.
    for (const char* other : {"cortavia/lobby/rx/0200c6120201/set", "cortavia/hall/rx/0200c6120201/source",
                              "cortavia/hallway/identify/set", "cortavia/hall/events"})
        EXPECT_TRUE(std::holds_alternative<NotOurs>(ParseCommand(t, other, "x"))) << other;

    const auto invalid = [&](std::string_view topic, std::string_view payload) {
        const auto c = ParseCommand(t, topic, payload);
        return std::holds_alternative<Invalid>(c) ? std::get<Invalid>(c).reason : std::string();
    };
    const std::string rx = "cortavia/hall/rx/0200c6120201/set";
    EXPECT_NE(invalid(rx, std::string(1 << 20, 'a')).find("bytes"), std::string::npos);
    EXPECT_EQ(invalid(rx, "Blu\xff"), "not UTF-8");
    EXPECT_EQ(invalid(rx, "\xc3"), "not UTF-8");
    EXPECT_EQ(invalid(rx, "tx-1\nosd_on"), "a control character in it");
    EXPECT_FALSE(invalid("cortavia/hall/rx/0200C6120201/set", "tx-1").empty());
    EXPECT_FALSE(invalid("cortavia/hall/scene/../recall", "PRESS").empty());
    EXPECT_FALSE(invalid("cortavia/hall/identify/set", "maybe").empty());
    EXPECT_TRUE(invalid(rx, "Caf\xc3\xa9").empty());
}

TEST(MqttDiscovery, ASelectCarriesItsOptionsTopicsAvailabilityAndTheReceiversIdentity)
{
    const Topics t("hall");
    const DeviceInfo rx{"02:00:c6:12:02:01", Kind::Rx, "198.18.2.1", "lobby-left", "A7.3.1"};
    const Json select = SelectConfig(t, rx, {"Blu-ray", "tx-2", "none"});
    EXPECT_EQ(select["options"], Json::array({"Blu-ray", "tx-2", "none"}));
    EXPECT_EQ(select["state_topic"], t.Rx(rx.mac, "source"));
    EXPECT_EQ(select["command_topic"], t.Rx(rx.mac, "set"));
    EXPECT_EQ(select["unique_id"], "cortavia_hall_0200c6120201_source");
    EXPECT_EQ(select["availability"][0]["topic"], t.Availability());
    EXPECT_EQ(select["availability"][1]["topic"], t.Rx(rx.mac, "online"));
    EXPECT_EQ(select["availability_mode"], "all");
    EXPECT_EQ(select["device"]["name"], "lobby-left");
    EXPECT_EQ(select["device"]["sw_version"], "A7.3.1");
    EXPECT_EQ(select["device"]["connections"][0], Json::array({"mac", rx.mac}));
    EXPECT_EQ(select["device"]["model"], "HDMI-over-IP receiver");

    // Connectivity must show "offline" while the box is gone, so only the
    // service's availability governs it.
    const DeviceInfo tx{"02:00:c6:12:01:01", Kind::Tx, "198.18.1.1", "", ""};
    const Json online = ConnectivityConfig(t, tx);
    EXPECT_EQ(online["device_class"], "connectivity");
    EXPECT_EQ(online["state_topic"], t.Tx(tx.mac, "online"));
    EXPECT_EQ(online["availability_topic"], t.Availability());
    EXPECT_EQ(online["device"]["name"], "198.18.1.1");
    EXPECT_FALSE(online["device"].contains("sw_version"));

    const Json button = ButtonConfig(t, "Evening news", "2.0.0");
    EXPECT_EQ(button["name"], "Evening news");
    EXPECT_EQ(button["command_topic"], "cortavia/hall/scene/Evening news/recall");
    EXPECT_EQ(button["unique_id"], t.SceneObject("Evening news"));
}

}  // namespace
}  // namespace cv::service::mqtt
