// Apply, Factory Default and Upgrade against simulated endpoints in the test
// LAN, checked on the simulator's wire log byte for byte. Pauses are real
// here: the session needs them to come up before the login line.
#include "SimProcess.h"
#include "device/Device.h"
#include "net/Session.h"
#include "nodes/Firmware.h"
#include "platform/Controls.h"
#include "lan/HostInfo.h"
#include "tests/support/FieldLan.h"
#include "tests/support/TestSupport.h"
#include "ui/CortaviaDlg.h"
#include "wall/Wall.h"

#include <QAbstractButton>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

using cv::sim::SimProcess;
using testing_support::MakeMainWindow;
using testing_support::PumpEvents;
using testing_support::PumpUntil;
using testing_support::ScriptedMessageBoxes;
using namespace std::string_literals;
namespace fs = std::filesystem;

namespace {

using testing_support::kDetailLines;
const QString kRule = QString::fromStdU16String(std::u16string(cv::nodes::kHostnameIdRuleMessage));
const QString kApplySuccess = "Apply successfully";
const QString kRebootQuestion = "Warning: Reboot for new settings to take effect?";

class DeviceLan : public ::testing::Test {
protected:
    void SetUp() override
    {
        previousHost = cv::lan::SetHostInfo(
            {[](char* buf, std::size_t len) {
                 std::snprintf(buf, len, "workstation");
                 return 0;
             },
             [](const std::string&, int, int) {
                 return std::vector<cv::lan::ResolvedAddress>{{AF_INET, "198.18.0.1"}, {AF_INET6, "fd00::1"}};
             }});
    }
    void TearDown() override { cv::lan::SetHostInfo(previousHost); }

    void Start(std::vector<std::string> args)
    {
        sim = std::make_unique<SimProcess>(std::move(args));
        ASSERT_TRUE(sim->start()) << sim->error();
        dlg = MakeMainWindow();
    }

    // What a click on the endpoint's row does, then wait until the panel is
    // filled, the dump's prompt is in and the selection wait is over.
    void Select(bool tx, const std::string& address)
    {
        ip = address;
        testing_support::SelectEndpoint(*dlg, *sim, tx, address);
        boxes.Clear();
    }

    std::string Sent() const { return sim->wireBytes(ip).substr(kDetailLines.size()); }
    // Waits for `bytes` after the detail query's lines; a little longer when
    // nothing at all is expected, so that a stray line would show.
    std::string SentAfterWaiting(const std::string& bytes)
    {
        if (bytes.empty())
            PumpEvents(300);
        else
            PumpUntil([&] { return Sent().size() >= bytes.size(); });
        return Sent();
    }
    void Click(int id) { qobject_cast<QAbstractButton*>(dlg->GetDlgItem(id))->click(); }
    QString RxCell(int column) { return dlg->List(IDC_RX_LIST)->GetItemText(0, column); }
    bool AnyDeviceButtonEnabled() { return testing_support::EnabledDeviceButtons(*dlg) > 0; }

    ScriptedMessageBoxes boxes;
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<CMyCortaviaDlg> dlg;
    std::string ip;
    cv::lan::HostInfo previousHost;
};

const std::vector<std::string> kAutoIpReceiver = {
    "--node", "rx ip=198.18.2.1 hostname_id=rx-001 channel=0003 multicast=y ip_mode=autoip"};

// --- Apply ----------------------------------------------------------------------

TEST_F(DeviceLan, NothingChangedWithAutoIpSendsNoLineAndReportsSuccess)
{
    Start(kAutoIpReceiver);
    Select(false, "198.18.2.1");
    Apply(*dlg);
    EXPECT_EQ(SentAfterWaiting(""), "");
    ASSERT_EQ(boxes.Texts(), std::vector<QString>{kApplySuccess});
    EXPECT_EQ(boxes.Shown()[0].flags, platform::MB_OK | platform::MB_ICONINFORMATION);
}

TEST_F(DeviceLan, NothingChangedWithStaticStillSendsTheFiveStaticLinesWithoutTheRebootQuestion)
{
    Start({"--node", "rx ip=198.18.2.1 channel=0001 ip_mode=static netmask=255.255.0.0 gateway=198.18.0.1"});
    Select(false, "198.18.2.1");
    ASSERT_EQ(dlg->m_nRecordedIpRadio, IDC_STATIC);
    const std::string staticLines =
        "astparam s ipaddr 198.18.2.1\r\nastparam s netmask 255.255.0.0\r\nastparam s gatewayip 198.18.0.1\r\n"
        "astparam s ip_mode static\r\nastparam save\r\n";
    Apply(*dlg);
    EXPECT_EQ(SentAfterWaiting(staticLines), staticLines);
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{kApplySuccess});

    // The recorded radio now holds Static, and Static is written every time.
    boxes.Clear();
    Apply(*dlg);
    EXPECT_EQ(SentAfterWaiting(staticLines + staticLines), staticLines + staticLines);
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{kApplySuccess});
}

TEST_F(DeviceLan, OnlyTheChannelChangedSendsThreeLinesEachWithItsZeroAndUpdatesTheRow)
{
    Start(kAutoIpReceiver);
    Select(false, "198.18.2.1");
    ASSERT_EQ(dlg->Combo(IDC_CHANNEL)->GetCurSel(), 3);
    dlg->Combo(IDC_CHANNEL)->SetCurSel(42);
    Apply(*dlg);
    const std::string lines = "astparam s reset_ch_on_boot n\r\n\0astparam save\r\n\0e e_reconnect::0042\r\n\0"s;
    EXPECT_EQ(SentAfterWaiting(lines), lines);
    EXPECT_EQ(RxCell(2), "0042");
    EXPECT_EQ(dlg->m_strChannel, "0042");
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{kApplySuccess});

    boxes.Clear();
    Apply(*dlg);
    EXPECT_EQ(SentAfterWaiting(lines), lines) << "the applied channel is the new reference";
}

TEST_F(DeviceLan, OnlyTheHostnameOfAReceiverChangedSendsThreeLinesWithoutZeros)
{
    Start(kAutoIpReceiver);
    Select(false, "198.18.2.1");
    ASSERT_EQ(dlg->GetDlgItemText(IDC_HOSTNAME_ID), "rx-001");
    dlg->SetDlgItemText(IDC_HOSTNAME_ID, "lobby-2");
    Apply(*dlg);
    std::string lines = "astparam s hostname_id lobby-2\r\ne e_chg_hostname\r\nastparam save\r\n";
    EXPECT_EQ(SentAfterWaiting(lines), lines);
    EXPECT_EQ(RxCell(4), "lobby-2");
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{kApplySuccess});

    // The longest accepted id fills the 50-byte line buffer to its last byte.
    const std::string longest(24, 'z');
    dlg->SetDlgItemText(IDC_HOSTNAME_ID, QString::fromStdString(longest));
    Apply(*dlg);
    const std::string line = "astparam s hostname_id " + longest + "\r\n";
    ASSERT_EQ(line.size(), 49u);
    lines += line + "e e_chg_hostname\r\nastparam save\r\n";
    EXPECT_EQ(SentAfterWaiting(lines), lines);
}

// Clicking Static, dropping the receiver on the wall and the quick layout
// each read the controls; the edit typed before them still goes out.
TEST_F(DeviceLan, AHostnameEditSurvivesAStaticClickADropAndAQuickLayoutOnTheWire)
{
    Start(kAutoIpReceiver);
    Select(false, "198.18.2.1");
    const std::string staticLines =
        "astparam s ipaddr 198.18.2.50\r\nastparam s netmask 255.255.0.0\r\nastparam s gatewayip 198.18.0.1\r\n"
        "astparam s ip_mode static\r\nastparam save\r\n";
    const auto hostnameLines = [](const std::string& id) {
        return "astparam s hostname_id " + id + "\r\ne e_chg_hostname\r\nastparam save\r\n";
    };
    const std::string wallSession = "root\r\ne e_vw_enable_0_0_2000_2000_2\r\n";  // cell 0_0 of 5 x 5

    dlg->SetDlgItemText(IDC_HOSTNAME_ID, "lobby-2");
    Click(IDC_STATIC);
    dlg->IpAddress(IDC_IP_ADDRESS)->SetAddressText("198.18.2.50");
    Apply(*dlg);
    std::string lines = hostnameLines("lobby-2") + staticLines;
    EXPECT_EQ(SentAfterWaiting(lines), lines);
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{kRebootQuestion});
    EXPECT_TRUE(sim->waitForEvent(ip, "hostname lobby-2")) << sim->events(ip);

    dlg->SetDlgItemText(IDC_HOSTNAME_ID, "lobby-3");
    dlg->m_nDragRow = 0;
    Drop(*dlg, GridButtonId(0, 0));
    PumpEvents(200);  // the receiver's answers arrive and are shown
    Apply(*dlg);
    lines += wallSession + hostnameLines("lobby-3") + staticLines;
    EXPECT_EQ(SentAfterWaiting(lines), lines);
    EXPECT_TRUE(sim->waitForEvent(ip, "hostname lobby-3")) << sim->events(ip);

    dlg->SetDlgItemText(IDC_HOSTNAME_ID, "lobby-4");
    QuickLayout(*dlg);
    PumpEvents(200);
    Apply(*dlg);
    lines += wallSession + hostnameLines("lobby-4") + staticLines;
    EXPECT_EQ(SentAfterWaiting(lines), lines);
    EXPECT_TRUE(sim->waitForEvent(ip, "hostname lobby-4")) << sim->events(ip);
    EXPECT_EQ(RxCell(4), "lobby-4");
}

TEST_F(DeviceLan, MulticastToUnicastSendsTheZeroTerminatedLineThenSaveAndAsksToReboot)
{
    Start(kAutoIpReceiver);
    Select(false, "198.18.2.1");
    ASSERT_EQ(dlg->m_nRecordedCastRadio, IDC_MULTICAST);
    dlg->CheckRadioButton(IDC_MULTICAST, IDC_UNICAST, IDC_UNICAST);
    boxes.Answer(platform::IDYES);
    Apply(*dlg);
    const std::string multicast = "astparam s multicast_on n\r\n\0"s;
    const std::string save = "astparam save\r\n";
    const std::string reboot = "reboot\r\n\0"s;
    ASSERT_EQ(multicast.size(), 28u);
    ASSERT_EQ(save.size(), 15u);
    EXPECT_EQ(SentAfterWaiting(multicast + save + reboot), multicast + save + reboot);
    EXPECT_EQ(RxCell(1), "n");
    ASSERT_EQ(boxes.Texts(), std::vector<QString>{kRebootQuestion});
    EXPECT_EQ(boxes.Shown()[0].flags, platform::MB_YESNO | platform::MB_ICONWARNING);
    EXPECT_TRUE(dlg->IsTimerRunning(TIMER_REBOOT));
    EXPECT_TRUE(sim->waitForEvent(ip, "reboot"));
}

TEST_F(DeviceLan, StaticWithTheDevicesOwnAddressesIsWrittenButNeedsNoReboot)
{
    Start({"--node", "rx ip=198.18.2.1 channel=0001 ip_mode=dhcp netmask=255.255.0.0 gateway=198.18.0.1"});
    Select(false, "198.18.2.1");
    ASSERT_EQ(dlg->m_nRecordedIpRadio, IDC_DHCP);
    Click(IDC_STATIC);
    ASSERT_EQ(dlg->IpAddress(IDC_IP_ADDRESS)->AddressText(), "198.18.2.1") << "its own address, pinned";
    dlg->IpAddress(IDC_IP_ADDRESS)->SetAddressText("198.18.2.1");
    dlg->IpAddress(IDC_SUBNET_MASK)->SetAddressText("255.255.0.0");
    dlg->IpAddress(IDC_GATEWAY)->SetAddressText("198.18.0.1");
    Apply(*dlg);
    const std::string lines =
        "astparam s ipaddr 198.18.2.1\r\nastparam s netmask 255.255.0.0\r\nastparam s gatewayip 198.18.0.1\r\n"
        "astparam s ip_mode static\r\nastparam save\r\n";
    EXPECT_EQ(SentAfterWaiting(lines), lines);
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{kApplySuccess});
    EXPECT_EQ(dlg->m_nRecordedIpRadio, IDC_STATIC);
}

TEST_F(DeviceLan, StaticWithNewAddressesAsksToRebootAndNoSendsNoReboot)
{
    Start({"--node", "rx ip=198.18.2.1 channel=0001 ip_mode=autoip"});
    Select(false, "198.18.2.1");
    Click(IDC_STATIC);
    dlg->IpAddress(IDC_IP_ADDRESS)->SetAddressText("198.18.2.50");
    boxes.Answer(platform::IDNO);
    Apply(*dlg);
    const std::string lines =
        "astparam s ipaddr 198.18.2.50\r\nastparam s netmask 255.255.0.0\r\nastparam s gatewayip 198.18.0.1\r\n"
        "astparam s ip_mode static\r\nastparam save\r\n";
    EXPECT_EQ(SentAfterWaiting(lines), lines);
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{kRebootQuestion});
    PumpEvents(200);
    EXPECT_EQ(Sent(), lines);
    EXPECT_FALSE(dlg->IsTimerRunning(TIMER_REBOOT));
    EXPECT_EQ(dlg->List(IDC_RX_LIST)->GetItemText(0, 0), "198.18.2.1") << "Apply never rewrites the address column";
}

TEST_F(DeviceLan, AutoIpFromDhcpSendsTheModeLineAndSaveWithoutZeros)
{
    Start({"--node", "rx ip=198.18.2.1 channel=0001 ip_mode=dhcp"});
    Select(false, "198.18.2.1");
    Click(IDC_AUTO_IP);
    Apply(*dlg);
    const std::string lines = "astparam s ip_mode autoip\r\nastparam save\r\n";
    EXPECT_EQ(SentAfterWaiting(lines), lines);
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{kRebootQuestion});
}

TEST_F(DeviceLan, RefusedHostnameIdsSendNothingAndShowTheRule)
{
    Start(kAutoIpReceiver);
    Select(false, "198.18.2.1");
    dlg->Combo(IDC_CHANNEL)->SetCurSel(9);  // a change that would otherwise go out
    for (const QString& text : {QString("a;reboot"), QString("a b"), QString(25, QLatin1Char('x')),
                                QString("a\r\nreboot"), QString("$(reboot)"), QString(), QString("t\u00fcr")}) {
        SCOPED_TRACE(text.toStdString());
        dlg->SetDlgItemText(IDC_HOSTNAME_ID, text);
        boxes.Clear();
        Apply(*dlg);
        EXPECT_EQ(boxes.Texts(), std::vector<QString>{kRule});
        EXPECT_EQ(RxCell(4), "");
    }
    EXPECT_EQ(SentAfterWaiting(""), "");
    EXPECT_EQ(sim->events(ip).find("reboot"), std::string::npos);
}

TEST_F(DeviceLan, AHostnameTheDeviceReportedNeverBlocksAnApply)
{
    // Longer than the tool would accept, but the operator did not touch it.
    Start({"--node", "rx ip=198.18.2.1 hostname_id=receiver-in-the-main-lobby-01 channel=0003"});
    Select(false, "198.18.2.1");
    ASSERT_EQ(dlg->GetDlgItemText(IDC_HOSTNAME_ID), "receiver-in-the-main-lobby-01");
    dlg->Combo(IDC_CHANNEL)->SetCurSel(4);
    Apply(*dlg);
    const std::string lines = "astparam s reset_ch_on_boot n\r\n\0astparam save\r\n\0e e_reconnect::0004\r\n\0"s;
    EXPECT_EQ(SentAfterWaiting(lines), lines);
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{kApplySuccess});
}

TEST_F(DeviceLan, NoChannelSelectedStopsBeforeAnyLine)
{
    Start(kAutoIpReceiver);
    Select(false, "198.18.2.1");
    dlg->SetDlgItemText(IDC_HOSTNAME_ID, "lobby-2");
    dlg->Combo(IDC_CHANNEL)->SetCurSel(-1);
    dlg->m_bUpgradeWatch = 1;
    Apply(*dlg);
    EXPECT_EQ(SentAfterWaiting(""), "");
    ASSERT_EQ(boxes.Texts(), std::vector<QString>{"Select a channel before applying."});
    EXPECT_EQ(boxes.Shown()[0].flags, platform::MB_OK | platform::MB_ICONWARNING);
    EXPECT_EQ(dlg->m_bUpgradeWatch, 0);

    PumpEvents(100);
    dlg->Combo(IDC_CHANNEL)->SetCurSel(3);
    Apply(*dlg);
    const std::string lines = "astparam s hostname_id lobby-2\r\ne e_chg_hostname\r\nastparam save\r\n";
    EXPECT_EQ(SentAfterWaiting(lines), lines) << "the edit still counts as a change next time";
}

TEST_F(DeviceLan, AClosedSessionStopsApplyWithOneMessageAndNoLine)
{
    Start(kAutoIpReceiver);
    Select(false, "198.18.2.1");
    dlg->Slot(0).Close();
    dlg->Combo(IDC_CHANNEL)->SetCurSel(8);
    dlg->CheckRadioButton(IDC_MULTICAST, IDC_UNICAST, IDC_UNICAST);
    Apply(*dlg);
    EXPECT_EQ(SentAfterWaiting(""), "");
    ASSERT_EQ(boxes.Texts(), std::vector<QString>{"Apply fail, please scan again."});
    EXPECT_EQ(RxCell(1), "") << "the failed group leaves its cell alone";
    EXPECT_EQ(dlg->m_nRecordedCastRadio, IDC_MULTICAST);
}

TEST_F(DeviceLan, ASendFailingOnTheThirdStaticLineStopsApplyThereWithOneMessage)
{
    Start(kAutoIpReceiver);
    Select(false, "198.18.2.1");
    Click(IDC_STATIC);
    dlg->Combo(IDC_CHANNEL)->SetCurSel(5);
    dlg->Slot(0).FailSendsAfter(3 + 2);  // the channel group, then two Static lines
    Apply(*dlg);
    const std::string lines = "astparam s reset_ch_on_boot n\r\n\0astparam save\r\n\0e e_reconnect::0005\r\n\0"
                              "astparam s ipaddr 198.18.2.1\r\nastparam s netmask 255.255.0.0\r\n"s;
    EXPECT_EQ(SentAfterWaiting(lines), lines);
    PumpEvents(300);
    EXPECT_EQ(Sent(), lines) << "nothing after the failed line";
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{"Apply fail, please scan again."});
    EXPECT_EQ(RxCell(2), "0005") << "the completed group's cell stays written";
    EXPECT_EQ(dlg->m_nRecordedIpRadio, IDC_AUTO_IP);
    EXPECT_EQ(sim->events(ip).find("reboot"), std::string::npos);
}

// --- Factory Default ---------------------------------------------------------------

TEST_F(DeviceLan, FactoryDefaultAnsweredYesResetsThenRebootsWithZeroTerminatedLines)
{
    Start({"--node", "tx ip=198.18.1.1 channel=0002"});
    Select(true, "198.18.1.1");
    boxes.Answer(platform::IDYES);
    FactoryDefault(*dlg);
    EXPECT_EQ(dlg->GetDlgItemText(IDC_VERSION), "Version: ");
    EXPECT_EQ(dlg->GetDlgItemText(IDC_HOSTNAME_ID), "");
    EXPECT_EQ(dlg->Combo(IDC_CHANNEL)->GetCurSel(), -1);
    EXPECT_FALSE(AnyDeviceButtonEnabled());
    EXPECT_EQ(dlg->Progress(IDC_PROGRESS)->Upper(), 25);
    EXPECT_EQ(dlg->Progress(IDC_PROGRESS)->GetPos(), 0);
    const std::string lines = "reset_to_default.sh\r\n\0reboot\r\n\0"s;
    EXPECT_EQ(SentAfterWaiting(lines), lines);
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{"Sure you want to reset to factory default?"});
    EXPECT_TRUE(sim->waitForEvent(ip, "reset_to_default"));
}

// Upgrade and the ends of the restart waits: FieldLanTest.cpp, with the
// real resolver and Debian's TFTP server.

}  // namespace
