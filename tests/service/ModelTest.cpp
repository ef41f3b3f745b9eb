#include "service/Model.h"

#include <gtest/gtest.h>

namespace cv::service {
namespace {

using namespace std::chrono_literals;

const WallClock::time_point t0 = WallClock::time_point{} + 1000000s;

Sighting Tx(const std::string& address, const std::string& channel)
{
    return {address, Kind::Tx, "", channel, "y", {}};
}
Sighting Rx(const std::string& address, const std::string& channel, const std::string& host = "RX")
{
    return {address, Kind::Rx, host, channel, "y", {}};
}

std::vector<std::string> Types(const std::vector<Event>& events)
{
    std::vector<std::string> out;
    for (const auto& e : events)
        out.push_back(e.type);
    return out;
}

// Two transmitters and one receiver, identified.
struct SmallFleet : ::testing::Test {
    Model model;
    std::vector<Event> events;
    void SetUp() override
    {
        const auto t = model.BeginPoll();
        const std::vector<Sighting> rows{Tx("198.18.1.1", "0001"), Tx("198.18.1.2", "0002"), Rx("198.18.2.1", "0001")};
        const auto unknown = model.ApplyPoll(t, {"198.18.1.1", "198.18.1.2", "198.18.2.1"}, rows, t0, events);
        ASSERT_EQ(unknown.size(), 3u);
        model.ApplyIdentity(t, "00:00:00:00:01:01", rows[0], t0, events);
        model.ApplyIdentity(t, "00:00:00:00:01:02", rows[1], t0, events);
        model.ApplyIdentity(t, "00:00:00:00:02:01", rows[2], t0, events);
        events.clear();
    }
    void Poll(std::vector<std::string> answered, std::vector<Sighting> rows,
              std::vector<std::string>* unknown = nullptr)
    {
        const auto got = model.ApplyPoll(model.BeginPoll(), answered, rows, t0 + 2s, events);
        if (unknown)
            *unknown = got;
    }
};

TEST_F(SmallFleet, AReceiverShowsTheTransmitterOnItsChannel)
{
    const auto route = model.RouteOf("00:00:00:00:02:01");
    ASSERT_TRUE(route);
    EXPECT_EQ(route->tx, "00:00:00:00:01:01");
    EXPECT_EQ(route->channel, "0001");
    EXPECT_TRUE(model.Conflicts().empty());
}

TEST_F(SmallFleet, AKnownDeviceIsNotReadAgainWhileItAnswersTheSame)
{
    std::vector<std::string> unknown;
    Poll({"198.18.1.1", "198.18.1.2", "198.18.2.1"},
         {Tx("198.18.1.1", "0001"), Tx("198.18.1.2", "0002"), Rx("198.18.2.1", "0001")}, &unknown);
    EXPECT_TRUE(unknown.empty());
    EXPECT_TRUE(events.empty());
}

TEST_F(SmallFleet, AChannelChangedElsewhereIsAChangeAndARoute)
{
    Poll({"198.18.1.1", "198.18.1.2", "198.18.2.1"},
         {Tx("198.18.1.1", "0001"), Tx("198.18.1.2", "0002"), Rx("198.18.2.1", "0002")});
    ASSERT_EQ(Types(events), (std::vector<std::string>{"changed", "route"}));
    EXPECT_EQ(events[0].data["changes"]["channel"]["old"], "0001");
    EXPECT_EQ(events[0].data["changes"]["channel"]["new"], "0002");
    EXPECT_EQ(events[1].data["tx"], "00:00:00:00:01:02");
}

TEST_F(SmallFleet, OneMissedRoundIsNoAlarmTwoAreAProbeAndOnlyAFailedProbeIsOffline)
{
    const std::vector<std::string> withoutRx{"198.18.1.1", "198.18.1.2"};
    const auto first = model.ApplyPresence(withoutRx);
    EXPECT_TRUE(first.suspects.empty());
    EXPECT_EQ(first.missedOnce, 1u);
    Poll(withoutRx, {Tx("198.18.1.1", "0001"), Tx("198.18.1.2", "0002")});
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(model.Find("00:00:00:00:02:01")->online);

    const auto suspects = model.ApplyPresence(withoutRx).suspects;
    EXPECT_EQ(suspects, (std::vector<std::string>{"00:00:00:00:02:01"}));
    // Its shell still answers: a lost answer, not a lost box.
    model.ApplyProbe("00:00:00:00:02:01", true, events);
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(model.Find("00:00:00:00:02:01")->online);

    EXPECT_EQ(model.ApplyPresence(withoutRx).suspects.size(), 1u);
    model.ApplyProbe("00:00:00:00:02:01", false, events);
    EXPECT_EQ(Types(events), (std::vector<std::string>{"offline"}));
    EXPECT_FALSE(model.Find("00:00:00:00:02:01")->online);
    EXPECT_EQ(model.online(), 2u);
    events.clear();

    // Back: it might be another box on the same address, so its MAC is read.
    const std::vector<std::string> all{"198.18.1.1", "198.18.1.2", "198.18.2.1"};
    EXPECT_TRUE(model.ApplyPresence(all).suspects.empty());
    std::vector<std::string> unknown;
    Poll(all, {Tx("198.18.1.1", "0001"), Tx("198.18.1.2", "0002"), Rx("198.18.2.1", "0001")}, &unknown);
    EXPECT_EQ(unknown, (std::vector<std::string>{"198.18.2.1"}));
    model.ApplyIdentity(model.BeginPoll(), "00:00:00:00:02:01", Rx("198.18.2.1", "0001"), t0 + 4s, events);
    EXPECT_EQ(Types(events), (std::vector<std::string>{"online"}));
    EXPECT_EQ(model.online(), 3u);
}

TEST_F(SmallFleet, ADeviceThatMissedARoundIsReadAgainBeforeItIsBelieved)
{
    const std::vector<std::string> all{"198.18.1.1", "198.18.1.2", "198.18.2.1"};
    model.ApplyPresence({"198.18.1.1", "198.18.2.1"});
    model.ApplyPresence(all);
    std::vector<std::string> unknown;
    Poll(all, {Tx("198.18.1.1", "0001"), Tx("198.18.1.2", "0002"), Rx("198.18.2.1", "0001")}, &unknown);
    EXPECT_EQ(unknown, (std::vector<std::string>{"198.18.1.2"}));
    EXPECT_TRUE(events.empty());
}

TEST_F(SmallFleet, AReplacedTransmittersGhostSharesNoChannelAndCanBeForgotten)
{
    // The old box loses power; a new one takes its address and channel.
    model.ApplyProbe("00:00:00:00:01:01", false, events);
    events.clear();
    model.ApplyIdentity(model.BeginPoll(), "00:00:00:00:01:99", Tx("198.18.1.1", "0001"), t0 + 2s, events);
    EXPECT_TRUE(model.Conflicts().empty());
    EXPECT_EQ(model.RouteOf("00:00:00:00:02:01")->tx, "00:00:00:00:01:99");
    EXPECT_EQ(Types(events), (std::vector<std::string>{"online", "route"}));
    events.clear();

    EXPECT_EQ(model.ApplyForget("00:00:00:00:01:99", events), Model::Forget::Online);
    EXPECT_EQ(model.ApplyForget("00:00:00:00:09:09", events), Model::Forget::NoSuchDevice);
    EXPECT_EQ(model.ApplyForget("00:00:00:00:01:01", events), Model::Forget::Done);
    EXPECT_EQ(Types(events), (std::vector<std::string>{"forgotten"}));
    EXPECT_EQ(model.Find("00:00:00:00:01:01"), nullptr);
    EXPECT_EQ(model.devices().size(), 3u);
    EXPECT_EQ(model.Find("198.18.1.1")->mac, "00:00:00:00:01:99");
}

TEST_F(SmallFleet, AConflictThatEndsSaysSoAndTheReceiversOnItGetTheirSourceBack)
{
    Poll({"198.18.1.1", "198.18.1.2", "198.18.2.1"},
         {Tx("198.18.1.1", "0001"), Tx("198.18.1.2", "0001"), Rx("198.18.2.1", "0001")});
    ASSERT_EQ(model.Conflicts().size(), 1u);
    events.clear();
    model.ApplyProbe("00:00:00:00:01:02", false, events);
    EXPECT_EQ(Types(events), (std::vector<std::string>{"offline", "route", "conflict-cleared"}));
    EXPECT_EQ(events[1].data["tx"], "00:00:00:00:01:01");
    EXPECT_EQ(events[2].data["channel"], "0001");
    EXPECT_TRUE(model.Conflicts().empty());
    // Its channel stays taken: a receiver parked there would show it again
    // the moment it comes back.
    EXPECT_NE(model.UnusedChannel(), "0001");
}

TEST_F(SmallFleet, AReadThatCannotTellTransmitterFromReceiverAddsNothingAndChangesNothing)
{
    const Sighting unknown{"198.18.2.9", Kind::Unknown, "RX", "0002", "y", {}};
    model.ApplyIdentity(model.BeginPoll(), "00:00:00:00:02:09", unknown, t0 + 2s, events);
    EXPECT_EQ(model.Find("00:00:00:00:02:09"), nullptr);
    model.ApplyIdentity(model.BeginPoll(), "00:00:00:00:02:01", unknown, t0 + 2s, events);
    EXPECT_EQ(model.Find("00:00:00:00:02:01")->address, "198.18.2.1");
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(ToJson(*model.Find("00:00:00:00:02:01"))["kind"], "rx");
    EXPECT_EQ(ToJson(*model.Find("00:00:00:00:01:01"))["kind"], "tx");
}

TEST_F(SmallFleet, ATransmittersNameComesFromItsDetailReadAndTravelsWithItsRoutes)
{
    model.ApplyIdentity(model.BeginPoll(), "00:00:00:00:01:01", {"198.18.1.1", Kind::Tx, "tx-001", "0001", "y", {}},
                        t0 + 2s, events);
    // The node list has no names for transmitters: it takes none away.
    Poll({"198.18.1.1", "198.18.1.2", "198.18.2.1"},
         {Tx("198.18.1.1", "0001"), Tx("198.18.1.2", "0002"), Rx("198.18.2.1", "0001")});
    EXPECT_EQ(model.Find("00:00:00:00:01:01")->hostnameId, "tx-001");
    const auto route = model.RouteOf("00:00:00:00:02:01");
    EXPECT_EQ(route->txName, "tx-001");
    EXPECT_EQ(ToJson(*route)["tx_hostname_id"], "tx-001");
}

TEST(ModelAtScale, AConfirmedRouteTellsOnlyItsReceiverAndNoOtherOfAThousand)
{
    Model model;
    std::vector<Event> events;
    const auto t = model.BeginPoll();
    model.ApplyIdentity(t, "00:00:00:00:01:01", Tx("198.18.1.1", "0001"), t0, events);
    model.ApplyIdentity(t, "00:00:00:00:01:02", Tx("198.18.1.2", "0002"), t0, events);
    for (int i = 0; i < 1000; ++i) {
        char mac[18];
        std::snprintf(mac, sizeof mac, "00:00:00:00:%02x:%02x", 2 + i / 256, i % 256);
        model.ApplyIdentity(t, mac,
                            Rx("198.18." + std::to_string(2 + i / 250) + "." + std::to_string(1 + i % 250), "0001"), t0,
                            events);
    }
    events.clear();
    model.ApplyConfirmedChannel("00:00:00:00:02:07", "0002", t0 + 1s, events);
    ASSERT_EQ(Types(events), (std::vector<std::string>{"changed", "route"}));
    events.clear();
    // The transmitter everyone watches goes: each of its receivers is told.
    model.ApplyProbe("00:00:00:00:01:01", false, events);
    EXPECT_EQ(events.size(), 1u + 999u);
    EXPECT_EQ(model.online(), 1001u);
}
TEST_F(SmallFleet, ADeviceThatComesBackAtAnotherAddressStaysTheSameDevice)
{
    Poll({"198.18.1.1", "198.18.1.2", "198.18.2.9"},
         {Tx("198.18.1.1", "0001"), Tx("198.18.1.2", "0002"), Rx("198.18.2.9", "0001")});
    model.ApplyIdentity(model.BeginPoll(), "00:00:00:00:02:01", Rx("198.18.2.9", "0001"), t0 + 2s, events);
    EXPECT_EQ(model.devices().size(), 3u);
    EXPECT_EQ(model.Find("00:00:00:00:02:01")->address, "198.18.2.9");
    EXPECT_EQ(model.Find("198.18.2.9")->mac, "00:00:00:00:02:01");
    EXPECT_EQ(model.Find("198.18.2.1"), nullptr);
}

TEST_F(SmallFleet, ABoxThatTakesAnotherOnesAddressSendsTheOldOneOffline)
{
    model.ApplyIdentity(model.BeginPoll(), "00:00:00:00:02:99", Rx("198.18.2.1", "0002", "NEW"), t0 + 2s, events);
    const Device* old = model.Find("00:00:00:00:02:01");
    ASSERT_TRUE(old);
    EXPECT_FALSE(old->online);
    EXPECT_EQ(model.Find("198.18.2.1")->mac, "00:00:00:00:02:99");
}

TEST_F(SmallFleet, APollThatBeganBeforeAConfirmedWriteDoesNotPutTheOldChannelBack)
{
    const auto early = model.BeginPoll();
    model.ApplyConfirmedChannel("00:00:00:00:02:01", "0002", t0 + 1s, events);
    events.clear();
    model.ApplyPoll(early, {"198.18.1.1", "198.18.1.2", "198.18.2.1"},
                    {Tx("198.18.1.1", "0001"), Tx("198.18.1.2", "0002"), Rx("198.18.2.1", "0001")}, t0 + 2s, events);
    EXPECT_EQ(model.Find("00:00:00:00:02:01")->channel, "0002");
    EXPECT_TRUE(events.empty());

    // A poll that began after the write is believed: someone changed it since.
    Poll({"198.18.1.1", "198.18.1.2", "198.18.2.1"},
         {Tx("198.18.1.1", "0001"), Tx("198.18.1.2", "0002"), Rx("198.18.2.1", "0001")});
    EXPECT_EQ(model.Find("00:00:00:00:02:01")->channel, "0001");
}

TEST_F(SmallFleet, TwoTransmittersOnOneChannelAreAConflictAndNoRouteIsGuessed)
{
    Poll({"198.18.1.1", "198.18.1.2", "198.18.2.1"},
         {Tx("198.18.1.1", "0001"), Tx("198.18.1.2", "0001"), Rx("198.18.2.1", "0001")});
    const auto conflicts = model.Conflicts();
    ASSERT_EQ(conflicts.size(), 1u);
    EXPECT_EQ(conflicts[0].channel, "0001");
    EXPECT_EQ(conflicts[0].transmitters.size(), 2u);
    EXPECT_FALSE(model.RouteOf("00:00:00:00:02:01")->tx);
    // A scene cannot say which one it shows: it leaves the receiver alone.
    EXPECT_TRUE(model.SceneRoutes().empty());
    EXPECT_NE(std::find(Types(events).begin(), Types(events).end(), "conflict"), Types(events).end());
}

TEST_F(SmallFleet, AReceiverOnAChannelWithoutATransmitterIsASceneRouteToNothing)
{
    Poll({"198.18.1.1", "198.18.1.2", "198.18.2.1"},
         {Tx("198.18.1.1", "0001"), Tx("198.18.1.2", "0002"), Rx("198.18.2.1", "0050")});
    const auto routes = model.SceneRoutes();
    ASSERT_EQ(routes.size(), 1u);
    EXPECT_FALSE(routes[0].tx);
}

TEST_F(SmallFleet, AnUnusedChannelIsOneNoTransmitterIsOn)
{
    const auto parked = model.UnusedChannel();
    ASSERT_TRUE(parked);
    EXPECT_TRUE(model.TransmittersOn(*parked).empty());
    EXPECT_TRUE(IsChannel(*parked));
}

TEST(Mac, TheFirmwaresSpellingsAreOneNameAndOthersAreNone)
{
    EXPECT_EQ(NormalMac("00:1A:2b:3C:4d:5E"), "00:1a:2b:3c:4d:5e");
    EXPECT_EQ(NormalMac("00-1a-2b-3c-4d-5e"), "00:1a:2b:3c:4d:5e");
    EXPECT_EQ(NormalMac("001a2b3c4d5e"), "00:1a:2b:3c:4d:5e");
    for (const char* bad : {"", "00:1a:2b:3c:4d", "00:1a:2b:3c:4d:5e:6f", "00:1a:2b:3c:4d:5g", "198.18.2.1",
                            ":001a2b3c4d5e", "001a2b3c4d5e:"})
        EXPECT_FALSE(NormalMac(bad)) << bad;
}

TEST(Channel, OnlyTheListsChannelsCount)
{
    EXPECT_TRUE(IsChannel("0000"));
    EXPECT_TRUE(IsChannel("0099"));
    for (const char* bad : {"", "99", "0100", "00a1", "00001"})
        EXPECT_FALSE(IsChannel(bad)) << bad;
}

}  // namespace
}  // namespace cv::service
