// cortaviad as an operator's control system meets it: the real program,
// against endpoint-sim in the test LAN, over HTTP, the event stream and
// the line protocol. Every write is checked on the simulator's wire.
#include "SimProcess.h"
#include "tests/service/ServiceClient.h"

#include <nlohmann/json.hpp>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QTcpSocket>
#include <QTimer>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

namespace {

using namespace cv::service_test;
using namespace std::chrono_literals;

// The lines of a wire log that change an endpoint; a poll's reads (which
// may come at any moment, more so on a loaded machine) are left out.
std::string WritesIn(const std::string& wire)
{
    std::string out, line;
    for (const char c : wire) {
        line += c;
        if (c != '\n')
            continue;
        for (const char* write : {"astparam s", "e e_", "osd_on", "osd_off", "reboot", "reset"})
            if (line.find(write) != std::string::npos) {
                out += line;
                break;
            }
        line.clear();
    }
    return out;
}

// Everything the endpoints received from a service that only polled.
bool OnlyPolled(const cv::sim::SimProcess& sim, const std::vector<std::string>& addresses)
{
    for (const auto& a : addresses) {
        const std::string wire = sim.wireBytes(a);
        for (const char* write : {"astparam s", "e e_reconnect", "osd_on", "osd_off", "reboot"})
            if (wire.find(write) != std::string::npos)
                return false;
    }
    return true;
}

std::string TempDir(const std::string& name)
{
    const auto dir = std::filesystem::temp_directory_path() / (name + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir.string();
}

std::vector<std::string> Receivers(int n)
{
    std::vector<std::string> out;
    for (int i = 1; i <= n; ++i)
        out.push_back("198.18.2." + std::to_string(i));
    return out;
}

// Two transmitters, a hundred receivers and one more on its own /24, whose
// address the test takes away.
class Service : public ::testing::Test {
protected:
    static inline std::unique_ptr<cv::sim::SimProcess> sim;
    static inline std::unique_ptr<Daemon> daemon;
    static inline std::string state;

    static void SetUpTestSuite()
    {
        ASSERT_FALSE(cv::sim::SimProcess::lanNamespace().empty()) << "run inside scripts/testlan.sh";
        sim = std::make_unique<cv::sim::SimProcess>(std::vector<std::string>{
            "--tx", "2", "--rx", "100", "--node", "rx ip=198.18.3.1 hostname_id=goner channel=0000", "--node",
            "tx ip=198.18.4.1 hostname_id=spare channel=0044", "--fault", "swap=02:00:00:00:44:02@198.18.4.1",
            "--reboot-delay", "1500"});
        ASSERT_TRUE(sim->start()) << sim->error();
        state = TempDir("cv-svc-state");
        daemon = std::make_unique<Daemon>(state);
        Client c;
        ASSERT_TRUE(WaitFor([&] {
            const Reply r = c.Get("/api/v1/health");
            return Ready(r) && r.body.value("devices", 0) == 104;
        })) << "the first poll never found the fleet";
    }
    static void TearDownTestSuite()
    {
        daemon.reset();
        sim.reset();
        std::filesystem::remove_all(state);
    }

    Client client;
    Json Device(const std::string& address)
    {
        for (const auto& d : client.Get("/api/v1/devices").body)
            if (d["address"] == address)
                return d;
        return nullptr;
    }
};

TEST_F(Service, ListsEveryEndpointByMacWithItsStateAndRoute)
{
    const Reply devices = client.Get("/api/v1/devices");
    ASSERT_EQ(devices.status, 200);
    ASSERT_EQ(devices.body.size(), 104u);
    std::set<std::string> macs;
    for (const auto& d : devices.body) {
        for (const char* key : {"mac", "address", "kind", "hostname_id", "channel", "multicast", "online", "last_seen"})
            EXPECT_TRUE(d.contains(key)) << key;
        macs.insert(d["mac"].get<std::string>());
        EXPECT_TRUE(d["online"].get<bool>());
    }
    EXPECT_EQ(macs.size(), 104u);
    const Reply routes = client.Get("/api/v1/routes");
    ASSERT_EQ(routes.status, 200);
    EXPECT_EQ(routes.body.size(), 101u);
}

TEST_F(Service, ARouteAnswersOnceTheReceiverReadsItBackAndTheWireCarriesTheChannelGroup)
{
    const Json tx = Device("198.18.1.2");
    const Json rx = Device("198.18.2.7");
    ASSERT_TRUE(tx.is_object() && rx.is_object());
    QNetworkReply* stream = client.Stream();
    QByteArray events;
    QObject::connect(stream, &QNetworkReply::readyRead, [&] { events += stream->readAll(); });
    ASSERT_TRUE(WaitFor([&] { return events.contains(": connected"); }));

    const Reply r = client.Call("PUT", "/api/v1/routes/" + rx["mac"].get<std::string>(),
                                R"({"tx":")" + tx["mac"].get<std::string>() + R"("})");
    ASSERT_EQ(r.status, 200) << r.text;
    EXPECT_EQ(r.body["tx"], tx["mac"]);
    EXPECT_EQ(r.body["channel"], tx["channel"]);
    const std::string channel = tx["channel"].get<std::string>();
    const std::string wire = sim->wireBytes("198.18.2.7");
    const auto zero = [](std::string line) { return line + '\0'; };
    EXPECT_NE(wire.find(zero("astparam s reset_ch_on_boot n\r\n")), std::string::npos);
    EXPECT_NE(wire.find(zero("astparam save\r\n")), std::string::npos);
    EXPECT_NE(wire.find(zero("e e_reconnect::" + channel + "\r\n")), std::string::npos);
    EXPECT_NE(wire.find("lmparam g CH_SELECT_V\r\n"), std::string::npos);
    // Nobody else got a line.
    EXPECT_TRUE(OnlyPolled(*sim, {"198.18.2.6", "198.18.2.8", "198.18.1.2"}));

    ASSERT_TRUE(WaitFor([&] { return events.contains("event: route"); }));
    EXPECT_TRUE(events.contains(QByteArray::fromStdString(rx["mac"].get<std::string>())));
    // What was written is what the next reads show, poll after poll.
    const auto polls = client.Get("/api/v1/health").body["polls"].get<int>();
    ASSERT_TRUE(WaitFor([&] { return client.Get("/api/v1/health").body["polls"].get<int>() >= polls + 2; }));
    EXPECT_EQ(Device("198.18.2.7")["channel"], channel);
    stream->abort();
    stream->deleteLater();
}

TEST_F(Service, AHundredReceiversRouteAtOnceEachReadBack)
{
    const Json tx = Device("198.18.1.1");
    Json body = Json::array();
    for (const auto& address : Receivers(100))
        body.push_back({{"rx", address}, {"tx", tx["mac"]}});
    const Reply r = client.Call("POST", "/api/v1/routes", body.dump());
    ASSERT_EQ(r.status, 200) << r.text.substr(0, 500);
    ASSERT_EQ(r.body.size(), 100u);
    for (const auto& result : r.body) {
        EXPECT_TRUE(result["ok"].get<bool>()) << result.dump();
        EXPECT_EQ(result["channel"], tx["channel"]);
    }
    for (const auto& d : client.Get("/api/v1/devices").body) {
        if (d["kind"] == "rx" && d["address"] != "198.18.3.1") {
            EXPECT_EQ(d["channel"], tx["channel"]) << d.dump();
        }
    }
}

TEST_F(Service, ASceneIsCapturedAndRecalledWhole)
{
    const Json a = Device("198.18.1.1"), b = Device("198.18.1.2");
    ASSERT_EQ(client.Call("PUT", "/api/v1/routes/198.18.2.1", R"({"tx":"198.18.1.1"})").status, 200);
    ASSERT_EQ(client.Call("PUT", "/api/v1/routes/198.18.2.2", R"({"tx":null})").status, 200);
    const Reply captured = client.Call("POST", "/api/v1/scenes/Evening%20news/capture");
    ASSERT_EQ(captured.status, 200) << captured.text;
    EXPECT_TRUE(std::filesystem::exists(state + "/scenes/Evening news.json"));

    ASSERT_EQ(client.Call("PUT", "/api/v1/routes/198.18.2.1", R"({"tx":"198.18.1.2"})").status, 200);
    ASSERT_EQ(client.Call("PUT", "/api/v1/routes/198.18.2.2", R"({"tx":"198.18.1.2"})").status, 200);
    const Reply recalled = client.Call("POST", "/api/v1/scenes/Evening%20news/recall");
    ASSERT_EQ(recalled.status, 200) << recalled.text.substr(0, 400);
    EXPECT_EQ(Device("198.18.2.1")["channel"], a["channel"]);
    const Json parked = Device("198.18.2.2");
    EXPECT_NE(parked["channel"], a["channel"]);
    EXPECT_NE(parked["channel"], b["channel"]);

    const Reply list = client.Get("/api/v1/scenes");
    ASSERT_EQ(list.status, 200);
    ASSERT_EQ(list.body.size(), 1u);
    EXPECT_EQ(list.body[0]["name"], "Evening news");
    EXPECT_EQ(client.Call("DELETE", "/api/v1/scenes/Evening%20news").status, 200);
    EXPECT_EQ(client.Get("/api/v1/scenes/Evening%20news").status, 404);
}

TEST_F(Service, ASceneWithAWallPutsEachPlacedReceiverOnItsCellInTheSameSessionAsItsRoute)
{
    const std::string left = Device("198.18.2.11")["mac"].get<std::string>();
    const std::string right = Device("198.18.2.12")["mac"].get<std::string>();
    const Json tx = Device("198.18.1.2");
    const Json scene = {
        {"routes", {{{"rx", left}, {"tx", tx["mac"]}}}},
        {"wall",
         {{"rows", 1},
          {"columns", 2},
          {"bezel", {{"ow", 12170}, {"oh", 6870}, {"vw", 12100}, {"vh", 6800}}},
          {"stretch", "fit"},
          {"placements",
           {{{"row", 0}, {"column", 0}, {"mac", left}}, {{"row", 0}, {"column", 1}, {"address", "198.18.2.12"}}}}}}};
    ASSERT_EQ(client.Call("PUT", "/api/v1/scenes/lobby", scene.dump()).status, 200);
    const auto before = sim->connectionBytes("198.18.2.11").size();
    const Reply r = client.Call("POST", "/api/v1/scenes/lobby/recall");
    ASSERT_EQ(r.status, 200) << r.text;
    ASSERT_EQ(r.body.size(), 2u);
    // The left receiver: its route and its tile on one connection.
    const auto conns = sim->connectionBytes("198.18.2.11");
    ASSERT_GT(conns.size(), before);
    const std::string& session = conns.back();
    const auto route = session.find("e e_reconnect::" + tx["channel"].get<std::string>());
    const auto tile = session.find("e e_vw_enable_0_0_");
    EXPECT_NE(route, std::string::npos) << session;
    EXPECT_NE(tile, std::string::npos) << session;
    EXPECT_LT(route, tile);
    EXPECT_NE(session.find("e e_vw_stretch"), std::string::npos) << session;
    // The right one: its tile only; its route stays.
    const std::string wire = sim->connectionBytes("198.18.2.12").back();
    EXPECT_NE(wire.find("e e_vw_enable_"), std::string::npos) << wire;
    EXPECT_EQ(wire.find("e e_vw_enable_0_0_"), std::string::npos) << "the right half does not start at the left";
    EXPECT_EQ(wire.find("e e_reconnect"), std::string::npos);
    (void)right;

    // A wall naming a box nobody knows (a replaced TV) still puts the
    // others on their cells; the stranger is a failed entry.
    Json stranger = scene;
    stranger["wall"]["placements"][1] = {{"row", 0}, {"column", 1}, {"mac", "02:00:00:00:99:99"}};
    ASSERT_EQ(client.Call("PUT", "/api/v1/scenes/stranger", stranger.dump()).status, 200);
    const auto sessions = sim->connectionBytes("198.18.2.11").size();
    const Reply partial = client.Call("POST", "/api/v1/scenes/stranger/recall");
    EXPECT_EQ(partial.status, 502) << partial.text;
    ASSERT_EQ(partial.body.size(), 2u) << partial.text;
    EXPECT_EQ(partial.body[0]["rx"], "02:00:00:00:99:99");
    EXPECT_FALSE(partial.body[0]["ok"].get<bool>());
    EXPECT_TRUE(partial.body[1]["ok"].get<bool>()) << partial.text;
    EXPECT_EQ(sim->connectionBytes("198.18.2.11").size(), sessions + 1);
    // And a wall that is no layout is refused when the scene is written.
    Json broken = scene;
    broken["wall"]["rows"] = 9;
    const Reply refused = client.Call("PUT", "/api/v1/scenes/broken", broken.dump());
    EXPECT_EQ(refused.status, 400);
    EXPECT_EQ(refused.body["error"].get<std::string>().rfind("wall", 0), 0u) << refused.text;
}

TEST_F(Service, AChangeMadeBehindItsBackShowsAsARouteEvent)
{
    QNetworkReply* stream = client.Stream();
    QByteArray events;
    QObject::connect(stream, &QNetworkReply::readyRead, [&] { events += stream->readAll(); });
    ASSERT_TRUE(WaitFor([&] { return events.contains(": connected"); }));
    const std::string mac = Device("198.18.2.9")["mac"].get<std::string>();
    const std::string want = Device("198.18.2.9")["channel"] == "0000" ? "0001" : "0000";

    // Another controller: the channel group straight on the shell.
    QTcpSocket other;
    other.connectToHost("198.18.2.9", 24);
    ASSERT_TRUE(other.waitForConnected(10000));
    other.write("root\r\n");
    other.write(QByteArray("e e_reconnect::") + QByteArray::fromStdString(want) + "\r\n");
    other.flush();
    ASSERT_TRUE(sim->waitForWire("198.18.2.9", "e e_reconnect::" + want));
    other.close();

    ASSERT_TRUE(WaitFor([&] {
        return events.contains("event: route") && events.contains(QByteArray::fromStdString(mac));
    })) << events.toStdString();
    EXPECT_TRUE(events.contains("event: changed"));
    EXPECT_EQ(Device("198.18.2.9")["channel"], want);
    stream->abort();
    stream->deleteLater();
}

TEST_F(Service, AnEndpointWhoseAddressIsTakenAwayGoesOfflineAndComesBackOnline)
{
    const std::string ns = cv::sim::SimProcess::lanNamespace();
    const std::string mac = Device("198.18.3.1")["mac"].get<std::string>();
    QNetworkReply* stream = client.Stream();
    QByteArray events;
    QObject::connect(stream, &QNetworkReply::readyRead, [&] { events += stream->readAll(); });
    ASSERT_TRUE(WaitFor([&] { return events.contains(": connected"); }));

    ASSERT_EQ(std::system(("ip -n " + ns + " route del local 198.18.3.0/24 dev lo").c_str()), 0);
    QElapsedTimer gone;
    gone.start();
    ASSERT_TRUE(WaitFor([&] { return events.contains("event: offline"); })) << events.toStdString();
    const auto offlineAfter = gone.elapsed();
    // Two missed rounds and a failed probe: within three intervals (a
    // round here takes its 1 s of quiet), with room for a loaded machine.
    const auto interval = std::max<qint64>(1000, client.Get("/api/v1/health").body["poll_cycle_ms"].get<qint64>());
    EXPECT_LT(offlineAfter, 3 * interval + 1000 + 5000);
    EXPECT_TRUE(events.contains(QByteArray::fromStdString(mac)));
    EXPECT_FALSE(Device("198.18.3.1")["online"].get<bool>());
    // Routing the others goes on.
    EXPECT_EQ(client.Call("PUT", "/api/v1/routes/198.18.2.3", R"({"tx":"198.18.1.1"})").status, 200);
    // Routing the missing one fails at the endpoint, and says so.
    const Reply lost = client.Call("PUT", "/api/v1/routes/" + mac, R"({"tx":"198.18.1.1"})");
    EXPECT_EQ(lost.status, 502) << lost.text;
    EXPECT_EQ(lost.body["step"], "connect") << lost.text;

    ASSERT_EQ(std::system(("ip -n " + ns + " route add local 198.18.3.0/24 dev lo").c_str()), 0);
    ASSERT_TRUE(WaitFor([&] { return events.contains("event: online"); })) << events.toStdString();
    // The history keeps when it went and came back, and the failed route.
    Reply history;
    ASSERT_TRUE(WaitFor([&] {
        history = client.Get("/api/v1/history?device=" + mac + "&limit=10");
        // Written by the history's own thread: the newest row, once there, is its return.
        return history.status == 200 && history.body.is_array() && !history.body.empty() &&
            history.body[0]["action"] == "online";
    })) << history.text;
    std::vector<std::string> actions;
    for (const auto& row : history.body) {
        EXPECT_EQ(row["subject"], mac);
        actions.push_back(row["action"].get<std::string>() + "/" + row["actor"].get<std::string>());
    }
    const auto at = [&](const std::string& a) {
        return std::find(actions.begin(), actions.end(), a) - actions.begin();
    };
    EXPECT_LT(at("online/device"), at("route/loopback")) << history.text;
    EXPECT_LT(at("route/loopback"), at("offline/device")) << history.text;
    EXPECT_LT(at("offline/device"), static_cast<long>(actions.size())) << history.text;
    EXPECT_TRUE(Device("198.18.3.1")["online"].get<bool>());
    EXPECT_EQ(Device("198.18.3.1")["mac"], mac);
    std::cout << "offline event " << offlineAfter << " ms after the address went (poll 1 s)\n";
    stream->abort();
    stream->deleteLater();
}

TEST_F(Service, BadRequestsAreRefusedWithTheFieldNamedAndNothingReachesAnEndpoint)
{
    const auto before = sim->wireBytes("198.18.2.20");
    const struct {
        const char* method;
        std::string path, body;
        int status;
        const char* names;
    } cases[] = {
        {"PUT", "/api/v1/routes/198.18.2.20", "{bad", 400, "body"},
        {"PUT", "/api/v1/routes/198.18.2.20", R"({"tx":5})", 400, "tx"},
        {"PUT", "/api/v1/routes/198.18.2.20", R"({"tx":"198.18.1.1","colour":1})", 400, "colour"},
        {"PUT", "/api/v1/routes/02:00:00:00:00:00", R"({"tx":"198.18.1.1"})", 404, "rx"},
        {"PUT", "/api/v1/routes/198.18.2.20", R"({"tx":"02:00:00:00:00:00"})", 404, "tx"},
        {"PUT", "/api/v1/routes/198.18.2.20", R"({"tx":"198.18.2.21"})", 400, "tx"},
        {"PUT", "/api/v1/routes/198.18.1.1", R"({"tx":"198.18.1.2"})", 400, "rx"},
        {"POST", "/api/v1/routes", R"([{"rx":"198.18.2.20","tx":"198.18.1.1"},{"rx":"nobody","tx":null}])", 404, "rx"},
        {"POST", "/api/v1/routes", R"({"rx":"198.18.2.20"})", 400, "body"},
        {"PUT", "/api/v1/routes/198.18.2.20", R"({"tx":")" + std::string(70000, 'a') + R"("})", 413, "body"},
        {"POST", "/api/v1/identify", R"({"on":"yes"})", 400, "on"},
        {"PUT", "/api/v1/scenes/..%2Ftoken", R"({"routes":[]})", 400, "name"},
        {"GET", "/api/v1/nothing", "", 404, ""},
        {"DELETE", "/api/v1/routes", "", 405, ""},
    };
    for (const auto& c : cases) {
        const Reply r = client.Call(c.method, c.path, c.body);
        EXPECT_EQ(r.status, c.status) << c.method << " " << c.path.substr(0, 60) << " " << r.text.substr(0, 200);
        ASSERT_TRUE(r.body.is_object()) << r.text.substr(0, 200);
        EXPECT_EQ(r.body["error"].get<std::string>().rfind(c.names, 0), 0u) << r.text;
    }
    EXPECT_EQ(WritesIn(sim->wireBytes("198.18.2.20")), WritesIn(before));
    EXPECT_FALSE(std::filesystem::exists(state + "/token"));
}

TEST_F(Service, TheLineProtocolAnswersInOrderAndSurvivesAFlood)
{
    QTcpSocket s;
    s.connectToHost("127.0.0.1", 8471);
    ASSERT_TRUE(s.waitForConnected(10000));
    QByteArray got;
    const auto until = [&](const QByteArray& text) {
        return WaitFor([&] {
            got += s.readAll();
            return got.contains(text);
        });
    };
    s.write("help\nroutes\r\nroute 198.18.2.30 198.18.1.2\nbogus\n");
    ASSERT_TRUE(until("ERR unknown command 'bogus'")) << got.toStdString();
    const auto ok = got.indexOf("ROUTE ", got.indexOf("route <rx>"));
    EXPECT_GE(ok, 0);
    EXPECT_TRUE(got.contains("\r\nOK\r\n"));
    EXPECT_LT(got.indexOf("e e_reconnect"), 0);
    EXPECT_NE(sim->wireBytes("198.18.2.30").find("e e_reconnect::0001"), std::string::npos);

    // A flood: an overlong line, a run of nonsense, then a real command.
    const auto before = sim->wireBytes("198.18.2.31");
    got.clear();
    s.write(QByteArray(5000, 'x') + "\n");
    for (int i = 0; i < 200; ++i)
        s.write("reboot 198.18.2.31\n");
    s.write("devices\n");
    ASSERT_TRUE(until("DEVICE ")) << got.left(300).toStdString();
    ASSERT_TRUE(until("\r\nOK\r\n"));
    EXPECT_TRUE(got.contains("ERR line longer than 1024 bytes"));
    EXPECT_EQ(WritesIn(sim->wireBytes("198.18.2.31")), WritesIn(before));
    s.write("subscribe\n");
    ASSERT_TRUE(until("OK\r\n"));
}

TEST_F(Service, EveryPathOfItsDescriptionIsServed)
{
    const Reply doc = client.Get("/api/v1/openapi.json");
    ASSERT_EQ(doc.status, 200);
    ASSERT_EQ(doc.body["openapi"].get<std::string>().rfind("3.", 0), 0u);
    const std::string rx = Device("198.18.2.40")["mac"].get<std::string>();
    const std::string tx = Device("198.18.1.2")["mac"].get<std::string>();
    int walked = 0;
    for (const auto& [path, item] : doc.body["paths"].items()) {
        for (const auto& [method, op] : item.items()) {
            std::string url = path;
            const auto put = [&](const std::string& from, const std::string& to) {
                if (const auto at = url.find(from); at != std::string::npos)
                    url.replace(at, from.size(), to);
            };
            put("{rx}", rx);
            put("{name}", "walk");
            put("{mac}", tx);
            std::string body;
            if (op.contains("requestBody")) {
                if (path == "/api/v1/routes")
                    body = R"([{"rx":")" + rx + R"(","tx":"198.18.1.1"}])";
                else if (path == "/api/v1/identify")
                    body = R"({"on":false,"rx":[")" + rx + R"("]})";
                else if (path == "/api/v1/scenes/{name}")
                    body = R"({"routes":[]})";
                else if (path == "/api/v1/labels/{mac}")
                    body = R"({"label":"Walk"})";
                else
                    body = R"({"tx":"198.18.1.1"})";
            }
            if (path == "/api/v1/events")
                continue;  // a stream: opened by the tests above
            std::string upper = method;
            for (auto& c : upper)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            if (path.rfind("/api/v1/scenes/{name}", 0) == 0 && !(path == "/api/v1/scenes/{name}" && method == "put"))
                client.Call("PUT", "/api/v1/scenes/walk", R"({"routes":[]})");
            if (path == "/api/v1/labels/{mac}" && method == "delete")
                client.Call("PUT", "/api/v1/labels/" + tx, R"({"label":"Walk"})");
            const Reply r = client.Call(QByteArray::fromStdString(upper), url, body);
            EXPECT_TRUE(op["responses"].contains(std::to_string(r.status)))
                << upper << " " << url << " answered " << r.status << " " << r.text.substr(0, 200);
            // An online device is never forgotten: the walk's one is online.
            const int expected = path == "/api/v1/devices/{mac}" ? 4 : 2;
            EXPECT_EQ(r.status / 100, expected) << upper << " " << url << " " << r.text.substr(0, 200);
            ++walked;
        }
    }
    EXPECT_GE(walked, 16);
}

TEST_F(Service, ATransmitterLabelIsKeptInTheStateDirectoryAndABadOneIsRefusedByField)
{
    const std::string tx = Device("198.18.1.1")["mac"].get<std::string>();
    std::string upper = tx;
    for (auto& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const Reply put = client.Call("PUT", "/api/v1/labels/" + upper, R"x({"label":"Blu-ray (Küche)"})x");
    ASSERT_EQ(put.status, 200) << put.text;
    EXPECT_EQ(put.body["mac"], tx);
    EXPECT_EQ(client.Get("/api/v1/labels").body[tx], "Blu-ray (Küche)");
    std::ifstream file(state + "/labels.json");
    const Json kept = Json::parse(file, nullptr, false);
    EXPECT_EQ(kept[tx], "Blu-ray (Küche)");

    const struct {
        std::string path, body;
        const char* names;
    } bad[] = {
        {"/api/v1/labels/" + tx, R"({"label":""})", "label"},
        {"/api/v1/labels/" + tx, R"({"label":")" + std::string(41, 'a') + R"("})", "label"},
        {"/api/v1/labels/" + tx, R"({"label":"two\nlines"})", "label"},
        {"/api/v1/labels/" + tx, R"({"label":" padded"})", "label"},
        {"/api/v1/labels/" + tx, R"({"label":7})", "label"},
        {"/api/v1/labels/" + tx, R"({"label":"ok","colour":"red"})", "colour"},
        {"/api/v1/labels/not-a-mac", R"({"label":"ok"})", "mac"},
    };
    for (const auto& c : bad) {
        const Reply r = client.Call("PUT", c.path, c.body);
        EXPECT_EQ(r.status, 400) << c.body << " " << r.text;
        EXPECT_EQ(r.body.value("error", std::string()).rfind(c.names, 0), 0u) << c.body << " " << r.text;
    }
    EXPECT_EQ(client.Get("/api/v1/labels").body[tx], "Blu-ray (Küche)");

    EXPECT_EQ(client.Call("DELETE", "/api/v1/labels/" + tx).status, 200);
    EXPECT_EQ(client.Call("DELETE", "/api/v1/labels/" + tx).status, 404);
    EXPECT_FALSE(client.Get("/api/v1/labels").body.contains(tx));
}

TEST_F(Service, ServesTheControlPageItWasBuiltWith)
{
    const Reply page = client.Get("/");
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.text.find("<script type=\"module\" src=\"app.js\">"), std::string::npos) << page.text.substr(0, 300);
    EXPECT_EQ(client.Get("/app.js").status, 200);
    EXPECT_EQ(client.Get("/style.css").status, 200);
    EXPECT_EQ(client.Get("/../token").status, 404);
    EXPECT_EQ(client.Get("/nothing.js").status, 404);
}

// Raw HTTP requests, all sent before any answer is read: a button panel
// pressed twenty times, not a client that waits its turn.
std::vector<int> PutAtOnce(const std::string& path, const std::vector<std::string>& bodies)
{
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    for (const auto& body : bodies) {
        auto s = std::make_unique<QTcpSocket>();
        s->connectToHost("127.0.0.1", 8470);
        s->write(QByteArray::fromStdString("PUT " + path +
                                           " HTTP/1.1\r\nHost: 127.0.0.1:8470\r\n"
                                           "Content-Type: application/json\r\nConnection: close\r\n"
                                           "Content-Length: " +
                                           std::to_string(body.size()) + "\r\n\r\n" + body));
        sockets.push_back(std::move(s));
    }
    std::vector<QByteArray> answers(sockets.size());
    // An answer is whole once its body is as long as its header says.
    const auto whole = [](const QByteArray& a) {
        const auto end = a.indexOf("\r\n\r\n");
        if (end < 0)
            return false;
        const auto at = a.toLower().indexOf("content-length:");
        const auto length = at < 0 ? 0 : a.mid(at + 15, a.indexOf('\r', at) - at - 15).trimmed().toInt();
        return a.size() >= end + 4 + length;
    };
    WaitFor([&] {
        bool all = true;
        for (std::size_t i = 0; i < sockets.size(); ++i) {
            answers[i] += sockets[i]->readAll();
            all = all && whole(answers[i]);
        }
        return all;
    });
    std::vector<int> statuses;
    for (auto& a : answers)
        statuses.push_back(a.startsWith("HTTP/1.1 ") ? a.mid(9, 3).toInt() : 0);
    return statuses;
}

// Whether two sessions ever talked at the same time, from the endpoint's own
// log: every line a session causes is marked with its connection, and no
// line of an earlier connection may follow one of a later. (Its closing is
// left out: the simulator may notice a close after the next connect.)
bool SessionsInterleave(const cv::sim::SimProcess& sim, const std::string& address)
{
    int latest = 0;
    for (const auto& line : sim.eventLines(address)) {
        if (line.size() < 2 || line[0] != 'c' || line.find(" disconnect") != std::string::npos)
            continue;
        const int id = std::atoi(line.c_str() + 1);
        if (id < latest)
            return true;
        latest = id;
    }
    return false;
}

TEST_F(Service, TwentyRoutesAtOnceToOneReceiverAreOneSessionAtATimeAndTheLastOneWins)
{
    const std::string a = Device("198.18.1.1")["channel"], b = Device("198.18.1.2")["channel"];
    std::vector<std::string> bodies;
    for (int i = 0; i < 20; ++i)
        bodies.push_back(i % 2 ? R"({"tx":"198.18.1.2"})" : R"({"tx":"198.18.1.1"})");
    const auto before = sim->connectionBytes("198.18.2.20").size();
    const auto statuses = PutAtOnce("/api/v1/routes/198.18.2.20", bodies);
    int ok = 0, superseded = 0;
    for (int status : statuses) {
        EXPECT_TRUE(status == 200 || status == 409) << status;
        ok += status == 200;
        superseded += status == 409;
    }
    EXPECT_GE(ok, 1);
    EXPECT_EQ(ok + superseded, 20);
    // Twenty sent before any answer is read cannot all have run alone.
    EXPECT_GE(superseded, 1);
    EXPECT_FALSE(SessionsInterleave(*sim, "198.18.2.20")) << sim->events("198.18.2.20");
    // Merged and superseded requests cost no session of their own: each
    // session answers at least one 200. How many run depends on how the
    // requests' arrivals spread over a loaded machine, so that is the bound;
    // one more for a poll that took its node list from this receiver.
    EXPECT_LE(sim->connectionBytes("198.18.2.20").size() - before, static_cast<std::size_t>(ok) + 1);
    EXPECT_EQ(Device("198.18.2.20")["channel"], b) << "the last request, for the second source, wins";
    (void)a;
}

TEST_F(Service, AStreamThatComesBackWithItsLastIdGetsWhatItMissed)
{
    const std::string a = Device("198.18.1.1")["channel"];
    const std::string mac = Device("198.18.2.30")["mac"];
    const std::string first = Device("198.18.2.30")["channel"] == a ? "198.18.1.2" : "198.18.1.1";
    const std::string second = first == "198.18.1.1" ? "198.18.1.2" : "198.18.1.1";
    QNetworkReply* stream = client.Stream();
    QByteArray seen;
    QObject::connect(stream, &QNetworkReply::readyRead, [&] { seen += stream->readAll(); });
    ASSERT_TRUE(WaitFor([&] { return seen.contains(": connected"); }));
    ASSERT_EQ(client.Call("PUT", "/api/v1/routes/198.18.2.30", R"({"tx":")" + first + R"("})").status, 200);
    ASSERT_TRUE(WaitFor([&] { return seen.contains("event: route"); })) << seen.toStdString();
    stream->abort();
    stream->deleteLater();
    // The last id it saw; the next route happens while it is away.
    const auto idAt = seen.lastIndexOf("id: ");
    ASSERT_GE(idAt, 0) << seen.toStdString();
    const QByteArray id = seen.mid(idAt + 4, seen.indexOf('\n', idAt) - idAt - 4);
    ASSERT_EQ(client.Call("PUT", "/api/v1/routes/198.18.2.30", R"({"tx":")" + second + R"("})").status, 200);

    QNetworkRequest request(QUrl("http://127.0.0.1:8470/api/v1/events"));
    request.setRawHeader("Last-Event-ID", id);
    QNetworkAccessManager net;
    QNetworkReply* again = net.get(request);
    QByteArray resumed;
    QObject::connect(again, &QNetworkReply::readyRead, [&] { resumed += again->readAll(); });
    ASSERT_TRUE(WaitFor([&] { return resumed.contains("event: route"); })) << resumed.toStdString();
    EXPECT_TRUE(resumed.contains(QByteArray::fromStdString(mac)));
    EXPECT_TRUE(resumed.contains(QByteArray::fromStdString(Device(second)["mac"].get<std::string>())));
    EXPECT_FALSE(resumed.contains("id: " + id + "\n")) << "the event it had seen is not sent again";
    again->abort();

    // An id the ring no longer holds: the whole picture instead.
    request.setRawHeader("Last-Event-ID", "1");
    QNetworkReply* old = net.get(request);
    QByteArray snapshot;
    QObject::connect(old, &QNetworkReply::readyRead, [&] { snapshot += old->readAll(); });
    ASSERT_TRUE(WaitFor([&] { return snapshot.contains("event: snapshot"); })) << snapshot.toStdString();
    EXPECT_TRUE(snapshot.contains("\"devices\"") && snapshot.contains("\"routes\"") && snapshot.contains("\"scenes\""));
    old->abort();
}

TEST_F(Service, ASceneNamingAReplacedDisplaySwitchesEveryOtherOne)
{
    const Json tx = Device("198.18.1.2");
    const std::string first = Device("198.18.2.40")["mac"], second = Device("198.18.2.41")["mac"];
    const Json scene = {{"routes",
                         {{{"rx", first}, {"tx", tx["mac"]}},
                          {{"rx", "02:00:00:00:77:77"}, {"tx", tx["mac"]}},
                          {{"rx", second}, {"tx", tx["mac"]}}}}};
    ASSERT_EQ(client.Call("PUT", "/api/v1/scenes/Quiz", scene.dump()).status, 200);
    const Reply r = client.Call("POST", "/api/v1/scenes/Quiz/recall");
    EXPECT_EQ(r.status, 502) << r.text;
    ASSERT_EQ(r.body.size(), 3u) << r.text;
    int switched = 0;
    for (const auto& entry : r.body) {
        if (entry["rx"] == "02:00:00:00:77:77")
            EXPECT_FALSE(entry["ok"].get<bool>());
        else
            switched += entry["ok"].get<bool>() && entry["channel"] == tx["channel"];
    }
    EXPECT_EQ(switched, 2) << r.text;
    EXPECT_EQ(Device("198.18.2.41")["channel"], tx["channel"]);
}

TEST_F(Service, AReplacedTransmitterRoutesAtOnceAndItsGhostCanBeForgotten)
{
    // An installer swaps the box at 198.18.4.1 for a new one set up alike:
    // same address, same channel, another MAC.
    const std::string oldMac = Device("198.18.4.1")["mac"];
    QTcpSocket shell;
    shell.connectToHost("198.18.4.1", 24);
    ASSERT_TRUE(shell.waitForConnected(10000));
    shell.write("root\r\nreboot\r\n");
    shell.flush();
    ASSERT_TRUE(sim->waitForEvent("198.18.4.1", "swapped for 02:00:00:00:44:02"));
    ASSERT_TRUE(WaitFor([&] { return Device("198.18.4.1")["mac"] == "02:00:00:00:44:02"; }));
    const auto ghost = [&] {
        for (const auto& d : client.Get("/api/v1/devices").body)
            if (d["mac"] == oldMac)
                return d;
        return Json(nullptr);
    };
    EXPECT_FALSE(ghost()["online"].get<bool>());
    EXPECT_EQ(Device("198.18.4.1")["hostname_id"], "spare");

    const Reply routed = client.Call("PUT", "/api/v1/routes/198.18.2.50", R"({"tx":"198.18.4.1"})");
    ASSERT_EQ(routed.status, 200) << routed.text;
    EXPECT_EQ(routed.body["tx"], "02:00:00:00:44:02");
    EXPECT_EQ(routed.body["tx_hostname_id"], "spare");
    EXPECT_TRUE(client.Get("/api/v1/conflicts").body.empty());

    EXPECT_EQ(client.Call("DELETE", "/api/v1/devices/02:00:00:00:44:02").status, 409);
    EXPECT_EQ(client.Call("DELETE", "/api/v1/devices/" + oldMac).status, 204);
    EXPECT_TRUE(ghost().is_null());
    EXPECT_EQ(client.Call("DELETE", "/api/v1/devices/" + oldMac).status, 404);
    // The line protocol forgets as well.
    QTcpSocket s;
    s.connectToHost("127.0.0.1", 8471);
    ASSERT_TRUE(s.waitForConnected(10000));
    s.write("forget 02:00:00:00:44:02\nforget nonsense\n");
    QByteArray got;
    ASSERT_TRUE(WaitFor([&] {
        got += s.readAll();
        return got.count("\r\n") >= 2;
    }));
    EXPECT_TRUE(got.startsWith("ERR 02:00:00:00:44:02 is online")) << got.toStdString();
    // Back to the fleet the other tests know.
    ASSERT_EQ(client.Call("PUT", "/api/v1/routes/198.18.2.50", R"({"tx":"198.18.1.1"})").status, 200);
}

// Named tokens against the running service: a viewer reads but may not
// switch a display (403, naming the role, nothing on the wire, over HTTP
// and the line protocol); an operator routes and the history names it;
// a revoked token is refused within 2 s.
TEST_F(Service, ATokensRoleDecidesWhatItMayDoAndARevokedOneIsRefusedWithinTwoSeconds)
{
    const std::string viewer = AddToken(state, "bar-tablet", "viewer");
    const std::string operatorToken = AddToken(state, "desk", "operator");
    ASSERT_EQ(viewer.size(), 64u);
    ASSERT_EQ(operatorToken.size(), 64u);
    const std::string rx = Device("198.18.2.60")["mac"].get<std::string>();
    const std::string before = sim->wireBytes("198.18.2.60");
    Client bar;
    bar.token = viewer;
    ASSERT_TRUE(WaitFor([&] { return bar.Get("/api/v1/devices").status == 200; }, 5000)) << "never picked up";
    const struct {
        const char* method;
        std::string path, body;
        const char* needs;
    } refused[] = {
        {"PUT", "/api/v1/routes/" + rx, R"({"tx":"198.18.1.1"})", "operator"},
        {"POST", "/api/v1/routes", R"([{"rx":")" + rx + R"(","tx":"198.18.1.1"}])", "operator"},
        {"POST", "/api/v1/identify", R"({"on":true})", "operator"},
        {"POST", "/api/v1/scenes/any/recall", "", "operator"},
        {"PUT", "/api/v1/scenes/any", R"({"routes":[]})", "admin"},
        {"DELETE", "/api/v1/devices/" + rx, "", "admin"},
    };
    for (const auto& c : refused) {
        const Reply r = bar.Call(c.method, c.path, c.body);
        EXPECT_EQ(r.status, 403) << c.method << " " << c.path << " " << r.text;
        EXPECT_NE(r.text.find(std::string("needs the ") + c.needs + " role"), std::string::npos) << r.text;
    }
    Client desk;
    desk.token = operatorToken;
    ASSERT_TRUE(WaitFor([&] { return desk.Get("/api/v1/devices").status == 200; }, 5000)) << "never picked up";
    EXPECT_EQ(desk.Call("PUT", "/api/v1/scenes/any", R"({"routes":[]})").status, 403);
    EXPECT_EQ(WritesIn(sim->wireBytes("198.18.2.60")), WritesIn(before));

    QTcpSocket line;
    line.connectToHost("127.0.0.1", 8471);
    ASSERT_TRUE(line.waitForConnected(10000));
    QByteArray got;
    line.write(
        QByteArray::fromStdString("auth " + viewer + "\nroute " + rx + " 198.18.1.1\nforget " + rx + "\nhistory 1\n"));
    ASSERT_TRUE(WaitFor([&] {
        got += line.readAll();
        return got.count("\r\n") >= 4 && got.endsWith("OK\r\n");
    })) << got.toStdString();
    EXPECT_TRUE(got.startsWith("OK\r\nERR role: this needs the operator role; token 'bar-tablet' has viewer\r\n"
                               "ERR role: this needs the admin role"))
        << got.toStdString();
    EXPECT_EQ(WritesIn(sim->wireBytes("198.18.2.60")), WritesIn(before));

    ASSERT_EQ(desk.Call("PUT", "/api/v1/routes/" + rx, R"({"tx":"198.18.1.2"})").status, 200);
    Reply history;
    ASSERT_TRUE(WaitFor([&] {
        history = bar.Get("/api/v1/history?actor=desk&limit=5");
        return history.status == 200 && history.body.size() == 1;
    })) << history.text;
    EXPECT_EQ(history.body[0]["action"], "route");
    EXPECT_EQ(history.body[0]["subject"], rx);
    EXPECT_TRUE(history.body[0]["ok"].get<bool>());
    EXPECT_EQ(history.body[0]["detail"]["tx"], Device("198.18.1.2")["mac"]);
    EXPECT_EQ(bar.Get("/api/v1/history?since=yesterday").status, 400);

    // A scene recalled by the named token: a record per display, naming the scene.
    const std::string sceneBody =
        R"({"routes":[{"rx":")" + rx + R"(","tx":")" + Device("198.18.1.1")["mac"].get<std::string>() + R"("}]})";
    ASSERT_EQ(client.Call("PUT", "/api/v1/scenes/desk-scene", sceneBody).status, 200);
    ASSERT_EQ(desk.Call("POST", "/api/v1/scenes/desk-scene/recall").status, 200);
    ASSERT_TRUE(WaitFor([&] {
        history = bar.Get("/api/v1/history?actor=desk&limit=5");
        return history.status == 200 && history.body.size() == 2;
    })) << history.text;
    EXPECT_EQ(history.body[0]["action"], "recall");
    EXPECT_EQ(history.body[0]["subject"], rx);
    EXPECT_EQ(history.body[0]["detail"]["scene"], "desk-scene");
    EXPECT_EQ(history.body[0]["detail"]["tx"], Device("198.18.1.1")["mac"]);
    EXPECT_EQ(history.body[1]["action"], "route");
    ASSERT_EQ(client.Call("DELETE", "/api/v1/scenes/desk-scene").status, 200);

    // `token list` beside the running service: names, roles, when made and
    // last used, never a token.
    const auto list = [&] {
        QProcess p;
        p.start(CV_CORTAVIAD_PATH, {"token", "list", "--state-dir", QString::fromStdString(state)});
        EXPECT_TRUE(p.waitForFinished(30000));
        EXPECT_EQ(p.exitCode(), 0);
        return p.readAllStandardOutput().toStdString();
    };
    const std::string listed = list();
    const auto row = [&](const std::string& name) {
        const auto at = listed.find("\n" + name + " ");
        return at == std::string::npos ? std::string() : listed.substr(at + 1, listed.find('\n', at + 1) - at - 1);
    };
    EXPECT_EQ(row("bar-tablet").find("viewer"), 24u) << listed;
    EXPECT_EQ(row("desk").find("operator"), 24u) << listed;
    EXPECT_EQ(row("desk").find("never"), std::string::npos) << "its use is known: " << listed;
    EXPECT_EQ(listed.find(viewer), std::string::npos);
    EXPECT_EQ(listed.find(operatorToken), std::string::npos);

    QProcess revoke;
    revoke.start(CV_CORTAVIAD_PATH, {"token", "revoke", "bar-tablet", "--state-dir", QString::fromStdString(state)});
    ASSERT_TRUE(revoke.waitForFinished(30000));
    ASSERT_EQ(revoke.exitCode(), 0);
    QElapsedTimer since;
    since.start();
    ASSERT_TRUE(WaitFor([&] { return bar.Get("/api/v1/devices").status == 401; }));
    EXPECT_LT(since.elapsed(), 2000);
    std::cout << "revoked token refused " << since.elapsed() << " ms after the command\n";
    EXPECT_EQ(desk.Get("/api/v1/devices").status, 200);
    EXPECT_EQ(list().find("\nbar-tablet "), std::string::npos);
    // Token changes are in the history too, by whoever ran the command.
    const Reply revoked = desk.Get("/api/v1/history?limit=20");
    EXPECT_TRUE(std::any_of(revoked.body.begin(), revoked.body.end(), [](const Json& r) {
        return r["action"] == "token-revoke" && r["subject"] == "bar-tablet";
    })) << revoked.text;
}

// The roles as the service names them, lowest first.
enum class Role { Viewer, Operator, Admin };
std::string Name(Role r) { return r == Role::Viewer ? "viewer" : r == Role::Operator ? "operator" : "admin"; }

// Every address of the fixture's fleet.
std::vector<std::string> FleetAddresses()
{
    auto all = Receivers(100);
    all.insert(all.end(), {"198.18.1.1", "198.18.1.2", "198.18.3.1", "198.18.4.1"});
    return all;
}

// How far each endpoint's wire log reached.
std::map<std::string, std::size_t> WireMarks(const cv::sim::SimProcess& sim)
{
    std::map<std::string, std::size_t> out;
    for (const auto& a : FleetAddresses())
        out[a] = sim.wireBytes(a).size();
    return out;
}

// What reached an endpoint since the marks that only a write would send.
std::string WritesSince(const cv::sim::SimProcess& sim, const std::map<std::string, std::size_t>& marks)
{
    std::string out;
    for (const auto& [address, at] : marks) {
        const std::string wire = sim.wireBytes(address).substr(at);
        for (const char* write : {"astparam s", "e e_reconnect", "osd_on", "osd_off", "reboot"})
            if (wire.find(write) != std::string::npos)
                out += address + ": " + write + "\n";
    }
    return out;
}

// One line-protocol connection; Send waits for the reply's OK or ERR line.
class Line {
public:
    explicit Line(quint16 port)
    {
        socket_.connectToHost("127.0.0.1", port);
        connected_ = socket_.waitForConnected(10000);
    }
    bool connected() const { return connected_; }
    std::string Send(const std::string& command)
    {
        socket_.write(QByteArray::fromStdString(command + "\n"));
        std::string got;
        WaitFor([&] {
            got += socket_.readAll().toStdString();
            if (got.size() < 4 || !got.ends_with("\r\n"))
                return false;
            const auto before = got.rfind("\r\n", got.size() - 3);
            const std::string last = before == std::string::npos ? got : got.substr(before + 2);
            return last.starts_with("OK") || last.starts_with("ERR");
        });
        return got;
    }

private:
    QTcpSocket socket_;
    bool connected_ = false;
};

// Every write of the HTTP API and the line protocol for a viewer, an
// operator and an admin token, and for loopback clients of a service
// started with --loopback-role viewer: what a role may not do answers 403
// (HTTP) or ERR (line) naming the role it needs and who asked, and nothing
// of it reaches any endpoint; what it may do is not refused for its role.
TEST_F(Service, EveryWriteOverHttpAndTheLineProtocolIsAllowedOrRefusedByRoleAndARefusalSendsNothing)
{
    const std::string rx = Device("198.18.2.70")["mac"].get<std::string>();
    const std::string tx = Device("198.18.1.1")["mac"].get<std::string>();
    const std::string scene = "matrix";
    struct Write {
        const char* method;
        std::string path, body;
        Role needs;
    };
    // Admin's own run saves the scene before it recalls and deletes it.
    const std::vector<Write> http = {
        {"PUT", "/api/v1/routes/" + rx, R"({"tx":")" + tx + R"("})", Role::Operator},
        {"POST", "/api/v1/routes", R"([{"rx":")" + rx + R"(","tx":")" + tx + R"("}])", Role::Operator},
        {"POST", "/api/v1/identify", R"({"on":false,"rx":[")" + rx + R"("]})", Role::Operator},
        {"PUT", "/api/v1/scenes/" + scene, R"({"routes":[{"rx":")" + rx + R"(","tx":")" + tx + R"("}]})", Role::Admin},
        {"POST", "/api/v1/scenes/" + scene + "/recall", "", Role::Operator},
        {"POST", "/api/v1/scenes/" + scene + "-captured/capture", "", Role::Admin},
        {"DELETE", "/api/v1/scenes/" + scene + "-captured", "", Role::Admin},
        {"DELETE", "/api/v1/scenes/" + scene, "", Role::Admin},
        {"PUT", "/api/v1/labels/" + tx, R"({"label":"Matrix"})", Role::Admin},
        {"DELETE", "/api/v1/labels/" + tx, "", Role::Admin},
        {"DELETE", "/api/v1/devices/" + rx, "", Role::Admin},
    };
    const std::vector<std::pair<std::string, Role>> lines = {
        {"route " + rx + " " + tx, Role::Operator},
        {"recall " + scene, Role::Operator},
        {"identify off " + rx, Role::Operator},
        {"forget " + rx, Role::Admin},
        {"devices", Role::Viewer},
        {"routes", Role::Viewer},
        {"scenes", Role::Viewer},
        {"history 1", Role::Viewer},
    };
    // Who asks: a token name (empty: loopback) and its role, on a client and
    // a line connection already authenticated.
    const auto walk = [&](const std::string& who, Role role, Client& client, Line& line) {
        const std::string asker = who.empty() ? std::string("loopback") : "token '" + who + "'";
        const std::string suffix = asker + " has " + Name(role);
        // The refusals first, all of them, then the wire.
        auto marks = WireMarks(*sim);
        std::size_t refusals = 0;
        for (const auto& w : http)
            if (w.needs > role) {
                ++refusals;
                const Reply r = client.Call(w.method, w.path, w.body);
                EXPECT_EQ(r.status, 403) << asker << " " << w.method << " " << w.path << " " << r.text;
                EXPECT_NE(r.text.find("needs the " + Name(w.needs) + " role; " + suffix), std::string::npos)
                    << asker << " " << w.path << " " << r.text;
            }
        for (const auto& [command, needs] : lines)
            if (needs > role) {
                ++refusals;
                EXPECT_EQ(line.Send(command), "ERR role: this needs the " + Name(needs) + " role; " + suffix + "\r\n")
                    << asker << " " << command;
            }
        EXPECT_EQ(WritesSince(*sim, marks), "") << asker << ": " << refusals << " refusals reached the wire";
        marks = WireMarks(*sim);
        for (const auto& w : http)
            if (w.needs <= role) {
                const Reply r = client.Call(w.method, w.path, w.body);
                EXPECT_NE(r.status, 401) << asker << " " << w.method << " " << w.path;
                EXPECT_NE(r.status, 403) << asker << " " << w.method << " " << w.path << " " << r.text;
            }
        // The same look at the wire sees what an allowed write sent.
        if (role != Role::Viewer) {
            EXPECT_NE(WritesSince(*sim, marks), "") << asker;
        }
        for (const auto& [command, needs] : lines)
            if (needs <= role) {
                const std::string got = line.Send(command);
                EXPECT_EQ(got.find("ERR role"), std::string::npos) << asker << " " << command << ": " << got;
                EXPECT_EQ(got.find("ERR auth"), std::string::npos) << asker << " " << command << ": " << got;
            }
    };

    for (const Role role : {Role::Viewer, Role::Operator, Role::Admin}) {
        const std::string name = "matrix-" + Name(role);
        Client c;
        c.token = AddToken(state, name, Name(role));
        ASSERT_EQ(c.token->size(), 64u);
        ASSERT_TRUE(WaitFor([&] { return c.Get("/api/v1/devices").status == 200; }, 5000)) << "never picked up";
        Line line(8471);
        ASSERT_TRUE(line.connected());
        ASSERT_EQ(line.Send("auth " + *c.token), "OK\r\n");
        walk(name, role, c, line);
    }

    // A second service on the same fleet, whose loopback clients are viewers.
    const std::string viewerState = TempDir("cv-svc-loopback-viewer");
    {
        Daemon viewers(viewerState,
                       {"--http", "127.0.0.1:8496", "--control", "127.0.0.1:8497", "--loopback-role", "viewer"});
        Client c("http://127.0.0.1:8496");
        ASSERT_TRUE(WaitFor([&] { return c.Get("/api/v1/devices").status == 200; }));
        Line line(8497);
        ASSERT_TRUE(line.connected());
        walk("", Role::Viewer, c, line);
    }
    std::filesystem::remove_all(viewerState);
    // The fleet as the other tests know it.
    ASSERT_EQ(client.Call("PUT", "/api/v1/routes/198.18.2.70", R"({"tx":"198.18.1.1"})").status, 200);
}

// Off loopback a token is required on every request and line. The old
// single token file keeps working: it becomes an admin token named
// "token", kept only as a hash.
TEST(ServiceToken, ARequestFromTheNetworkWithoutTheTokenGets401AndTheOldTokenFileStillWorks)
{
    cv::sim::SimProcess sim({"--tx", "1", "--rx", "1"});
    ASSERT_TRUE(sim.start()) << sim.error();
    const std::string state = TempDir("cv-svc-token");
    const std::string token(64, 'c');
    std::ofstream(state + "/token") << token << "\n";
    ::chmod((state + "/token").c_str(), 0600);
    Daemon d(state, {"--http", "198.18.0.1:8480", "--control", "198.18.0.1:8481"});
    Client c("http://198.18.0.1:8480");
    ASSERT_TRUE(WaitFor([&] { return c.Get("/api/v1/health").status == 401; }));
    EXPECT_FALSE(std::filesystem::exists(state + "/token"));
    struct stat st { };
    ASSERT_EQ(::stat((state + "/tokens.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::ifstream stored(state + "/tokens.json");
    const std::string text((std::istreambuf_iterator<char>(stored)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.find(token), std::string::npos) << "only its hash is kept";
    EXPECT_NE(text.find("\"token\""), std::string::npos);
    EXPECT_EQ(c.Call("PUT", "/api/v1/routes/198.18.2.1", R"({"tx":"198.18.1.1"})").status, 401);
    c.token = token;
    c.token->back() = token.back() == '0' ? '1' : '0';
    EXPECT_EQ(c.Get("/api/v1/devices").status, 401);
    // The stream alone also takes the token in its query, for EventSource.
    c.token.reset();
    EXPECT_EQ(c.Get("/api/v1/devices?token=" + token).status, 401);
    EXPECT_EQ(c.Get("/api/v1/events?token=" + std::string(token.size(), '0')).status, 401);
    EXPECT_EQ(c.Get("/").status, 200);  // the page, which then asks for the token
    QNetworkReply* stream = c.Stream("/api/v1/events?token=" + token);
    QByteArray events;
    QObject::connect(stream, &QNetworkReply::readyRead, [&] { events += stream->readAll(); });
    EXPECT_TRUE(WaitFor([&] { return events.contains(": connected"); }));
    stream->abort();
    stream->deleteLater();
    c.token = token;
    ASSERT_TRUE(WaitFor([&] { return Ready(c.Get("/api/v1/health")); }));
    EXPECT_EQ(c.Get("/api/v1/devices").status, 200);
    EXPECT_TRUE(OnlyPolled(sim, {"198.18.2.1"}));

    QTcpSocket s;
    s.connectToHost("198.18.0.1", 8481);
    ASSERT_TRUE(s.waitForConnected(10000));
    QByteArray got;
    s.write("devices\nauth wrong\nauth " + QByteArray::fromStdString(token) + "\nroutes\n");
    ASSERT_TRUE(WaitFor([&] {
        got += s.readAll();
        return got.contains("ROUTE ");
    })) << got.toStdString();
    EXPECT_TRUE(got.startsWith("ERR auth <token> first\r\nERR wrong token\r\nOK\r\n")) << got.toStdString();
    std::filesystem::remove_all(state);
}

// Corrupt state files, as a full disk or a careless hand leaves them: each is
// named the same way everywhere, without a path of the host, the others
// keep working, and labels can be written again.
TEST(ServiceState, CorruptScenesAndLabelsAreNamedAlikeEverywhereAndTheRestKeepsWorking)
{
    cv::sim::SimProcess sim({"--tx", "2", "--rx", "1"});
    ASSERT_TRUE(sim.start()) << sim.error();
    const std::string state = TempDir("cv-svc-corrupt");
    std::filesystem::create_directories(state + "/scenes");
    std::ofstream(state + "/scenes/good.json") << R"({"routes":[]})";
    std::ofstream(state + "/scenes/broken.json") << R"({"routes":[{"rx":)";
    std::ofstream(state + "/labels.json") << "[not an object";
    Daemon d(state, {"--http", "127.0.0.1:8493", "--control", "127.0.0.1:8494"});
    Client c("http://127.0.0.1:8493");
    ASSERT_TRUE(WaitFor([&] { return Ready(c.Get("/api/v1/health")); }));

    const Reply health = c.Get("/api/v1/health");
    const std::string problems = health.body["problems"].dump();
    EXPECT_NE(problems.find("scenes/broken.json"), std::string::npos) << problems;
    EXPECT_NE(problems.find("labels.json"), std::string::npos) << problems;
    EXPECT_EQ(problems.find(state), std::string::npos) << "a path of the host: " << problems;

    // The scene lists agree: the broken one is in neither.
    const Reply scenes = c.Get("/api/v1/scenes");
    ASSERT_EQ(scenes.status, 200);
    ASSERT_EQ(scenes.body.size(), 1u) << scenes.text;
    EXPECT_EQ(scenes.body[0]["name"], "good");
    QTcpSocket line;
    line.connectToHost("127.0.0.1", 8494);
    ASSERT_TRUE(line.waitForConnected(10000));
    line.write("scenes\n");
    QByteArray listed;
    ASSERT_TRUE(WaitFor([&] {
        listed += line.readAll();
        return listed.endsWith("OK\r\n") || listed.contains("ERR");
    }));
    EXPECT_EQ(listed.toStdString(), "SCENE good\r\nOK\r\n");

    // Reading the broken scene says what is wrong, not where it is.
    const Reply broken = c.Get("/api/v1/scenes/broken");
    EXPECT_EQ(broken.text.find(state), std::string::npos) << broken.text;
    EXPECT_EQ(c.Call("POST", "/api/v1/scenes/good/recall").status, 200);
    // Labels: written again over the broken file.
    const std::string tx = [&] {
        for (const auto& dev : c.Get("/api/v1/devices").body)
            if (dev["kind"] == "tx")
                return dev["mac"].get<std::string>();
        return std::string();
    }();
    EXPECT_EQ(c.Call("PUT", "/api/v1/labels/" + tx, R"({"label":"Lectern"})").status, 200);
    EXPECT_EQ(c.Get("/api/v1/labels").body[tx], "Lectern");
    std::filesystem::remove_all(state);
}

// A state directory that cannot be written: saving says why, routing works.
TEST(ServiceState, AReadOnlyStateDirectoryFailsSavesClearlyAndRoutesStillGo)
{
    cv::sim::SimProcess sim({"--tx", "2", "--rx", "1"});
    ASSERT_TRUE(sim.start()) << sim.error();
    const std::string state = TempDir("cv-svc-ro");
    // Root writes through any mode; a file where the scenes go stops it.
    std::ofstream(state + "/scenes") << "in the way";
    Daemon d(state, {"--http", "127.0.0.1:8490", "--control", "off"});
    Client c("http://127.0.0.1:8490");
    ASSERT_TRUE(WaitFor([&] { return Ready(c.Get("/api/v1/health")); }));
    const Reply saved = c.Call("POST", "/api/v1/scenes/a/capture");
    EXPECT_EQ(saved.status, 500);
    EXPECT_NE(saved.body["error"].get<std::string>().find("scenes"), std::string::npos) << saved.text;
    EXPECT_EQ(c.Call("PUT", "/api/v1/routes/198.18.2.1", R"({"tx":"198.18.1.2"})").status, 200);
    std::filesystem::remove_all(state);
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
