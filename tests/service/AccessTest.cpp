// Who may do what (roles, tokens) and the history's database, as plain
// functions and a real file.
#include "service/History.h"
#include "service/LineProtocol.h"
#include "service/RequestHead.h"
#include "service/Tokens.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace cv::service {
namespace {

std::string Dir(const std::string& name)
{
    const auto dir = std::filesystem::temp_directory_path() / (name + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir.string();
}

Role Needs(const char* method, const std::string& target)
{
    RequestHead h;
    h.method = method;
    h.target = target;
    return NeededFor(method, h.Segments());
}

TEST(Roles, ViewersReadOperatorsSwitchDisplaysAndAdminsChangeWhatIsKept)
{
    EXPECT_EQ(Needs("GET", "/api/v1/devices"), Role::Viewer);
    EXPECT_EQ(Needs("GET", "/api/v1/history?limit=3"), Role::Viewer);
    EXPECT_EQ(Needs("PUT", "/api/v1/routes/aa:bb:cc:dd:ee:ff"), Role::Operator);
    EXPECT_EQ(Needs("POST", "/api/v1/routes"), Role::Operator);
    EXPECT_EQ(Needs("POST", "/api/v1/identify"), Role::Operator);
    EXPECT_EQ(Needs("POST", "/api/v1/scenes/Match%20night/recall"), Role::Operator);
    EXPECT_EQ(Needs("POST", "/api/v1/scenes/a/capture"), Role::Admin);
    EXPECT_EQ(Needs("PUT", "/api/v1/scenes/a"), Role::Admin);
    EXPECT_EQ(Needs("DELETE", "/api/v1/labels/aa:bb:cc:dd:ee:ff"), Role::Admin);
    EXPECT_EQ(Needs("DELETE", "/api/v1/devices/aa:bb:cc:dd:ee:ff"), Role::Admin);
    // A path that smuggles "recall" in through an encoded slash is no recall.
    EXPECT_EQ(Needs("POST", "/api/v1/scenes/a%2Fb/recall"), Role::Admin);
    EXPECT_EQ(Needs("POST", "/api/v1/unknown"), Role::Admin);
    EXPECT_EQ(line::Needs(line::Parse("route a b")), Role::Operator);
    EXPECT_EQ(line::Needs(line::Parse("forget aa:bb:cc:dd:ee:ff")), Role::Admin);
    EXPECT_EQ(line::Needs(line::Parse("history 5")), Role::Viewer);
    EXPECT_EQ(line::Needs(line::Parse("auth x")), Role::None);
    EXPECT_FALSE(ParseRole("none"));
    EXPECT_EQ(ParseRole("none", true), Role::None);
    // A refusal names who holds the role: a token by its name, loopback's
    // trust as loopback, also for a line client known by its peer.
    EXPECT_EQ(RoleRefusal(Role::Admin, {"desk", Role::Operator}),
              "role: this needs the admin role; token 'desk' has operator");
    EXPECT_EQ(RoleRefusal(Role::Operator, {"line:127.0.0.1:4000", Role::Viewer}),
              "role: this needs the operator role; loopback has viewer");
}

TEST(Roles, TheGateRefusesAViewersWriteWith403NamingTheRoleAndAWrongTokenWith401)
{
    HeadPolicy p;
    p.listen = "127.0.0.1";
    p.maxBody = 1024;
    p.anonymous = Role::Operator;
    p.lookup = [](std::string_view t) -> std::optional<Identity> {
        if (t == "v")
            return Identity{"tablet", Role::Viewer};
        return std::nullopt;
    };
    const std::string write = "PUT /api/v1/routes/x HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                              "Content-Length: 2\r\n";
    const auto viewer = DecideRaw(write + "Authorization: Bearer v\r\n\r\n", p);
    EXPECT_EQ(viewer.status, 403);
    EXPECT_EQ(viewer.error, "role: this needs the operator role; token 'tablet' has viewer");
    EXPECT_EQ(DecideRaw(write + "Authorization: Bearer w\r\n\r\n", p).status, 401);
    const auto loopback = DecideRaw(write + "\r\n", p);
    EXPECT_TRUE(loopback.ok());
    EXPECT_EQ(loopback.who.name, "loopback");
    const auto scene = DecideRaw("DELETE /api/v1/scenes/a HTTP/1.1\r\nHost: localhost\r\n"
                                 "Content-Type: application/json\r\n\r\n",
                                 p);
    EXPECT_EQ(scene.status, 403);
    EXPECT_EQ(scene.error, "role: this needs the admin role; loopback has operator");
    p.anonymous = Role::None;
    EXPECT_EQ(DecideRaw(write + "\r\n", p).status, 401);
    EXPECT_EQ(DecideRaw("GET / HTTP/1.1\r\nHost: localhost\r\n\r\n", p).status, 0) << "the page needs no token";
}

TEST(Tokens, AreStoredOnlyAsHashesMode0600AndFoundByTheirSecret)
{
    const std::string dir = Dir("cv-tokens");
    TokenStore cli(dir);
    const auto secret = cli.Add("bar", Role::Viewer);
    ASSERT_TRUE(secret) << secret.error();
    EXPECT_EQ(secret->size(), 64u);
    EXPECT_FALSE(cli.Add("bar", Role::Admin)) << "a name is taken once";
    EXPECT_FALSE(cli.Add("has space", Role::Admin));
    EXPECT_FALSE(cli.Add("loopback", Role::Admin));
    std::ifstream in(dir + "/tokens.json");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.find(*secret), std::string::npos);
    EXPECT_NE(text.find(HashToken(*secret)), std::string::npos);
    struct stat st { };
    ASSERT_EQ(::stat((dir + "/tokens.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    TokenStore service(dir);
    EXPECT_FALSE(service.Refresh());
    ASSERT_TRUE(service.Find(*secret));
    EXPECT_EQ(service.Find(*secret)->role, Role::Viewer);
    EXPECT_FALSE(service.Find(std::string(64, '0')));
    EXPECT_FALSE(service.Find(""));
    ASSERT_TRUE(cli.Revoke("bar"));
    EXPECT_FALSE(*cli.Revoke("bar"));
    EXPECT_FALSE(service.Refresh());
    EXPECT_FALSE(service.Find(*secret)) << "a revocation is seen on the next refresh";
    std::filesystem::remove_all(dir);
}

TEST(Tokens, ABrokenOrReadableFileTakesEveryTokenAwayAndTheOldTokenFileBecomesAnAdminToken)
{
    const std::string dir = Dir("cv-tokens-broken");
    TokenStore cli(dir);
    const auto secret = cli.Add("desk", Role::Operator);
    ASSERT_TRUE(secret);
    TokenStore service(dir);
    service.Refresh();
    ASSERT_TRUE(service.Find(*secret));
    ::chmod((dir + "/tokens.json").c_str(), 0644);
    EXPECT_TRUE(service.Refresh());
    EXPECT_FALSE(service.Find(*secret));
    ::chmod((dir + "/tokens.json").c_str(), 0600);
    EXPECT_FALSE(service.Refresh());
    EXPECT_TRUE(service.Find(*secret));
    std::ofstream(dir + "/tokens.json", std::ios::app) << "{";
    EXPECT_TRUE(service.Refresh());
    EXPECT_FALSE(service.Find(*secret));
    std::filesystem::remove(dir + "/tokens.json");

    const std::string old(64, 'e');
    std::ofstream(dir + "/token") << old << "\n";
    ::chmod((dir + "/token").c_str(), 0600);
    const auto imported = cli.ImportLegacy();
    ASSERT_TRUE(imported && *imported) << (imported ? "" : imported.error());
    EXPECT_FALSE(std::filesystem::exists(dir + "/token"));
    service.Refresh();
    ASSERT_TRUE(service.Find(old));
    EXPECT_EQ(service.Find(old)->name, "token");
    EXPECT_EQ(service.Find(old)->role, Role::Admin);
    std::filesystem::remove_all(dir);
}

TEST(HistoryQueries, AreReadIntoValuesAndABadParameterIsNamed)
{
    const auto q = ParseHistoryQuery("2024-05-01T20:00:00.5Z", "AA-BB-CC-DD-EE-FF", "desk", "7");
    ASSERT_TRUE(q) << q.error();
    EXPECT_EQ(*q->since, 1714593600500);
    EXPECT_EQ(*q->device, "aa:bb:cc:dd:ee:ff");
    EXPECT_EQ(q->limit, 7u);
    EXPECT_EQ(*ParseTime("1714593600"), 1714593600000);
    EXPECT_EQ(FormatTime(1714593600500), "2024-05-01T20:00:00.500Z");
    EXPECT_EQ(ParseHistoryQuery("yesterday", {}, {}, {}).error().rfind("since", 0), 0u);
    EXPECT_EQ(ParseHistoryQuery({}, "nope", {}, {}).error().rfind("device", 0), 0u);
    EXPECT_EQ(ParseHistoryQuery({}, {}, "a b", {}).error().rfind("actor", 0), 0u);
    EXPECT_EQ(ParseHistoryQuery({}, {}, {}, "0").error().rfind("limit", 0), 0u);
    EXPECT_EQ(ParseHistoryQuery({}, {}, {}, "1001").error().rfind("limit", 0), 0u);
    EXPECT_TRUE(ParseHistoryQuery({}, {}, "line:198.18.0.1:5000", {}));
}

TEST(History, RecordsSurviveReopeningAndAreFoundNewestFirstByDeviceActorAndTime)
{
    const std::string dir = Dir("cv-history");
    // Recent times: older ones would be pruned.
    const std::int64_t t0 =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count() /
        1000 * 1000;
    {
        auto h = History::Open(dir);
        ASSERT_TRUE(h) << h.error();
        (*h)->Record({t0 + 1000, "desk", "route", "aa:bb:cc:dd:ee:01", {{"tx", "t"}}, true});
        (*h)->Record({t0 + 2000, "device", "offline", "aa:bb:cc:dd:ee:01", {}, true});
        (*h)->Record({t0 + 3000, "line:127.0.0.1:4000", "recall", "aa:bb:cc:dd:ee:02", {{"scene", "s"}}, false});
        (*h)->TokenUsed("desk", 2500);
        (*h)->Flush();
    }
    struct stat st { };
    ASSERT_EQ(::stat((dir + "/history.db").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    auto h = History::Open(dir);
    ASSERT_TRUE(h);
    const auto all = (*h)->Query({});
    ASSERT_TRUE(all);
    ASSERT_EQ(all->size(), 3u);
    EXPECT_EQ((*all)[0].action, "recall");
    EXPECT_FALSE((*all)[0].ok);
    EXPECT_EQ((*all)[2].detail["tx"], "t");
    HistoryQuery byDevice;
    byDevice.device = "aa:bb:cc:dd:ee:01";
    byDevice.since = t0 + 1500;
    const auto one = (*h)->Query(byDevice);
    ASSERT_TRUE(one);
    ASSERT_EQ(one->size(), 1u);
    EXPECT_EQ((*one)[0].action, "offline");
    HistoryQuery byActor;
    byActor.actor = "desk";
    byActor.limit = 1;
    EXPECT_EQ((*h)->Query(byActor)->at(0).subject, "aa:bb:cc:dd:ee:01");
    EXPECT_EQ((*h)->TokenUses()->at("desk"), 2500);
    EXPECT_EQ(ToJson((*all)[1])["time"], FormatTime(t0 + 2000));
    std::filesystem::remove_all(dir);
}

TEST(History, KeepsAtMostTheConfiguredNumberOfRecordsAndNothingOlderThanItsDays)
{
    const std::string dir = Dir("cv-history-prune");
    auto h = History::Open(dir, {1, 1000});
    ASSERT_TRUE(h);
    const auto now =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    (*h)->Record({now - 2LL * 24 * 3600 * 1000, "desk", "route", "old", {}, true});
    for (int i = 0; i < 10500; ++i)
        (*h)->Record({now, "desk", "route", "r" + std::to_string(i), {}, true});
    (*h)->Flush(true);
    HistoryQuery q;
    q.limit = 1000;
    q.since = 0;
    const auto rows = (*h)->Query(q);
    ASSERT_TRUE(rows);
    EXPECT_EQ(rows->size(), 1000u);
    EXPECT_EQ(rows->front().subject, "r10499");
    HistoryQuery old;
    old.device = std::nullopt;
    old.actor = "desk";
    old.limit = 1000;
    // Kept in a name: a range over a temporary's contents would dangle.
    const auto kept = (*h)->Query(old);
    ASSERT_TRUE(kept);
    for (const auto& r : *kept)
        EXPECT_NE(r.subject, "old");
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace cv::service
