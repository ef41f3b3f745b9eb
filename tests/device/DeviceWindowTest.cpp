// Settings, restart and upgrade against the real window, offscreen and with
// no network: what the operations decide before (or instead of) sending, and
// what Apply sends to a loopback peer standing in for the endpoint.
#include "device/Device.h"
#include "net/Session.h"
#include "nodes/Firmware.h"
#include "platform/Controls.h"
#include "lan/HostInfo.h"
#include "lan/Interfaces.h"
#include "tests/support/Loopback.h"
#include "tests/support/Loopback.h"
#include "tests/support/TestSupport.h"
#include "ui/CortaviaDlg.h"
#include "wall/Wall.h"

#include <QAbstractButton>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <functional>
#include <string>

using testing_support::InstantSleeps;
using testing_support::LoopbackListener;
using testing_support::MakeMainWindow;
using testing_support::PumpUntil;
using testing_support::ScriptedMessageBoxes;
using namespace std::string_literals;

namespace {

const QString kRule = QString::fromStdU16String(std::u16string(cv::nodes::kHostnameIdRuleMessage));
const QString kApplySuccess = "Apply successfully";
const QString kApplyFail = "Apply fail, please scan again.";
const QString kRebootQuestion = "Warning: Reboot for new settings to take effect?";
const std::string kHostnameLines = "astparam s hostname_id lobby-2\r\ne e_chg_hostname\r\nastparam save\r\n";
// Static suggests the device's own addresses, to pin them.
const std::string kSuggestedStaticLines =
    "astparam s ipaddr 198.18.2.1\r\nastparam s netmask 255.255.0.0\r\nastparam s gatewayip 198.18.0.1\r\n"
    "astparam s ip_mode static\r\nastparam save\r\n";

class DeviceWindow : public ::testing::Test {
protected:
    void SetUp() override { dlg = MakeMainWindow(); }
    void TearDown() override
    {
        if (peer >= 0)
            ::close(peer);
    }

    // The state a finished detail query leaves for a receiver in `ipMode`.
    void SelectReceiver(const QString& ipMode, int ipChoice)
    {
        dlg->List(IDC_RX_LIST)->InsertItem(0, "198.18.2.1");
        dlg->List(IDC_RX_LIST)->SetSelectedRow(0);
        dlg->m_bTxSelected = 0;
        dlg->m_bDetailMode = 1;
        dlg->m_strNodeAddress = "198.18.2.1";
        dlg->m_strNetmask = "255.255.0.0";
        dlg->m_strGateway = "198.18.0.1";
        dlg->m_strIpModeText = ipMode;
        dlg->m_strChannel = "0003";
        dlg->m_strHostnameId = "rx-001";
        dlg->m_strRecordedHostnameId = "rx-001";
        dlg->m_nIpMode = ipChoice;
        dlg->m_nCastMode = 0;
        dlg->Combo(IDC_CHANNEL)->SelectString(0, "0003");
        dlg->UpdateData(false);
        dlg->m_nRecordedIpRadio = dlg->GetCheckedRadioButton(IDC_AUTO_IP, IDC_STATIC);
        dlg->m_nRecordedCastRadio = dlg->GetCheckedRadioButton(IDC_MULTICAST, IDC_UNICAST);
    }

    void Click(int id) { qobject_cast<QAbstractButton*>(dlg->GetDlgItem(id))->click(); }
    QString Field(int id) { return dlg->IpAddress(id)->AddressText(); }
    bool FieldsEnabled()
    {
        return dlg->IsWindowEnabled(IDC_IP_ADDRESS) && dlg->IsWindowEnabled(IDC_SUBNET_MASK) &&
            dlg->IsWindowEnabled(IDC_GATEWAY);
    }
    bool FieldsBlank()
    {
        return dlg->IpAddress(IDC_IP_ADDRESS)->IsBlank() && dlg->IpAddress(IDC_SUBNET_MASK)->IsBlank() &&
            dlg->IpAddress(IDC_GATEWAY)->IsBlank();
    }
    bool AnyDeviceButtonEnabled() { return testing_support::EnabledDeviceButtons(*dlg) > 0; }

    // The scan socket in a session with a loopback peer, as after a detail
    // query. With instant pauses the peer echoes what it gets, as an
    // endpoint's shell does, at every pause; Received() is what it got
    // since it was last asked.
    void ConnectScanSocket()
    {
        if (peer >= 0)
            ::close(peer);
        ASSERT_TRUE(listener.Bound());
        ASSERT_TRUE(dlg->Slot(0).Create());
        ASSERT_TRUE(dlg->Slot(0).Connect("127.0.0.1", listener.Port()));
        peer = listener.Accept();
        ASSERT_GE(peer, 0);
        sleeps.DuringEachPause([this] { Echo(); });
    }
    void Echo()
    {
        if (peer < 0)
            return;
        const std::string got = testing_support::ReadAvailable(peer);
        if (!got.empty())
            ::send(peer, got.data(), got.size(), MSG_NOSIGNAL);
        received += got;
    }
    // The shell's prompt, as an answer that is no echo.
    void Prompt() { ::send(peer, "/ # ", 4, MSG_NOSIGNAL); }
    std::string Received()
    {
        std::string got = std::exchange(received, {});
        return got + (peer >= 0 ? testing_support::ReadAvailable(peer) : std::string());
    }

    ScriptedMessageBoxes boxes;
    InstantSleeps sleeps;
    std::unique_ptr<CMyCortaviaDlg> dlg;
    testing_support::LoopbackListener listener;
    int peer = -1;
    std::string received;
};

// --- IP-mode click ----------------------------------------------------------

TEST_F(DeviceWindow, StaticOnADeviceRunningStaticShowsItsOwnAddressesEnabled)
{
    SelectReceiver("static", 2);
    for (int id : {IDC_IP_ADDRESS, IDC_SUBNET_MASK, IDC_GATEWAY})
        dlg->EnableWindow(id, false);
    Click(IDC_STATIC);
    EXPECT_EQ(dlg->m_nIpMode, 2);
    EXPECT_EQ(Field(IDC_IP_ADDRESS), "198.18.2.1");
    EXPECT_EQ(Field(IDC_SUBNET_MASK), "255.255.0.0");
    EXPECT_EQ(Field(IDC_GATEWAY), "198.18.0.1");
    EXPECT_TRUE(FieldsEnabled());
}

TEST_F(DeviceWindow, StaticOnADeviceInAnotherModeSuggestsItsOwnAddressesToPin)
{
    SelectReceiver("dhcp", 1);
    Click(IDC_STATIC);
    EXPECT_EQ(Field(IDC_IP_ADDRESS), "198.18.2.1");
    EXPECT_EQ(Field(IDC_SUBNET_MASK), "255.255.0.0");
    EXPECT_EQ(Field(IDC_GATEWAY), "198.18.0.1");
    EXPECT_TRUE(FieldsEnabled());
}

TEST_F(DeviceWindow, AutoIpOnADhcpDeviceClearsAndDisablesWhileDhcpShowsItsValuesDisabled)
{
    SelectReceiver("dhcp", 1);
    Click(IDC_STATIC);
    Click(IDC_AUTO_IP);
    EXPECT_EQ(dlg->m_nIpMode, 0);
    EXPECT_TRUE(FieldsBlank());
    EXPECT_FALSE(dlg->IsWindowEnabled(IDC_IP_ADDRESS));
    EXPECT_FALSE(dlg->IsWindowEnabled(IDC_GATEWAY));

    Click(IDC_DHCP);
    EXPECT_EQ(Field(IDC_IP_ADDRESS), "198.18.2.1");
    EXPECT_EQ(Field(IDC_SUBNET_MASK), "255.255.0.0");
    EXPECT_EQ(Field(IDC_GATEWAY), "198.18.0.1");
    EXPECT_FALSE(dlg->IsWindowEnabled(IDC_SUBNET_MASK));
}

TEST_F(DeviceWindow, TheModeTextIsComparedWholeAndWithCase)
{
    SelectReceiver("Static", 2);
    Click(IDC_STATIC);
    EXPECT_EQ(Field(IDC_IP_ADDRESS), "198.18.2.1") << "its own address, whatever the mode's text";
    SelectReceiver("autoip ", 0);
    Click(IDC_AUTO_IP);
    EXPECT_TRUE(FieldsBlank());
}

// --- Apply: stops before any line ------------------------------------------

TEST_F(DeviceWindow, AHostnameEditedBeforeAStoppedApplyStillCountsAsAChangeNextTime)
{
    SelectReceiver("autoip", 0);
    dlg->SetDlgItemText(IDC_HOSTNAME_ID, "bad name");
    dlg->Combo(IDC_CHANNEL)->SetCurSel(-1);
    Apply(*dlg);
    AppendArrival(*dlg, QString());  // the held values go back into the controls
    EXPECT_EQ(dlg->GetDlgItemText(IDC_HOSTNAME_ID), "bad name") << "the edit stays in the field";

    dlg->Combo(IDC_CHANNEL)->SetCurSel(3);
    boxes.Clear();
    Apply(*dlg);
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{kRule});
}

TEST_F(DeviceWindow, AHostnameChangeOnATransmitterIsNeitherCheckedNorSent)
{
    SelectReceiver("autoip", 0);
    // The transmitter's row is the selected one, as a click on it leaves it.
    dlg->List(IDC_TX_LIST)->InsertItem(0, "198.18.1.1");
    dlg->List(IDC_TX_LIST)->SetSelectedRow(0);
    dlg->List(IDC_RX_LIST)->SetSelectedRow(-1);
    dlg->m_bTxSelected = 1;
    dlg->SetDlgItemText(IDC_HOSTNAME_ID, "a;reboot");
    Apply(*dlg);
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{"Apply successfully"});
    EXPECT_EQ(sleeps.Pauses(), std::vector<unsigned>{500});
}

TEST_F(DeviceWindow, ASendFailureShowsOnlyTheFailureAndLeavesThatGroupUnrecorded)
{
    SelectReceiver("autoip", 0);
    dlg->CheckRadioButton(IDC_MULTICAST, IDC_UNICAST, IDC_UNICAST);
    dlg->Combo(IDC_CHANNEL)->SetCurSel(7);
    Apply(*dlg);
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{"Apply fail, please scan again."});
    EXPECT_EQ(boxes.Shown()[0].flags, platform::MB_OK | platform::MB_ICONINFORMATION);
    EXPECT_EQ(dlg->m_nRecordedCastRadio, IDC_MULTICAST);
    EXPECT_EQ(dlg->m_strChannel, "0003");
    EXPECT_TRUE(sleeps.Pauses().empty()) << "no 500 ms pause after a failure";
}

TEST_F(DeviceWindow, NothingChangedWithDhcpPausesHalfASecondAndReportsSuccess)
{
    SelectReceiver("dhcp", 1);
    Apply(*dlg);
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{"Apply successfully"});
    EXPECT_EQ(boxes.Shown()[0].flags, platform::MB_OK | platform::MB_ICONINFORMATION);
    EXPECT_EQ(sleeps.Pauses(), std::vector<unsigned>{500});
}

// --- Apply: what goes out ----------------------------------------------------

// Each of these reads every control into the window's values, the hostname
// ID field included; the edit must still reach the device.
TEST_F(DeviceWindow, AHostnameEditSurvivesEveryReadingOfTheControlsBeforeApply)
{
    struct Reading {
        const char* what;
        std::function<void()> read;
        std::string sent;
        QString result;
        bool wallSessionsNowhere = true;
    };
    const std::vector<Reading> readings = {
        // Its own addresses pinned: written, no restart needed.
        {"IP-mode click", [&] { Click(IDC_STATIC); }, kHostnameLines + kSuggestedStaticLines, kApplySuccess, false},
        {"drop", [&] { Drop(*dlg, GridButtonId(0, 0)); }, kHostnameLines, kApplySuccess},
        {"quick layout", [&] { QuickLayout(*dlg); }, kHostnameLines, kApplySuccess},
    };
    for (const Reading& r : readings) {
        SCOPED_TRACE(r.what);
        dlg = MakeMainWindow();
        SelectReceiver("autoip", 0);
        if (r.wallSessionsNowhere)
            dlg->List(IDC_RX_LIST)->SetItemText(0, 0, QString());  // the wall's sessions go nowhere from here
        dlg->SetDlgItemText(IDC_HOSTNAME_ID, "lobby-2");
        r.read();
        AppendArrival(*dlg, QStringLiteral("/ # "));  // the device answering in between
        r.read();
        ConnectScanSocket();
        boxes.Clear();
        Apply(*dlg);
        EXPECT_EQ(Received(), r.sent);
        EXPECT_EQ(dlg->List(IDC_RX_LIST)->GetItemText(0, 4), "lobby-2");
        EXPECT_EQ(boxes.Texts(), std::vector<QString>{r.result});
    }
}

TEST_F(DeviceWindow, OnlyACompletedHostnameGroupBecomesTheNewReference)
{
    SelectReceiver("autoip", 0);
    ConnectScanSocket();
    dlg->SetDlgItemText(IDC_HOSTNAME_ID, "lobby-2");
    dlg->Slot(0).FailSendsAfter(1);
    Apply(*dlg);
    EXPECT_EQ(Received(), "astparam s hostname_id lobby-2\r\n");
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{kApplyFail});
    EXPECT_EQ(dlg->List(IDC_RX_LIST)->GetItemText(0, 4), "");

    dlg->Slot(0).FailSendsAfter(-1);
    boxes.Clear();
    Apply(*dlg);
    EXPECT_EQ(Received(), kHostnameLines) << "the edit whose group failed is still a change";
    EXPECT_EQ(dlg->List(IDC_RX_LIST)->GetItemText(0, 4), "lobby-2");
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{kApplySuccess});

    boxes.Clear();
    Apply(*dlg);
    EXPECT_EQ(Received(), "") << "the applied id is the new reference";
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{kApplySuccess});
}

// Every clearing of the panel (Scan, a new selection, Reboot, Factory
// Default, Upgrade) empties the reference with the field: the untouched
// empty field is no change, a name typed into it is one.
TEST_F(DeviceWindow, ClearingThePanelEmptiesTheHostnameReferenceWithTheField)
{
    SelectReceiver("autoip", 0);
    ClearDeviceInfo(*dlg);
    dlg->Combo(IDC_CHANNEL)->SetCurSel(3);
    dlg->CheckRadioButton(IDC_MULTICAST, IDC_UNICAST, IDC_MULTICAST);
    dlg->CheckRadioButton(IDC_AUTO_IP, IDC_STATIC, IDC_AUTO_IP);
    ConnectScanSocket();
    Apply(*dlg);
    EXPECT_EQ(Received(), "");
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{kApplySuccess}) << "not the hostname rule for an empty id";

    boxes.Clear();
    dlg->SetDlgItemText(IDC_HOSTNAME_ID, "lobby-2");
    Apply(*dlg);
    EXPECT_EQ(Received(), kHostnameLines);
}

TEST_F(DeviceWindow, ApplyPausesAfterEachTestedLineAfterTheChannelGroupAndBeforeTheResult)
{
    SelectReceiver("autoip", 0);
    ConnectScanSocket();
    Click(IDC_STATIC);
    dlg->SetDlgItemText(IDC_HOSTNAME_ID, "lobby-2");
    dlg->CheckRadioButton(IDC_MULTICAST, IDC_UNICAST, IDC_UNICAST);
    dlg->Combo(IDC_CHANNEL)->SetCurSel(42);
    using Pause = std::pair<unsigned, std::string>;  // a pause and what was sent before it
    std::vector<Pause> log;
    testing_support::RecordedSleeps recorded([&](unsigned ms) {
        log.emplace_back(ms, Received());
        if (ms == 500)
            Prompt();  // the device answers before the result
    });
    Apply(*dlg);
    EXPECT_EQ(log,
              (std::vector<Pause>{
                  {1, "astparam s hostname_id lobby-2\r\n"},
                  {1, "e e_chg_hostname\r\n"},
                  {1, "astparam save\r\n"},
                  {1, "astparam s multicast_on n\r\n\0"s},
                  {1, "astparam save\r\nastparam s reset_ch_on_boot n\r\n\0"s},  // the casting save: no pause
                  {1, "astparam save\r\n\0"s},
                  {1, "e e_reconnect::0042\r\n\0"s},
                  {1000, ""},
                  {1, "astparam s ipaddr 198.18.2.1\r\n"},
                  {1, "astparam s netmask 255.255.0.0\r\n"},
                  {1, "astparam s gatewayip 198.18.0.1\r\n"},
                  {1, "astparam s ip_mode static\r\n"},
                  {1, "astparam save\r\n"},
                  {500, ""},
              }));
    EXPECT_EQ(Received(), "");
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{kRebootQuestion});

    log.clear();
    Click(IDC_AUTO_IP);
    Apply(*dlg);
    EXPECT_EQ(log, (std::vector<Pause>{{1, "astparam s ip_mode autoip\r\n"}, {500, "astparam save\r\n"}}));
}

// The echo came, but the endpoint hung up before the result (it restarted,
// or its shell died): the lines may not have been carried out.
TEST_F(DeviceWindow, ASessionClosedByTheResultIsNoSuccessEvenAfterAnEcho)
{
    SelectReceiver("autoip", 0);
    dlg->List(IDC_RX_LIST)->SetItemText(0, 0, "127.0.0.1");
    ConnectScanSocket();
    sleeps.DuringEachPause([this] {
        Echo();
        if (sleeps.Pauses().back() == 500 && peer >= 0) {
            ::close(peer);
            peer = -1;
        }
    });
    dlg->Combo(IDC_CHANNEL)->SetCurSel(42);
    Apply(*dlg);
    EXPECT_EQ(received, "astparam s reset_ch_on_boot n\r\n\0astparam save\r\n\0e e_reconnect::0042\r\n\0"s);
    ASSERT_EQ(boxes.Texts(),
              std::vector<QString>{"The endpoint 127.0.0.1 did not answer. The settings may not have "
                                   "reached it; please scan again."});
    EXPECT_EQ(boxes.Shown()[0].flags, platform::MB_OK | platform::MB_ICONWARNING);
}

TEST_F(DeviceWindow, ApplyOnATransmitterWritesTheMulticastAndChannelCellsOfItsTxRow)
{
    SelectReceiver("autoip", 0);
    platform::ListView* rx = dlg->List(IDC_RX_LIST);
    platform::ListView* tx = dlg->List(IDC_TX_LIST);
    for (int row : {0, 1}) {
        tx->InsertItem(row, QStringLiteral("198.18.1.%1").arg(row + 1));
        tx->SetItemText(row, 1, "y");
        tx->SetItemText(row, 2, "0003");
    }
    rx->SetItemText(0, 1, "y");
    rx->SetItemText(0, 2, "0003");
    tx->SetSelectedRow(1);
    dlg->m_bTxSelected = 1;
    ConnectScanSocket();
    dlg->CheckRadioButton(IDC_MULTICAST, IDC_UNICAST, IDC_UNICAST);
    dlg->Combo(IDC_CHANNEL)->SetCurSel(42);
    dlg->SetDlgItemText(IDC_HOSTNAME_ID, "lobby-2");
    Apply(*dlg);
    EXPECT_EQ(Received(),
              "astparam s multicast_on n\r\n\0astparam save\r\n"
              "astparam s reset_ch_on_boot n\r\n\0astparam save\r\n\0e e_reconnect::0042\r\n\0"s)
        << "no hostname group for a transmitter";
    EXPECT_EQ(tx->GetItemText(1, 1), "n");
    EXPECT_EQ(tx->GetItemText(1, 2), "0042");
    EXPECT_EQ(tx->GetItemText(0, 1), "y") << "only the selected row";
    EXPECT_EQ(tx->GetItemText(0, 2), "0003");
    EXPECT_EQ(rx->GetItemText(0, 1), "y");
    EXPECT_EQ(rx->GetItemText(0, 2), "0003");
    EXPECT_EQ(rx->GetItemText(0, 4), "");
}

TEST_F(DeviceWindow, ASendFailingOnTheThirdStaticLineStopsApplyThereWithOneMessage)
{
    SelectReceiver("autoip", 0);
    ConnectScanSocket();
    Click(IDC_STATIC);
    dlg->Combo(IDC_CHANNEL)->SetCurSel(42);
    dlg->Slot(0).FailSendsAfter(3 + 2);  // the channel group, then two Static lines
    Apply(*dlg);
    EXPECT_EQ(Received(),
              "astparam s reset_ch_on_boot n\r\n\0astparam save\r\n\0e e_reconnect::0042\r\n\0"
              "astparam s ipaddr 198.18.2.1\r\nastparam s netmask 255.255.0.0\r\n"s);
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{kApplyFail});
    EXPECT_EQ(sleeps.Pauses(), (std::vector<unsigned>{1, 1, 1, 1000, 1, 1})) << "nothing after the failed line";
    EXPECT_EQ(dlg->m_nRecordedIpRadio, IDC_AUTO_IP);
    // It answered before the failure: the group completed before stays made.
    EXPECT_EQ(dlg->m_strChannel, "0042");
    EXPECT_EQ(dlg->List(IDC_RX_LIST)->GetItemText(0, 2), "0042");
}

// --- Reboot and Factory Default --------------------------------------------

TEST_F(DeviceWindow, FactoryDefaultAnsweredNoChangesNothing)
{
    SelectReceiver("autoip", 0);
    for (int id : {IDC_APPLY, IDC_REBOOT, IDC_FACTORY_DEFAULT, IDC_UPGRADE})
        dlg->EnableWindow(id, true);
    dlg->m_transcript.append(u"kept");
    boxes.Answer(platform::IDNO);
    FactoryDefault(*dlg);
    ASSERT_EQ(boxes.Texts(), std::vector<QString>{"Sure you want to reset to factory default?"});
    EXPECT_EQ(boxes.Shown()[0].flags, platform::MB_YESNO | platform::MB_ICONWARNING);
    EXPECT_EQ(dlg->m_transcript.text(), u"kept");
    EXPECT_EQ(dlg->GetDlgItemText(IDC_HOSTNAME_ID), "rx-001");
    EXPECT_FALSE(dlg->IsTimerRunning(TIMER_REBOOT));
    EXPECT_TRUE(dlg->IsWindowEnabled(IDC_APPLY));
}

TEST_F(DeviceWindow, TheRebootWaitRunsItsTwentyFiveTicksThenChecksTheEndpointCameBack)
{
    SelectReceiver("autoip", 0);
    ConnectScanSocket();
    dlg->m_transcript.append(u"old");
    Reboot(*dlg);
    EXPECT_TRUE(dlg->m_transcript.empty());
    EXPECT_TRUE(dlg->IsTimerRunning(TIMER_REBOOT));
    EXPECT_EQ(dlg->TimerPeriod(TIMER_REBOOT), 1000);
    EXPECT_EQ(dlg->Progress(IDC_PROGRESS)->Upper(), 25);
    EXPECT_EQ(dlg->GetDlgItemText(IDC_HOSTNAME_ID), "");
    EXPECT_EQ(dlg->GetCheckedRadioButton(IDC_AUTO_IP, IDC_STATIC), 0);
    EXPECT_FALSE(AnyDeviceButtonEnabled());
    EXPECT_EQ(dlg->m_strRebootTarget, "127.0.0.1");
    for (int tick = 1; tick < 25; ++tick)
        dlg->OnTimer(TIMER_REBOOT);
    EXPECT_TRUE(boxes.Shown().empty());
    dlg->OnTimer(TIMER_REBOOT);
    EXPECT_FALSE(dlg->IsTimerRunning(TIMER_REBOOT));
    // Nobody listens on the shell port of 127.0.0.1: no success by the clock.
    ASSERT_TRUE(PumpUntil([&] { return !boxes.Shown().empty(); }));
    ASSERT_EQ(boxes.Texts().size(), 1u);
    EXPECT_EQ(boxes.Texts()[0],
              "The endpoint 127.0.0.1 did not come back after the reboot. Check its power and network, "
              "then scan again.");
    EXPECT_EQ(boxes.Shown()[0].flags, platform::MB_OK | platform::MB_ICONWARNING);
    EXPECT_FALSE(AnyDeviceButtonEnabled()) << "buttons return only with a later Scan or selection";
}

TEST_F(DeviceWindow, RebootAndFactoryDefaultWithoutASessionSaySoAtOnceAndStartNoWait)
{
    SelectReceiver("autoip", 0);
    Reboot(*dlg);
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{"Reboot fail, please scan again."});
    EXPECT_FALSE(dlg->IsTimerRunning(TIMER_REBOOT));
    EXPECT_EQ(testing_support::EnabledDeviceButtons(*dlg), 4);
    EXPECT_EQ(dlg->GetDlgItemText(IDC_HOSTNAME_ID), "rx-001") << "nothing happened to the endpoint";

    boxes.Clear();
    boxes.Answer(platform::IDYES);
    FactoryDefault(*dlg);
    EXPECT_EQ(boxes.Texts(),
              (std::vector<QString>{"Sure you want to reset to factory default?",
                                    "Factory default fail, please scan again."}));
    EXPECT_FALSE(dlg->IsTimerRunning(TIMER_REBOOT));
    EXPECT_EQ(testing_support::EnabledDeviceButtons(*dlg), 4);

    // An endpoint that closed its end (it rebooted) is no session either.
    ConnectScanSocket();
    ::close(peer);
    peer = -1;
    ASSERT_TRUE(PumpUntil([&] { return ConnectedEndpoint(dlg->Slot(0)).isEmpty(); }));
    boxes.Clear();
    Reboot(*dlg);
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{"Reboot fail, please scan again."});
    EXPECT_FALSE(dlg->IsTimerRunning(TIMER_REBOOT));
}

TEST_F(DeviceWindow, ApplyAnsweredYesToTheRebootQuestionStartsTheRebootWait)
{
    SelectReceiver("autoip", 0);
    // With no session open every tested line would fail, so the change is
    // one that sends nothing: both radio groups emptied, the casting group
    // recorded as Multicast and the IP group as none.
    dlg->CheckRadioButton(IDC_AUTO_IP, IDC_STATIC, 0);
    dlg->m_nRecordedIpRadio = 0;
    dlg->CheckRadioButton(IDC_MULTICAST, IDC_UNICAST, 0);
    ConnectScanSocket();
    boxes.Answer(platform::IDYES);
    Apply(*dlg);
    ASSERT_EQ(boxes.Texts(), std::vector<QString>{"Warning: Reboot for new settings to take effect?"});
    EXPECT_EQ(boxes.Shown()[0].flags, platform::MB_YESNO | platform::MB_ICONWARNING);
    EXPECT_EQ(dlg->m_nRecordedCastRadio, 0);
    EXPECT_TRUE(dlg->IsTimerRunning(TIMER_REBOOT));
}

// --- Upgrade ------------------------------------------------------------------

class UpgradeWindow : public DeviceWindow {
protected:
    void SetUp() override
    {
        DeviceWindow::SetUp();
        previous = cv::lan::SetHostInfo({[](char* buf, std::size_t len) {
                                             std::snprintf(buf, len, "workstation");
                                             return 0;
                                         },
                                         [this](const std::string& name, int family, int socktype) {
                                             asked = {name, std::to_string(family) + "/" + std::to_string(socktype)};
                                             return answers;
                                         }});
    }
    void TearDown() override
    {
        cv::lan::SetHostInfo(previous);
        DeviceWindow::TearDown();
    }

    std::vector<cv::lan::ResolvedAddress> answers{{AF_INET, "198.18.0.1"}};
    std::pair<std::string, std::string> asked;
    cv::lan::HostInfo previous;
};

TEST_F(UpgradeWindow, TheSessionsOwnAddressIsTheOneTheEndpointIsToldAbout)
{
    ConnectScanSocket();
    answers = {{AF_INET, "10.0.0.5"}};
    testing::internal::CaptureStdout();
    EXPECT_EQ(WorkstationAddressForUpgrade(dlg->Slot(0)), "127.0.0.1");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "127.0.0.1\n");
    EXPECT_TRUE(asked.first.empty()) << "the resolver is not needed";
}

TEST_F(UpgradeWindow, WithoutASessionTheLastNonLoopbackIpv4AnswerWinsAndEachOneIsPrinted)
{
    answers = {{AF_INET, "127.0.1.1"},
               {AF_INET, "10.0.0.5"},
               {AF_INET, "198.18.0.1"},
               {AF_INET6, "fe80::1"},
               {AF_INET, "127.0.0.1"}};
    testing::internal::CaptureStdout();
    const QString address = WorkstationAddressForUpgrade(dlg->Slot(0));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "10.0.0.5\n198.18.0.1\n");
    EXPECT_EQ(address, "198.18.0.1");
    EXPECT_EQ(asked.first, "workstation");
    EXPECT_EQ(asked.second, "0/0") << "no hints: every family comes back";
}

TEST_F(UpgradeWindow, UnreadableOrOnlyLoopbackAnswersFallBackToTheCards)
{
    const std::vector<std::string> cards = cv::lan::UpInterfaceAddresses();
    std::string printed;
    for (const std::string& card : cards)
        printed += card + "\n";
    const QString last = cards.empty() ? QString() : QString::fromStdString(cards.back());
    for (const auto& answer : std::vector<std::vector<cv::lan::ResolvedAddress>>{
             {{AF_INET6, "::1"}},
             {{AF_INET, "127.0.1.1"}},
             {{AF_INET, "198.18.0.1 -c get evil"}, {AF_INET, "1.2.3.4.5"}}}) {
        answers = answer;
        testing::internal::CaptureStdout();
        EXPECT_EQ(WorkstationAddressForUpgrade(dlg->Slot(0)), last);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), printed);
    }
}

TEST_F(UpgradeWindow, WithoutASessionSaysSoAtOnceAndStartsNoWait)
{
    SelectReceiver("autoip", 0);
    testing::internal::CaptureStdout();
    Upgrade(*dlg);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{"Upgrade fail, please scan again."});
    EXPECT_EQ(dlg->m_bUpgradeWatch, 0);
    EXPECT_FALSE(dlg->IsTimerRunning(TIMER_UPGRADE));
    EXPECT_EQ(testing_support::EnabledDeviceButtons(*dlg), 4);
}

TEST_F(UpgradeWindow, TheFiveHundredthTickClaimsNoSuccessForAnEndpointThatIsNotBack)
{
    StartWait(*dlg, TIMER_UPGRADE, 500, 1000);
    dlg->m_strUpgradeTarget = "127.0.0.1";
    for (int tick = 1; tick < 500; ++tick)
        dlg->OnTimer(TIMER_UPGRADE);
    EXPECT_TRUE(boxes.Shown().empty());
    dlg->OnTimer(TIMER_UPGRADE);
    EXPECT_FALSE(dlg->IsTimerRunning(TIMER_UPGRADE));
    ASSERT_TRUE(PumpUntil([&] { return !boxes.Shown().empty(); }));
    EXPECT_EQ(boxes.Texts(),
              std::vector<QString>{"The endpoint 127.0.0.1 did not come back after the firmware upgrade. "
                                   "Check its power and network, then scan again."});
    EXPECT_FALSE(AnyDeviceButtonEnabled());
}

TEST_F(UpgradeWindow, FailureTextsAdviseOnEveryArrivalOnlyWhileWatching)
{
    dlg->m_transcript.append(u"Error code 1: File not found\r\nTransfer timed out.\r\n");
    UpgradeFailureCheck(*dlg);
    EXPECT_TRUE(boxes.Shown().empty()) << "the watch flag is clear";

    dlg->m_bUpgradeWatch = 1;
    dlg->m_bTxSelected = 1;
    UpgradeFailureCheck(*dlg);
    EXPECT_EQ(boxes.Texts(),
              (std::vector<QString>{"Please put webfwh.bin into TFTP server diretory.", "Please run TFTP server."}));
    for (const auto& box : boxes.Shown())
        EXPECT_EQ(box.flags, platform::MB_OK | platform::MB_ICONERROR);

    boxes.Clear();
    dlg->m_bTxSelected = 0;
    dlg->m_transcript.clear();
    dlg->m_transcript.append(u"file not found\r\nFile not found\r\n");
    UpgradeFailureCheck(*dlg);
    UpgradeFailureCheck(*dlg);
    EXPECT_EQ(boxes.Texts(),
              (std::vector<QString>{"Please put webfwc.bin into TFTP server diretory.",
                                    "Please put webfwc.bin into TFTP server diretory."}));
    EXPECT_EQ(dlg->m_bUpgradeWatch, 1) << "the check leaves the flag set";
}

TEST_F(UpgradeWindow, ApplyEndsTheWatch)
{
    SelectReceiver("autoip", 0);
    dlg->m_bUpgradeWatch = 1;
    Apply(*dlg);
    dlg->m_transcript.append(u"File not found");
    boxes.Clear();
    UpgradeFailureCheck(*dlg);
    EXPECT_TRUE(boxes.Shown().empty());
}

}  // namespace
