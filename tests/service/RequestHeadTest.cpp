#include "service/RequestHead.h"

#include <gtest/gtest.h>

namespace cv::service {
namespace {

const std::string kToken(64, 'f');

HeadPolicy Policy(bool token = true)
{
    HeadPolicy p;
    p.lookup = [](std::string_view t) -> std::optional<Identity> {
        if (t == kToken)
            return Identity{"panel", Role::Admin};
        return std::nullopt;
    };
    p.anonymous = token ? Role::None : Role::Admin;
    p.listen = "198.18.0.1";
    p.hosts = {"av.venue.example"};
    p.maxBody = 64 * 1024;
    return p;
}

int Status(const std::string& head, const HeadPolicy& policy = Policy())
{
    return DecideRaw(head + "\r\n", policy).status;
}

const std::string kAuth = "Authorization: Bearer " + kToken + "\r\n";

TEST(RequestHead, AReadsHeadEndsAtItsBlankLineWhateverFollows)
{
    EXPECT_EQ(HeadLength("GET / HTTP/1.1\r\nHost: a\r\n\r\n{\"x\":1}"), 27u);
    EXPECT_EQ(HeadLength("GET / HTTP/1.1\r\nHost: a\r\n"), 0u);
    EXPECT_EQ(HeadLength("GET / HTTP/1.1\nHost: a\n\nbody"), 24u);
}

TEST(RequestHead, HostMustBeOursALoopbackNameOrAnAllowedName)
{
    for (const char* host : {"198.18.0.1:8470", "127.0.0.1:8470", "localhost", "LocalHost:1", "[::1]:8470",
                             "av.venue.example", "AV.Venue.Example:443", "x.localhost"})
        EXPECT_EQ(Status("GET /api/v1/health HTTP/1.1\r\nHost: " + std::string(host) + "\r\n" + kAuth), 0) << host;
    for (const char* host :
         {"attacker.example", "198.18.0.2:8470", "av.venue.example.attacker.example", "localhost.attacker.example"})
        EXPECT_EQ(Status("GET /api/v1/health HTTP/1.1\r\nHost: " + std::string(host) + "\r\n" + kAuth), 421) << host;
    EXPECT_EQ(Status("GET /api/v1/health HTTP/1.1\r\n" + kAuth), 400);
    EXPECT_EQ(Status("GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n"), 400);
    HeadPolicy any = Policy();
    any.listen = "0.0.0.0";
    EXPECT_EQ(Status("GET /api/v1/health HTTP/1.1\r\nHost: 10.1.2.3:8470\r\n" + kAuth, any), 0);
    EXPECT_EQ(Status("GET /api/v1/health HTTP/1.1\r\nHost: rebind.example\r\n" + kAuth, any), 421);
}

TEST(RequestHead, AnOriginOtherThanTheServicesOwnIsRefused)
{
    const std::string head = "POST /api/v1/identify HTTP/1.1\r\nHost: 198.18.0.1:8470\r\nContent-Type: "
                             "application/json\r\nContent-Length: 2\r\n" +
        kAuth;
    EXPECT_EQ(Status(head), 0);
    EXPECT_EQ(Status(head + "Origin: http://198.18.0.1:8470\r\n"), 0);
    EXPECT_EQ(Status(head + "Origin: https://198.18.0.1:8470\r\n"), 0);
    for (const char* origin : {"http://attacker.example", "null", "http://198.18.0.1:9999", "http://198.18.0.1"})
        EXPECT_EQ(Status(head + "Origin: " + origin + "\r\n"), 403) << origin;
}

TEST(RequestHead, TheTokenIsNeededForAllButThePageAndTheStreamAloneTakesItInItsQuery)
{
    const std::string host = "Host: 198.18.0.1\r\n";
    EXPECT_EQ(Status("GET / HTTP/1.1\r\n" + host), 0);
    EXPECT_EQ(Status("GET /app.js HTTP/1.1\r\n" + host), 0);
    EXPECT_EQ(Status("GET /api/v1/devices HTTP/1.1\r\n" + host), 401);
    EXPECT_EQ(
        Status("GET /api/v1/devices HTTP/1.1\r\n" + host + "Authorization: Bearer " + std::string(64, 'e') + "\r\n"),
        401);
    EXPECT_EQ(Status("GET /api/v1/devices?token=" + kToken + " HTTP/1.1\r\n" + host), 401);
    const auto stream = DecideRaw("GET /api/v1/events?token=" + kToken + " HTTP/1.1\r\n" + host + "\r\n", Policy());
    EXPECT_TRUE(stream.ok());
    EXPECT_TRUE(stream.stream);
    // The router decodes the path: so does the check.
    EXPECT_EQ(Status("GET /api%2Fv1/devices HTTP/1.1\r\n" + host), 401);
    EXPECT_EQ(Status("POST /%61pi/v1/identify HTTP/1.1\r\n" + host + "Content-Type: application/json\r\n"), 401);
    EXPECT_EQ(Status("GET /api/v1/devices HTTP/1.1\r\n" + host, Policy(false)), 0);
}

TEST(RequestHead, TheBodyIsBoundedByItsDeclaredLengthAndAWriteMustBeJson)
{
    const std::string head = "PUT /api/v1/routes/x HTTP/1.1\r\nHost: 127.0.0.1\r\n" + kAuth;
    const std::string json = "Content-Type: application/json\r\n";
    EXPECT_EQ(DecideRaw(head + json + "Content-Length: 65536\r\n\r\n", Policy()).body, 65536u);
    EXPECT_EQ(Status(head + json + "Content-Length: 65537\r\n"), 413);
    EXPECT_EQ(Status(head + json + "Content-Length: 99999999999\r\n"), 413);
    EXPECT_EQ(Status(head + json + "Content-Length: 000000000000000000000000000012\r\n"), 0);
    EXPECT_EQ(Status(head + json + "Content-Length: 12, 12\r\n"), 400);
    EXPECT_EQ(Status(head + json + "Content-Length: 1\r\nContent-Length: 1\r\n"), 400);
    EXPECT_EQ(Status(head + json + "Content-Length: -1\r\n"), 400);
    EXPECT_EQ(Status(head + json + "Transfer-Encoding: chunked\r\n"), 411);
    EXPECT_EQ(Status(head + "Content-Length: 2\r\n"), 415);
    EXPECT_EQ(Status(head + "Content-Type: text/plain\r\nContent-Length: 2\r\n"), 415);
    EXPECT_EQ(Status(head + "Content-Type: Application/JSON; charset=utf-8\r\n"), 0);
    EXPECT_EQ(Status("DELETE /api/v1/scenes/a HTTP/1.1\r\nHost: 127.0.0.1\r\n" + kAuth), 415);
}

TEST(RequestHead, HeadsTwoReadersCouldReadTwoWaysAreRefused)
{
    for (const char* bad : {"GET / HTTP/1.1\r\nHost: a\r\n folded\r\n", "GET / HTTP/1.1\r\nHost : a\r\n",
                            "GET  / HTTP/1.1\r\nHost: a\r\n", "GET http://a/ HTTP/1.1\r\nHost: a\r\n",
                            "GET / HTTP/2\r\nHost: a\r\n", "GET / HTTP/1.1\r\nHo\rst: a\r\n", "\r\n"})
        EXPECT_EQ(Status(bad, Policy(false)), 400) << bad;
}

TEST(RequestHead, ARefusalIsACompleteAnswerThatClosesTheConnection)
{
    HeadDecision d;
    d.status = 401;
    d.error = "a \"quoted\" reason";
    const std::string answer = RefusalResponse(d);
    EXPECT_EQ(answer.rfind("HTTP/1.1 401 Unauthorized\r\n", 0), 0u);
    EXPECT_NE(answer.find("WWW-Authenticate: Bearer\r\n"), std::string::npos);
    EXPECT_NE(answer.find("Connection: close\r\n"), std::string::npos);
    const std::string body = R"({"error":"a \"quoted\" reason"})";
    EXPECT_NE(answer.find("Content-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos);
    EXPECT_TRUE(answer.ends_with("\r\n\r\n" + body)) << answer;
}

}  // namespace
}  // namespace cv::service
