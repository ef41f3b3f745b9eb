// The comeback wait's decisions, with the probe, the scan and the MAC reads
// answered by the test.
#include "endpoint/Comeback.h"

#include <gtest/gtest.h>

using namespace cv::endpoint;
using namespace std::chrono_literals;
using Do = Comeback::Do;

TEST(Comeback, WithoutAMacOnlyTheAddressIsProbedUntilTheTimeIsUp)
{
    const auto t = Clock::time_point{} + 1h;
    Comeback wait("198.18.2.1", "", t + 10s);
    EXPECT_EQ(wait.Next(t).what, Do::Probe);
    wait.Probed(false);
    EXPECT_EQ(wait.Next(t + 3s).address, "198.18.2.1");
    wait.Probed(false);
    EXPECT_EQ(wait.Next(t + 10s).what, Do::Lost);

    Comeback back("198.18.2.1", "", t + 10s);
    back.Next(t);
    back.Probed(true);
    const auto found = back.Next(t + 20s);
    EXPECT_EQ(found.what, Do::Found) << "a probe that came back counts even at the deadline";
    EXPECT_EQ(found.address, "198.18.2.1");
}

TEST(Comeback, AMovedEndpointIsFoundByItsMacAndEachAddressIsReadOnce)
{
    const auto t = Clock::time_point{} + 1h;
    Comeback wait("198.18.2.1", "02:00:c6:12:02:01", t + 60s);
    wait.Next(t);
    wait.Probed(false);
    EXPECT_EQ(wait.Next(t).what, Do::Scan);
    wait.Scanned({"198.18.2.1", "198.18.2.2", "198.18.2.3"});
    auto next = wait.Next(t);
    EXPECT_EQ(next.what, Do::ReadMac);
    EXPECT_EQ(next.address, "198.18.2.2") << "the old address is the probe's";
    wait.MacRead("198.18.2.2", "02:00:C6:12:02:02");
    EXPECT_EQ(wait.Next(t).address, "198.18.2.3");
    wait.MacRead("198.18.2.3", std::nullopt);  // still starting

    // Next round: the probe again, then only what was not read.
    EXPECT_EQ(wait.Next(t + 5s).what, Do::Probe);
    wait.Probed(false);
    wait.Next(t + 5s);
    wait.Scanned({"198.18.2.2", "198.18.2.3", "198.18.2.77"});
    EXPECT_EQ(wait.Next(t + 5s).address, "198.18.2.3");
    wait.MacRead("198.18.2.3", "02:00:C6:12:02:03");
    EXPECT_EQ(wait.Next(t + 5s).address, "198.18.2.77");
    wait.MacRead("198.18.2.77", "02:00:C6:12:02:01");
    next = wait.Next(t + 5s);
    EXPECT_EQ(next.what, Do::Found);
    EXPECT_EQ(next.address, "198.18.2.77");
}

TEST(Comeback, NoScanFindingItEndsLostAtTheDeadline)
{
    const auto t = Clock::time_point{} + 1h;
    Comeback wait("198.18.2.1", "02:00:C6:12:02:01", t + 5s);
    wait.Next(t);
    wait.Probed(false);
    wait.Next(t);
    wait.Scanned({});
    EXPECT_EQ(wait.Next(t + 5s).what, Do::Lost);
    EXPECT_TRUE(wait.searched());
}

TEST(Comeback, AnotherEndpointAnsweringAtTheOldAddressIsNotTakenForIt)
{
    const auto t = Clock::time_point{} + 1h;
    Comeback wait("198.18.2.1", "02:00:C6:12:02:01", t + 60s);
    wait.Next(t);
    wait.Probed(true);
    auto next = wait.Next(t);
    ASSERT_EQ(next.what, Do::ReadMac);
    EXPECT_EQ(next.address, "198.18.2.1");
    wait.MacRead("198.18.2.1", "02:00:C6:12:02:09");
    EXPECT_EQ(wait.Next(t).what, Do::Scan) << "no use probing an address that is another's";
    wait.Scanned({"198.18.2.1", "198.18.2.5"});
    EXPECT_EQ(wait.Next(t).address, "198.18.2.5") << "the old address is known to be another's";
    wait.MacRead("198.18.2.5", "02:00:C6:12:02:01");
    EXPECT_EQ(wait.Next(t).address, "198.18.2.5");
    EXPECT_EQ(wait.Next(t + 2s).what, Do::Found);

    Comeback same("198.18.2.1", "02:00:C6:12:02:01", t + 60s);
    same.Next(t);
    same.Probed(true);
    same.Next(t);
    same.MacRead("198.18.2.1", "02:00:c6:12:02:01");
    EXPECT_EQ(same.Next(t).what, Do::Found);
    EXPECT_EQ(same.Next(t).address, "198.18.2.1");
}

TEST(Comeback, AnEndpointThatKeepsItsAddressIsConfirmedOnlyByItsOwnMac)
{
    const auto t = Clock::time_point{} + 1h;
    Comeback other("198.18.2.2", "02:00:C6:12:02:03", t + 60s, false);
    other.Next(t);
    other.Probed(true);
    ASSERT_EQ(other.Next(t).what, Do::ReadMac);
    other.MacRead("198.18.2.2", "02:00:c6:12:02:02");
    const auto end = other.Next(t);
    EXPECT_EQ(end.what, Do::Other) << "no scan: it was told to answer there";
    EXPECT_EQ(end.address, "198.18.2.2");
    EXPECT_EQ(other.otherMac(), "02:00:c6:12:02:02");
    EXPECT_FALSE(other.searched());

    // Not up yet is not someone else: it is probed again.
    Comeback slow("198.18.2.2", "02:00:C6:12:02:03", t + 60s, false);
    slow.Next(t);
    slow.Probed(false);
    EXPECT_EQ(slow.Next(t).what, Do::Probe);
    slow.Probed(true);
    slow.Next(t);
    slow.MacRead("198.18.2.2", std::nullopt);
    EXPECT_EQ(slow.Next(t).what, Do::Probe);
    slow.Probed(true);
    slow.Next(t);
    slow.MacRead("198.18.2.2", "02:00:c6:12:02:03");
    EXPECT_EQ(slow.Next(t).what, Do::Found);
}
