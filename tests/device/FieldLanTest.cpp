// The workstation as it is in the field, with the real resolver and cards:
// the host name maps to 127.0.1.1, Debian's TFTP server may or may not be
// running, and an endpoint may never come back from a restart.
#include "device/Comeback.h"
#include "device/Device.h"
#include "lan/HostInfo.h"
#include "lan/Workstation.h"
#include "tests/support/FieldLan.h"

#include <QElapsedTimer>
#include <QTimer>
#include <arpa/inet.h>
#include <netdb.h>

#include <optional>
#include <random>

using cv::sim::SimProcess;
using namespace testing_support;
using namespace std::string_literals;

namespace {

constexpr const char* kWorkstation = "198.18.0.1";

class FieldLan : public ::testing::Test {
protected:
    void Start(std::vector<std::string> args)
    {
        sim = std::make_unique<SimProcess>(std::move(args));
        ASSERT_TRUE(sim->start()) << sim->error();
        dlg = MakeMainWindow();
    }
    void Select(bool tx, const std::string& address)
    {
        ip = address;
        SelectEndpoint(*dlg, *sim, tx, address);
        boxes.Clear();
    }
    std::string Sent() const { return sim->wireBytes(ip).substr(kDetailLines.size()); }
    // Upgrade as the button runs it; returns what it printed and how long
    // the window was held.
    std::string RunUpgrade(qint64* heldMs = nullptr)
    {
        QElapsedTimer held;
        held.start();
        ::testing::internal::CaptureStdout();
        Upgrade(*dlg);
        const std::string printed = ::testing::internal::GetCapturedStdout();
        if (heldMs)
            *heldMs = held.elapsed();
        // The wait is stepped by calling OnTimer, never by its real ticks.
        if (dlg->IsTimerRunning(TIMER_UPGRADE))
            dlg->SetTimer(TIMER_UPGRADE, 3600 * 1000);
        return printed;
    }
    void StepWait(int timer, int ticks)
    {
        dlg->SetTimer(timer, 3600 * 1000);
        for (int i = 0; i < ticks; ++i)
            dlg->OnTimer(timer);
    }
    bool DeviceButtonsEnabled() { return EnabledDeviceButtons(*dlg) == 4; }

    ScriptedMessageBoxes boxes;
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<CMyCortaviaDlg> dlg;
    std::string ip;
};

std::string RandomFirmware()
{
    std::string firmware(70000, '\0');
    std::mt19937 random(7);
    for (char& c : firmware)
        c = static_cast<char>(random());
    return firmware + "\r\n\n\r\0tail"s;  // what netascii would mangle
}

}  // namespace

// --- The address the workstation is known by --------------------------------------

TEST_F(FieldLan, TheHostNameResolvesToLoopbackYetTheCaptionShowsTheCardAddress)
{
    char name[256] = {};
    ASSERT_EQ(::gethostname(name, sizeof name - 1), 0);
    const hostent* entry = ::gethostbyname(name);
    ASSERT_NE(entry, nullptr) << "the test LAN's hosts file names this host";
    EXPECT_EQ(::inet_ntoa(*reinterpret_cast<in_addr*>(entry->h_addr_list[0])), "127.0.1.1"s);

    // Whether the name fits the caption's buffer or not, it gives only
    // loopback here, and the one card stands in.
    Start({"--tx", "1", "--rx", "1"});
    EXPECT_EQ(dlg->windowTitle(), "KAV PM3TA-PM3RA Control Center - 198.18.0.1");
}

TEST_F(FieldLan, ScanOnOneCardSendsExactlyOneQuery)
{
    Start({"--tx", "1", "--rx", "2"});
    Scan(*dlg);
    ASSERT_TRUE(PumpUntil([&] { return dlg->List(IDC_RX_LIST)->GetItemCount() == 2; }));
    const std::string log = sim->discoveryLog();
    std::size_t queries = 0;
    for (std::size_t at = log.find("bytes="); at != std::string::npos; at = log.find("bytes=", at + 1))
        ++queries;
    EXPECT_EQ(queries, 1u) << log;
    EXPECT_NE(log.find("from 198.18.0.1:"), std::string::npos) << log;
}

// --- Upgrade --------------------------------------------------------------------------

TEST_F(FieldLan, UpgradeHandsTheEndpointTheServedFileByteForByteAndSucceedsOnceItIsBack)
{
    TftpServer server;
    const std::string firmware = RandomFirmware();
    server.Put("webfwc.bin", firmware);
    ASSERT_TRUE(server.Start());
    Start({"--node", "rx ip=198.18.2.1 channel=0001", "--reboot-delay", "300"});
    Select(false, "198.18.2.1");

    EXPECT_EQ(RunUpgrade(), "198.18.0.1\n") << "the session's own address, not the host name's 127.0.1.1";
    const std::string lines = UpgradeLines(kWorkstation, "webfwc.bin");
    ASSERT_TRUE(PumpUntil([&] { return Sent().size() >= lines.size(); }));
    EXPECT_EQ(Sent(), lines);
    ASSERT_TRUE(sim->waitForEvent(ip, "update_fw fw.tar.gz", std::chrono::seconds(30))) << sim->events(ip);
    EXPECT_EQ(ReadWholeFile(std::filesystem::path(sim->stateDir()) / ip / "shm" / "fw.tar.gz"), firmware);
    PumpEvents(300);
    EXPECT_TRUE(boxes.Shown().empty()) << "no advice: "
                                       << (boxes.Shown().empty() ? "" : boxes.Texts()[0].toStdString());
    EXPECT_FALSE(DeviceButtonsEnabled());

    StepWait(TIMER_UPGRADE, 500);
    EXPECT_FALSE(dlg->IsTimerRunning(TIMER_UPGRADE));
    ASSERT_TRUE(PumpUntil([&] { return !boxes.Shown().empty(); }));
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{"Upgrade firmware success."});
}

TEST_F(FieldLan, UpgradeWithNoTftpServerAdvisesWithinTwoSecondsAndSendsNothing)
{
    Start({"--node", "rx ip=198.18.2.1 channel=0001"});
    Select(false, "198.18.2.1");
    qint64 held = 0;
    EXPECT_EQ(RunUpgrade(&held), "198.18.0.1\n");
    std::printf("[ figure ] TFTP check with no server held the window %lld ms\n", static_cast<long long>(held));
    EXPECT_LT(held, 10000) << "it ends, bounded by the 2 s check";
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{"Please run TFTP server."});
    EXPECT_EQ(boxes.Shown()[0].flags, platform::MB_OK | platform::MB_ICONERROR);
    EXPECT_FALSE(dlg->IsTimerRunning(TIMER_UPGRADE));
    EXPECT_TRUE(DeviceButtonsEnabled());
    PumpEvents(300);
    EXPECT_EQ(Sent(), "") << "nothing reaches the endpoint";
}

TEST_F(FieldLan, UpgradeWithTheFileMissingAdvisesPuttingItThereAndSendsNothing)
{
    TftpServer server;  // serving an empty directory
    ASSERT_TRUE(server.Start());
    Start({"--node", "tx ip=198.18.1.1 channel=0000"});
    Select(true, "198.18.1.1");
    qint64 held = 0;
    RunUpgrade(&held);
    std::printf("[ figure ] TFTP check with the file missing took %lld ms\n", static_cast<long long>(held));
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{"Please put webfwh.bin into TFTP server diretory."});
    EXPECT_EQ(boxes.Shown()[0].flags, platform::MB_OK | platform::MB_ICONERROR);
    EXPECT_FALSE(dlg->IsTimerRunning(TIMER_UPGRADE));
    EXPECT_TRUE(DeviceButtonsEnabled());
    PumpEvents(300);
    EXPECT_EQ(Sent(), "");
}

// The server gives the file to us, but the endpoint's own fetch fails: its
// report is still turned into advice and ends the wait at the next tick.
TEST_F(FieldLan, AnEndpointsOwnFetchFailureIsStillAdvisedAndEndsTheWait)
{
    TftpServer server;
    server.Put("webfwc.bin", "firmware");
    ASSERT_TRUE(server.Start());
    Start({"--node", "rx ip=198.18.2.1 channel=0001", "--tftp", "notfound"});
    Select(false, "198.18.2.1");
    RunUpgrade();
    ASSERT_TRUE(PumpUntil([&] { return !boxes.Shown().empty(); })) << sim->events(ip);
    EXPECT_EQ(boxes.Texts()[0], "Please put webfwc.bin into TFTP server diretory.");
    EXPECT_TRUE(dlg->IsTimerRunning(TIMER_UPGRADE));
    dlg->OnTimer(TIMER_UPGRADE);
    EXPECT_FALSE(dlg->IsTimerRunning(TIMER_UPGRADE));
    EXPECT_TRUE(DeviceButtonsEnabled());
}

// --- Reboot -------------------------------------------------------------------------------

TEST_F(FieldLan, AnEndpointThatNeverComesBackGetsNoRebootSuccess)
{
    Start({"--node", "rx ip=198.18.2.1 channel=0001", "--reboot-delay", "600000"});
    Select(false, "198.18.2.1");
    Reboot(*dlg);
    ASSERT_TRUE(sim->waitForEvent(ip, "down 600000ms")) << sim->events(ip);
    StepWait(TIMER_REBOOT, 24);
    EXPECT_TRUE(boxes.Shown().empty());
    QElapsedTimer probe;
    probe.start();
    dlg->OnTimer(TIMER_REBOOT);
    ASSERT_TRUE(PumpUntil([&] { return !boxes.Shown().empty(); }));
    std::printf("[ figure ] reboot probe of an endpoint that stays down: %lld ms\n",
                static_cast<long long>(probe.elapsed()));
    ASSERT_EQ(boxes.Texts().size(), 1u);
    EXPECT_EQ(boxes.Texts()[0],
              "The endpoint 198.18.2.1 did not come back after the reboot. Check its power and "
              "network, then scan again.");
    EXPECT_EQ(boxes.Shown()[0].flags, platform::MB_OK | platform::MB_ICONWARNING);
}

TEST_F(FieldLan, AnEndpointBackFromItsRebootIsReportedAsSuccessAndTheWindowStaysLive)
{
    Start({"--node", "rx ip=198.18.2.1 channel=0001", "--reboot-delay", "300"});
    Select(false, "198.18.2.1");
    Reboot(*dlg);
    ASSERT_TRUE(sim->waitForEvent(ip, "down 300ms"));
    EXPECT_EQ(Sent(), "reboot\r\n\0"s);
    ASSERT_TRUE(sim->waitForEvent(ip, "\nup\n", std::chrono::seconds(30))) << sim->events(ip);
    QElapsedTimer probe;
    probe.start();
    StepWait(TIMER_REBOOT, 25);
    EXPECT_TRUE(boxes.Shown().empty()) << "the check reports from the event loop, it does not hold the tick";
    ASSERT_TRUE(PumpUntil([&] { return !boxes.Shown().empty(); }));
    std::printf("[ figure ] reboot probe of an endpoint that is back: %lld ms\n",
                static_cast<long long>(probe.elapsed()));
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{"Reboot success"});
}

// A real endpoint brings its network up before its shell: the first tries
// are refused, and the check keeps trying within its time-out.
TEST_F(FieldLan, AnEndpointThatRefusesForTheFirstSecondAndAHalfOfTheCheckIsReportedAsSuccess)
{
    Start({"--node", "rx ip=198.18.2.1 channel=0001", "--reboot-delay", "1500"});
    Select(false, "198.18.2.1");
    Reboot(*dlg);
    ASSERT_TRUE(sim->waitForEvent(ip, "down 1500ms")) << sim->events(ip);
    QElapsedTimer probe;
    probe.start();
    // The wait's ticks at once: the check starts while the shell refuses.
    StepWait(TIMER_REBOOT, 25);
    ASSERT_TRUE(PumpUntil([&] { return !boxes.Shown().empty(); }));
    std::printf("[ figure ] reboot probe of an endpoint that refuses while it starts: %lld ms\n",
                static_cast<long long>(probe.elapsed()));
    EXPECT_TRUE(sim->events(ip).find("\nup\n") != std::string::npos) << sim->events(ip);
    EXPECT_GE(probe.elapsed(), 500) << "the endpoint was still down when the check began";
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{"Reboot success"});
}

TEST_F(FieldLan, RebootAfterTheEndpointDroppedTheSessionSaysToScanAgain)
{
    Start({"--node", "rx ip=198.18.2.1 channel=0001", "--reboot-delay", "600000"});
    Select(false, "198.18.2.1");
    Reboot(*dlg);
    ASSERT_TRUE(sim->waitForEvent(ip, "down 600000ms"));
    ASSERT_TRUE(PumpUntil([&] { return ConnectedEndpoint(dlg->Slot(0)).isEmpty(); }));
    dlg->KillTimer(TIMER_REBOOT);  // as if the first wait had ended
    boxes.Clear();
    Reboot(*dlg);
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{"Reboot fail, please scan again."});
    EXPECT_FALSE(dlg->IsTimerRunning(TIMER_REBOOT));
    EXPECT_TRUE(DeviceButtonsEnabled());
}

// An endpoint without power answers nothing at all: the check gives up
// after its 3 s, and the window keeps running meanwhile.
TEST_F(FieldLan, ACheckOfAnAddressNobodyAnswersEndsAfterItsTimeOut)
{
    int ticks = 0;
    QTimer alive;
    QObject::connect(&alive, &QTimer::timeout, [&] { ++ticks; });
    alive.start(100);
    std::optional<bool> back;
    QElapsedTimer took;
    took.start();
    ComebackCheck check("198.18.0.77", std::chrono::seconds(3), [&](bool cameBack) { back = cameBack; });
    ASSERT_TRUE(PumpUntil([&] { return back.has_value(); }));
    std::printf("[ figure ] check of a silent address ended after %lld ms\n", static_cast<long long>(took.elapsed()));
    EXPECT_FALSE(*back);
    EXPECT_GT(ticks, 5) << "events kept flowing while it waited";
}
