// What the service decides before anything is sent: which displays a
// scene or an identify reaches, and why the others are left out; and the
// ring of events a client resumes from.
#include "service/EventLog.h"
#include "service/Planner.h"

#include <gtest/gtest.h>

namespace cv::service {
namespace {

using namespace std::chrono_literals;

const WallClock::time_point t0 = WallClock::time_point{} + 1000000s;

// Two transmitters, three receivers (one offline), numbered.
struct Venue : ::testing::Test {
    Model model;
    std::vector<Event> events;
    void SetUp() override
    {
        const auto t = model.BeginPoll();
        model.ApplyIdentity(t, "00:00:00:00:01:01", {"198.18.1.1", Kind::Tx, "tx-1", "0001", "y", {}}, t0, events);
        model.ApplyIdentity(t, "00:00:00:00:01:02", {"198.18.1.2", Kind::Tx, "tx-2", "0002", "y", {}}, t0, events);
        for (int i = 1; i <= 3; ++i)
            model.ApplyIdentity(t, "00:00:00:00:02:0" + std::to_string(i),
                                {"198.18.2." + std::to_string(i), Kind::Rx, "rx", "0001", "y", i}, t0, events);
        model.ApplyProbe("00:00:00:00:02:03", false, events);
    }
};

std::vector<std::string> Receivers(const std::vector<Job>& jobs)
{
    std::vector<std::string> out;
    for (const auto& j : jobs)
        out.push_back(j.rx);
    return out;
}

TEST_F(Venue, ARecallReachesEveryDisplayItCanAndSaysWhyNotForTheOthers)
{
    Scene scene{"Quiz",
                {{"00:00:00:00:02:01", "00:00:00:00:01:02"},
                 {"00:00:00:00:02:03", "00:00:00:00:01:02"},  // offline
                 {"00:00:00:00:02:99", "00:00:00:00:01:02"},  // replaced TV
                 {"00:00:00:00:02:02", std::nullopt}},
                std::nullopt};
    const auto plan = PlanRecall(model, scene);
    ASSERT_TRUE(plan);
    EXPECT_EQ(Receivers(plan->jobs), (std::vector<std::string>{"00:00:00:00:02:01", "00:00:00:00:02:02"}));
    EXPECT_EQ(plan->jobs[0].channel, "0002");
    ASSERT_EQ(plan->refused.size(), 2u);
    EXPECT_EQ(plan->refused[0].outcome.step, "offline");
    EXPECT_EQ(plan->refused[1].outcome.refusal, Refusal::NotFound);
    // Nothing planned for a display goes to the one left out.
    for (const auto& job : plan->jobs)
        EXPECT_NE(job.address, "198.18.2.3");
}

TEST_F(Venue, AWallPlacementRidesOnItsReceiversRouteAndAnUnknownCellIsOneEntry)
{
    Scene scene{"Wall", {{"00:00:00:00:02:01", "00:00:00:00:01:01"}}, std::nullopt};
    scene.wall = Json::parse(R"({"rows":1,"columns":2,
        "bezel":{"ow":12170,"oh":6870,"vw":12100,"vh":6800},"placements":[
        {"row":0,"column":0,"mac":"00:00:00:00:02:01"},{"row":0,"column":1,"mac":"00:00:00:00:02:98"}]})");
    const auto plan = PlanRecall(model, scene);
    ASSERT_TRUE(plan) << plan.error();
    ASSERT_EQ(plan->jobs.size(), 1u);
    EXPECT_TRUE(plan->jobs[0].channel);
    EXPECT_FALSE(plan->jobs[0].lines.empty());
    ASSERT_EQ(plan->refused.size(), 1u);
    EXPECT_NE(plan->refused[0].outcome.detail.find("wall"), std::string::npos);
}

TEST_F(Venue, IdentifyOnEveryReceiverListsTheOfflineOneAsNotShown)
{
    const auto plan = PlanIdentify(model, true, {});
    EXPECT_EQ(Receivers(plan.jobs), (std::vector<std::string>{"00:00:00:00:02:01", "00:00:00:00:02:02"}));
    ASSERT_EQ(plan.refused.size(), 1u);
    EXPECT_EQ(plan.refused[0].rx, "00:00:00:00:02:03");
    EXPECT_EQ(plan.refused[0].outcome.step, "offline");

    const auto named = PlanIdentify(model, false, {"198.18.2.2", "00:00:00:00:01:01", "nobody"});
    EXPECT_EQ(Receivers(named.jobs), (std::vector<std::string>{"00:00:00:00:02:02"}));
    EXPECT_EQ(named.refused.size(), 2u);
}

TEST_F(Venue, RoutesAreRefusedByNameAndAReceiverTwiceIsRefused)
{
    const auto plan = PlanRoutes(model,
                                 {{"198.18.2.1", "198.18.1.2"},
                                  {"00:00:00:00:02:01", std::nullopt},
                                  {"198.18.1.1", "198.18.1.2"},
                                  {"198.18.2.2", "198.18.2.1"}});
    EXPECT_EQ(plan.jobs.size(), 1u);
    ASSERT_EQ(plan.refused.size(), 3u);
    EXPECT_NE(plan.refused[0].outcome.detail.find("twice"), std::string::npos);
    EXPECT_NE(plan.refused[1].outcome.detail.find("is a transmitter"), std::string::npos);
    EXPECT_NE(plan.refused[2].outcome.detail.find("is a receiver"), std::string::npos);
}

TEST(EventLog, AClientGetsWhatItMissedOrIsToldTheRingNoLongerReachesBack)
{
    EventLog log(1000, 3);
    EXPECT_EQ(log.lastId(), 999u);
    ASSERT_TRUE(log.Since(999));
    EXPECT_TRUE(log.Since(999)->empty());
    for (int i = 0; i < 5; ++i)
        log.Append({"route", {{"n", i}}});
    EXPECT_EQ(log.lastId(), 1004u);
    const auto missed = log.Since(1002);
    ASSERT_TRUE(missed);
    ASSERT_EQ(missed->size(), 2u);
    EXPECT_EQ((*missed)[0]->id, 1003u);
    EXPECT_EQ((*missed)[1]->event.data["n"], 4);
    EXPECT_TRUE(log.Since(1001));  // the oldest kept is 1002
    EXPECT_FALSE(log.Since(1000));  // 1001 is gone
    EXPECT_FALSE(log.Since(2000));  // no id of this run
    EXPECT_FALSE(log.Since(0));
}

TEST(EventLog, AnIdIsADecimalNumberAndNothingElse)
{
    EXPECT_EQ(ParseEventId("1234"), 1234u);
    EXPECT_EQ(ParseEventId(" 77 "), 77u);
    for (const char* bad : {"", "-1", "12a", "0x10", "99999999999999999999999"})
        EXPECT_FALSE(ParseEventId(bad)) << bad;
}

}  // namespace
}  // namespace cv::service
