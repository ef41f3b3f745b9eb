// Settings, restart and upgrade against the real window, offscreen and with
// no network: what the operations decide before (or instead of) sending.
#include "device/Device.h"
#include "net/Session.h"
#include "nodes/Firmware.h"
#include "platform/Controls.h"
#include "lan/HostInfo.h"
#include "tests/support/TestSupport.h"
#include "ui/CortaviaDlg.h"

#include <QAbstractButton>
#include <gtest/gtest.h>
#include <sys/socket.h>

using testing_support::InstantSleeps;
using testing_support::MakeMainWindow;
using testing_support::ScriptedMessageBoxes;

namespace {

const QString kRule = QString::fromStdU16String(std::u16string(cv::nodes::kHostnameIdRuleMessage));

class DeviceWindow : public ::testing::Test {
protected:
    void SetUp() override { dlg = MakeMainWindow(); }

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

    ScriptedMessageBoxes boxes;
    InstantSleeps sleeps;
    std::unique_ptr<CMyCortaviaDlg> dlg;
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

TEST_F(DeviceWindow, StaticOnADeviceInAnotherModeSuggestsTheFixedAddresses)
{
    SelectReceiver("dhcp", 1);
    Click(IDC_STATIC);
    EXPECT_EQ(Field(IDC_IP_ADDRESS), "192.168.0.80");
    EXPECT_EQ(Field(IDC_SUBNET_MASK), "255.255.255.0");
    EXPECT_EQ(Field(IDC_GATEWAY), "192.168.0.1");
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
    EXPECT_EQ(Field(IDC_IP_ADDRESS), "192.168.0.80") << "only the exact text \"static\" is the device's mode";
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
    EXPECT_EQ(dlg->m_strHostnameId, "rx-001");

    dlg->Combo(IDC_CHANNEL)->SetCurSel(3);
    boxes.Clear();
    Apply(*dlg);
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{kRule});
}

TEST_F(DeviceWindow, AHostnameChangeOnATransmitterIsNeitherCheckedNorSent)
{
    SelectReceiver("autoip", 0);
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

TEST_F(DeviceWindow, TheRebootWaitEndsWithItsMessageOnTheTwentyFifthTick)
{
    SelectReceiver("autoip", 0);
    dlg->m_transcript.append(u"old");
    Reboot(*dlg);
    EXPECT_TRUE(dlg->m_transcript.empty());
    EXPECT_TRUE(dlg->IsTimerRunning(TIMER_REBOOT));
    EXPECT_EQ(dlg->TimerPeriod(TIMER_REBOOT), 1000);
    EXPECT_EQ(dlg->Progress(IDC_PROGRESS)->Upper(), 25);
    EXPECT_EQ(dlg->GetDlgItemText(IDC_HOSTNAME_ID), "");
    EXPECT_EQ(dlg->GetCheckedRadioButton(IDC_AUTO_IP, IDC_STATIC), 0);
    EXPECT_FALSE(AnyDeviceButtonEnabled());
    for (int tick = 1; tick < 25; ++tick)
        dlg->OnTimer(TIMER_REBOOT);
    EXPECT_TRUE(boxes.Shown().empty());
    dlg->OnTimer(TIMER_REBOOT);
    ASSERT_EQ(boxes.Texts(), std::vector<QString>{"Reboot success"});
    EXPECT_FALSE(dlg->IsTimerRunning(TIMER_REBOOT));
    EXPECT_FALSE(AnyDeviceButtonEnabled()) << "buttons return only with a later Scan or selection";
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
    void TearDown() override { cv::lan::SetHostInfo(previous); }

    std::vector<cv::lan::ResolvedAddress> answers{{AF_INET, "198.18.0.1"}};
    std::pair<std::string, std::string> asked;
    cv::lan::HostInfo previous;
};

TEST_F(UpgradeWindow, TheAddressIsTheLastIpv4AnswerAndEachOneIsPrinted)
{
    answers = {{AF_INET, "10.0.0.5"}, {AF_INET, "198.18.0.1"}, {AF_INET6, "fe80::1"}};
    testing::internal::CaptureStdout();
    const QString address = WorkstationAddressForUpgrade();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "10.0.0.5\n198.18.0.1\n");
    EXPECT_EQ(address, "198.18.0.1");
    EXPECT_EQ(asked.first, "workstation");
    EXPECT_EQ(asked.second, "0/0") << "no hints: every family comes back";
}

TEST_F(UpgradeWindow, NoIpv4AnswerOrAnUnreadableOneGivesNoAddress)
{
    answers = {{AF_INET6, "::1"}};
    EXPECT_EQ(WorkstationAddressForUpgrade(), "");
    answers = {{AF_INET, "198.18.0.1 -c get evil"}, {AF_INET, "1.2.3.4.5"}};
    testing::internal::CaptureStdout();
    EXPECT_EQ(WorkstationAddressForUpgrade(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(UpgradeWindow, StartsTheWatchAndTheLongWaitThenSucceedsOnTheFiveHundredthTick)
{
    SelectReceiver("autoip", 0);
    dlg->m_transcript.append(u"File not found");  // an earlier operation's text
    testing::internal::CaptureStdout();
    Upgrade(*dlg);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(dlg->m_bUpgradeWatch, 1);
    EXPECT_TRUE(dlg->m_transcript.empty());
    EXPECT_EQ(dlg->TimerPeriod(TIMER_UPGRADE), 1000);
    EXPECT_EQ(dlg->Progress(IDC_PROGRESS)->Upper(), 500);
    EXPECT_EQ(dlg->GetDlgItemText(IDC_HOSTNAME_ID), "");
    EXPECT_FALSE(AnyDeviceButtonEnabled());
    for (int tick = 1; tick < 500; ++tick)
        dlg->OnTimer(TIMER_UPGRADE);
    EXPECT_TRUE(boxes.Shown().empty());
    dlg->OnTimer(TIMER_UPGRADE);
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{"Upgrade firmware success."});
    EXPECT_FALSE(dlg->IsTimerRunning(TIMER_UPGRADE));
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
    EXPECT_EQ(boxes.Texts(), (std::vector<QString>{"Please put webfwh.bin into TFTP server diretory.",
                                                   "Please run TFTP server."}));
    for (const auto& box : boxes.Shown())
        EXPECT_EQ(box.flags, platform::MB_OK | platform::MB_ICONERROR);

    boxes.Clear();
    dlg->m_bTxSelected = 0;
    dlg->m_transcript.clear();
    dlg->m_transcript.append(u"file not found\r\nFile not found\r\n");
    UpgradeFailureCheck(*dlg);
    UpgradeFailureCheck(*dlg);
    EXPECT_EQ(boxes.Texts(), (std::vector<QString>{"Please put webfwc.bin into TFTP server diretory.",
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
