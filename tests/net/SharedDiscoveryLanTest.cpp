// Every Cortavia program of one workstation at once, as an integrator's day
// has them: cortaviad polling every second, cortavia-cli scans a few tenths
// of a second apart and two at the same moment, and the window's Scan. The
// firmware answers to one fixed port, so each program must get every
// answer of its own round, and the service must see nobody go offline.
#include "SimProcess.h"
#include "net/Session.h"
#include "platform/Controls.h"
#include "tests/service/ServiceClient.h"
#include "tests/support/TestSupport.h"
#include "ui/CortaviaDlg.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

using cv::sim::SimProcess;
using namespace cv::service_test;
using testing_support::MakeMainWindow;
using testing_support::PumpUntil;
using testing_support::ScriptedMessageBoxes;

namespace {

constexpr int kEndpoints = 22;

std::unique_ptr<QProcess> StartScan()
{
    auto p = std::make_unique<QProcess>();
    p->start(CV_CLI_PATH, {"scan", "--json"});
    return p;
}

// Exit status, the endpoints listed, and how many answered its own round.
struct ScanOutcome {
    int exit = -1;
    std::size_t listed = 0;
    std::string err;
};

ScanOutcome Finish(QProcess& p)
{
    WaitFor([&] { return p.state() == QProcess::NotRunning; });
    ScanOutcome o;
    o.exit = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    const Json list = Json::parse(p.readAllStandardOutput().toStdString(), nullptr, false);
    o.listed = list.is_array() ? list.size() : 0;
    o.err = p.readAllStandardError().toStdString();
    return o;
}

class SharedDiscovery : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(SimProcess::lanNamespace().empty()) << "run inside scripts/testlan.sh";
        sim = std::make_unique<SimProcess>(std::vector<std::string>{"--tx", "2", "--rx", "20"});
        ASSERT_TRUE(sim->start()) << sim->error();
        state = (std::filesystem::temp_directory_path() / ("cv-shared-" + std::to_string(::getpid()))).string();
        std::filesystem::create_directories(state);
        daemon =
            std::make_unique<Daemon>(state, std::vector<std::string>{"--http", "127.0.0.1:8475", "--control", "off"});
        ASSERT_TRUE(WaitFor([&] {
            const Reply r = client.Get("/api/v1/health");
            return Ready(r) && r.body.value("online", 0) == kEndpoints;
        })) << "the service never saw the fleet";
        stream = client.Stream();
        QObject::connect(stream, &QNetworkReply::readyRead, [this] { events += stream->readAll(); });
        ASSERT_TRUE(WaitFor([&] { return events.contains(": connected"); }));
    }
    void TearDown() override
    {
        if (stream)
            stream->abort();
        daemon.reset();
        sim.reset();
        std::filesystem::remove_all(state);
    }

    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<Daemon> daemon;
    std::string state;
    Client client{"http://127.0.0.1:8475"};
    QNetworkReply* stream = nullptr;
    QByteArray events;
};

TEST_F(SharedDiscovery, TenScansTwoAtOnceAndAWindowScanBesideTheServiceRaiseNoOfflineAndEachGetsEveryAnswer)
{
    std::vector<std::unique_ptr<QProcess>> scans;
    for (int i = 0; i < 10; ++i) {
        scans.push_back(StartScan());
        WaitFor([] { return false; }, 300);
    }
    // Two at the same moment.
    scans.push_back(StartScan());
    scans.push_back(StartScan());

    ScriptedMessageBoxes boxes;
    auto dlg = MakeMainWindow();
    Scan(*dlg);
    EXPECT_TRUE(PumpUntil([&] {
        return dlg->List(IDC_TX_LIST)->GetItemCount() == 2 && dlg->List(IDC_RX_LIST)->GetItemCount() == 20;
    })) << "the window's Scan did not fill its lists";

    for (auto& p : scans) {
        const ScanOutcome o = Finish(*p);
        EXPECT_EQ(o.exit, 0) << o.err;
        EXPECT_EQ(o.listed, static_cast<std::size_t>(kEndpoints)) << o.err;
        EXPECT_NE(o.err.find("discovery: " + std::to_string(kEndpoints) + " answer(s)"), std::string::npos) << o.err;
    }
    // One more service round after the last scan, then the verdict.
    const int polls = client.Get("/api/v1/health").body["polls"].get<int>();
    ASSERT_TRUE(WaitFor([&] { return client.Get("/api/v1/health").body["polls"].get<int>() >= polls + 2; }));
    EXPECT_FALSE(events.contains("event: offline")) << events.toStdString();
    EXPECT_EQ(client.Get("/api/v1/health").body["online"], kEndpoints);
}

TEST_F(SharedDiscovery, AProgramOutsideCortaviaOnTheReplyPortIsNamedAndNothingGoesOffline)
{
    // A foreign tool that shares the port, as address reuse allows.
    const int foreign = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    ::setsockopt(foreign, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(3334);
    ASSERT_EQ(::bind(foreign, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);

    ASSERT_TRUE(WaitFor([&] { return client.Get("/api/v1/health").body["status"] == "degraded"; }));
    const Reply health = client.Get("/api/v1/health");
    const std::string discovery = health.body["discovery"];
    EXPECT_NE(discovery.find("UDP port 3334 is held by"), std::string::npos) << discovery;
    EXPECT_NE(discovery.find("(pid " + std::to_string(::getpid()) + ")"), std::string::npos) << discovery;
    EXPECT_TRUE(WaitFor([&] { return events.contains("event: failed"); }));

    auto scan = StartScan();
    const ScanOutcome o = Finish(*scan);
    EXPECT_EQ(o.exit, 1);
    EXPECT_NE(o.err.find("UDP port 3334 is held by"), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find("no endpoint answered"), std::string::npos) << o.err;

    // Several rounds that could not ask: the fleet is as it was.
    const int polls = health.body["polls"].get<int>();
    ASSERT_TRUE(WaitFor([&] { return client.Get("/api/v1/health").body["polls"].get<int>() >= polls + 3; }));
    EXPECT_FALSE(events.contains("event: offline")) << events.toStdString();
    EXPECT_EQ(client.Get("/api/v1/health").body["online"], kEndpoints);

    ::close(foreign);
    EXPECT_TRUE(WaitFor([&] { return client.Get("/api/v1/health").body["status"] == "ok"; }));
}

}  // namespace
