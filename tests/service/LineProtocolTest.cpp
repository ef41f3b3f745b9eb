#include "service/LineProtocol.h"

#include <gtest/gtest.h>

namespace cv::service::line {
namespace {

TEST(LineProtocolParse, CommandsWithTheirArguments)
{
    EXPECT_TRUE(std::holds_alternative<Help>(Parse("help")));
    EXPECT_TRUE(std::holds_alternative<Devices>(Parse("  devices ")));
    const auto route = std::get<RouteTo>(Parse("route 00:00:00:00:02:01 198.18.1.2"));
    EXPECT_EQ(route.rx, "00:00:00:00:02:01");
    EXPECT_EQ(route.tx, "198.18.1.2");
    EXPECT_FALSE(std::get<RouteTo>(Parse("route 198.18.2.1 none")).tx);
    EXPECT_EQ(std::get<Recall>(Parse("recall  Evening news ")).name, "Evening news");
    const auto id = std::get<Identify>(Parse("identify on a b"));
    EXPECT_TRUE(id.on);
    EXPECT_EQ(id.rx, (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(std::get<Identify>(Parse("identify off")).rx.empty());
    EXPECT_EQ(std::get<Auth>(Parse("auth s3cret")).token, "s3cret");
    EXPECT_FALSE(std::get<Subscribe>(Parse("subscribe")).since);
    EXPECT_EQ(std::get<Subscribe>(Parse("subscribe 1765000000000123")).since, 1765000000000123u);
    EXPECT_EQ(std::get<Forget>(Parse("forget 00-1A-2B-3C-4D-5E")).mac, "00:1a:2b:3c:4d:5e");
    EXPECT_EQ(EventLine(42, {"route", {{"rx", "a"}}}), "EVENT 42 route {\"rx\":\"a\"}\r\n");
}

TEST(LineProtocolParse, WrongWordsAndCountsAreRefusedWithAReason)
{
    for (const char* bad :
         {"", "   ", "reboot", "ROUTES", "route a", "route a b c", "identify", "identify maybe", "recall",
          "devices now", "auth", "subscribe x", "subscribe 1 2", "forget", "forget 198.18.2.1"}) {
        const auto c = Parse(bad);
        ASSERT_TRUE(std::holds_alternative<Bad>(c)) << bad;
        EXPECT_FALSE(std::get<Bad>(c).reason.empty());
    }
}

TEST(LineProtocolReplies, NoTextCanEndAReplyLineEarly)
{
    EXPECT_EQ(Err("bad\r\nOK"), "ERR bad  OK\r\n");
    Device d;
    d.mac = "00:00:00:00:02:01";
    d.address = "198.18.2.1";
    d.channel = "0001";
    d.hostnameId = "A\r\nOK";
    d.online = true;
    EXPECT_EQ(DeviceLine(d), "DEVICE 00:00:00:00:02:01 rx 198.18.2.1 0001 online A  OK\r\n");
    EXPECT_EQ(EventLine({"offline", {{"mac", "x\n"}}}), "EVENT offline {\"mac\":\"x\\n\"}\r\n");
}

std::vector<std::optional<std::string>> Split(const std::vector<std::string>& pieces)
{
    LineSplitter s;
    std::vector<std::optional<std::string>> out;
    for (const auto& p : pieces)
        s.Feed(p, out);
    return out;
}

TEST(LineSplitter, LfAndCrLfEndALineHoweverTheBytesArrive)
{
    const std::vector<std::optional<std::string>> want{"devices", "routes", ""};
    EXPECT_EQ(Split({"devices\nroutes\r\n\n"}), want);
    const std::string all = "devices\nroutes\r\n\n";
    for (std::size_t cut = 0; cut <= all.size(); ++cut)
        EXPECT_EQ(Split({all.substr(0, cut), all.substr(cut)}), want) << cut;
    EXPECT_EQ(Split({"help"}), (std::vector<std::optional<std::string>>{}));
}

TEST(LineSplitter, AnOverlongLineIsReportedOnceAndTheNextLineStillCounts)
{
    const std::string limit(kMaxLine, 'x');
    EXPECT_EQ(Split({limit + "\r\n"}), (std::vector<std::optional<std::string>>{limit}));
    EXPECT_EQ(Split({limit + "y\n", "help\n"}), (std::vector<std::optional<std::string>>{std::nullopt, "help"}));
    // A flood without line ends is dropped as it comes, not kept.
    std::vector<std::string> flood(100, std::string(4096, 'z'));
    flood.push_back("\nhelp\n");
    EXPECT_EQ(Split(flood), (std::vector<std::optional<std::string>>{std::nullopt, "help"}));
}

}  // namespace
}  // namespace cv::service::line
