// The window acts on the device it shows: driven with mouse and keys on the
// real window, against simulated endpoints in the test LAN, and checked on
// the simulator's wire log. Pauses are real.
#include "SimProcess.h"
#include "device/Device.h"
#include "net/Session.h"
#include "tests/support/FieldLan.h"
#include "tests/support/TestSupport.h"
#include "tests/wall/WallTestSupport.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>
#include <QTest>
#include <QWindow>
#include <gtest/gtest.h>

using cv::sim::SimProcess;
using namespace testing_support;
using namespace std::string_literals;

namespace {

const QString kSelectFirst = "Select a device in the TX or RX list first.";
const QString kApplySuccess = "Apply successfully";
const QString kEnterPositiveInteger = "Enter a positive integer.";

class OneSelectedDevice : public ::testing::Test {
protected:
    void Start(std::vector<std::string> args)
    {
        sim = std::make_unique<SimProcess>(std::move(args));
        ASSERT_TRUE(sim->start()) << sim->error();
        dlg = MakeMainWindow();
        dlg->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
    }

    void Press(int id)
    {
        auto* b = qobject_cast<QAbstractButton*>(dlg->GetDlgItem(id));
        ASSERT_TRUE(b->isEnabled()) << id;
        QTest::mouseClick(b, Qt::LeftButton);
    }
    // Scan with the button, until the lists are in and the scan wait is over.
    void ScanFor(int tx, int rx)
    {
        Press(IDC_SCAN);
        ASSERT_TRUE(PumpUntil([&] {
            return dlg->List(IDC_TX_LIST)->GetItemCount() == tx && dlg->List(IDC_RX_LIST)->GetItemCount() == rx &&
                !dlg->IsTimerRunning(TIMER_SCAN);
        }));
        boxes.Clear();
    }
    platform::ListView* List(bool tx) { return dlg->List(tx ? IDC_TX_LIST : IDC_RX_LIST); }
    int RowOf(bool tx, const std::string& address)
    {
        for (int r = 0; r < List(tx)->GetItemCount(); ++r)
            if (List(tx)->GetItemText(r, 0).toStdString() == address)
                return r;
        return -1;
    }
    void ClickRow(bool tx, const std::string& address)
    {
        const int row = RowOf(tx, address);
        ASSERT_GE(row, 0) << address;
        const QRect cell = List(tx)->visualRect(List(tx)->model()->index(row, 0));
        QTest::mouseClick(List(tx)->viewport(), Qt::LeftButton, {}, cell.center());
    }
    // The panel shows the endpoint's values and the selection wait is over.
    void WaitForPanel(const std::string& address)
    {
        ASSERT_TRUE(PumpUntil([&] {
            return dlg->IpAddress(IDC_IP_ADDRESS)->AddressText().toStdString() == address &&
                dlg->GetDlgItemText(IDC_VERSION) != "Version: " && !dlg->IsTimerRunning(TIMER_SELECT);
        })) << address;
        PumpEvents(200);  // the rest of the answer
        boxes.Clear();
    }
    void TypeInto(int id, const QString& text)
    {
        QWidget* w = dlg->GetDlgItem(id);
        w->setFocus(Qt::TabFocusReason);
        QTest::keyClick(w, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(w, text);
    }
    void DragRowToCell(int row, int cellId)
    {
        QWindow* window = dlg->windowHandle();
        QWidget* viewport = dlg->List(IDC_RX_LIST)->viewport();
        const QPoint at = viewport->mapTo(dlg.get(), wall_test::RowCentre(*dlg, row));
        QTest::mousePress(window, Qt::LeftButton, {}, at);
        QTest::mouseMove(window, at + QPoint(30, 4));
        const QPoint cell = wall_test::ControlCentre(*dlg, cellId);
        QTest::mouseMove(window, cell);
        QTest::mouseRelease(window, Qt::LeftButton, {}, cell);
    }
    std::string LastConnection(const std::string& ip)
    {
        const auto c = sim->connectionBytes(ip);
        return c.empty() ? std::string() : c.back();
    }
    bool LastConnectionIs(const std::string& ip, const std::string& bytes)
    {
        return PumpUntil([&] { return LastConnection(ip) == bytes; });
    }
    void StepWait(int timer, int ticks)
    {
        dlg->SetTimer(timer, 3600 * 1000);
        for (int i = 0; i < ticks; ++i)
            dlg->OnTimer(timer);
    }

    ScriptedMessageBoxes boxes;
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<CMyCortaviaDlg> dlg;
};

std::string Rx(int i) { return "198.18.2." + std::to_string(i); }
const std::vector<std::string> kFleet = {"--tx", "1", "--rx", "4"};
std::string HostnameLines(const std::string& id)
{
    return "astparam s hostname_id " + id + "\r\ne e_chg_hostname\r\nastparam save\r\n";
}
std::string ChannelLines(const std::string& channel)
{
    return "astparam s reset_ch_on_boot n\r\n\0astparam save\r\n\0e e_reconnect::"s + channel + "\r\n\0"s;
}

}  // namespace

// --- One selected device ---------------------------------------------------------

TEST_F(OneSelectedDevice, AfterAQuickVideoWallApplyRenamesTheSelectedReceiverAndNoOther)
{
    Start(kFleet);
    ScanFor(1, 4);
    ClickRow(false, Rx(4));
    WaitForPanel(Rx(4));
    Press(IDC_QUICK_WALL);
    for (int i = 1; i <= 4; ++i)
        ASSERT_TRUE(PumpUntil([&] { return LastConnection(Rx(i)).find("e e_vw_enable_") != std::string::npos; }));
    PumpEvents(300);  // the receivers' answers arrive and are shown
    TypeInto(IDC_HOSTNAME_ID, "WALL04");
    Press(IDC_APPLY);
    EXPECT_TRUE(LastConnectionIs(Rx(4), "root\r\n" + HostnameLines("WALL04"))) << LastConnection(Rx(4));
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{kApplySuccess});
    EXPECT_EQ(List(false)->GetItemText(RowOf(false, Rx(4)), 4), "WALL04");
    PumpEvents(300);
    for (const std::string& other : {Rx(1), Rx(2), Rx(3), "198.18.1.1"s})
        EXPECT_EQ(sim->wireBytes(other).find("hostname_id"), std::string::npos) << other;
    EXPECT_NE(List(false)->GetItemText(RowOf(false, Rx(1)), 4), "WALL04");
}

TEST_F(OneSelectedDevice, ADropLeavesThePanelAndApplyWithTheSelectedDevice)
{
    Start(kFleet);
    ScanFor(1, 4);
    ClickRow(false, Rx(2));
    WaitForPanel(Rx(2));
    DragRowToCell(RowOf(false, Rx(3)), GridButtonId(0, 0));
    ASSERT_TRUE(PumpUntil([&] { return LastConnection(Rx(3)).find("e e_vw_enable_") != std::string::npos; }));
    PumpEvents(300);
    EXPECT_EQ(dlg->IpAddress(IDC_IP_ADDRESS)->AddressText().toStdString(), Rx(2));
    EXPECT_EQ(List(false)->GetSelectedRow(), RowOf(false, Rx(2))) << "the drag selected nothing";

    QComboBox* channel = dlg->Combo(IDC_CHANNEL);
    channel->setFocus(Qt::TabFocusReason);
    QTest::keyClick(channel, Qt::Key_Down);
    const std::string chosen = channel->currentText().toStdString();
    Press(IDC_APPLY);
    EXPECT_TRUE(LastConnectionIs(Rx(2), "root\r\n" + ChannelLines(chosen))) << LastConnection(Rx(2));
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{kApplySuccess});
    EXPECT_EQ(sim->wireBytes(Rx(3)).find("e_reconnect"), std::string::npos);
}

TEST_F(OneSelectedDevice, TheKeysSelectAsAClickDoesAndRebootGoesToTheRowTheyReached)
{
    Start(kFleet);
    ScanFor(1, 4);
    platform::ListView* rx = List(false);
    ClickRow(false, rx->GetItemText(0, 0).toStdString());
    WaitForPanel(rx->GetItemText(0, 0).toStdString());
    const auto expectSelected = [&](int row) {
        const std::string address = rx->GetItemText(row, 0).toStdString();
        WaitForPanel(address);
        EXPECT_EQ(rx->GetSelectedRow(), row);
        EXPECT_EQ(LastConnection(address), kDetailLines) << "the detail query went to " << address;
    };
    QTest::keyClick(rx, Qt::Key_Down);
    expectSelected(1);
    QTest::keyClick(rx, Qt::Key_End);
    expectSelected(3);
    QTest::keyClick(rx, Qt::Key_Home);
    expectSelected(0);
    QTest::keyClicks(rx, QString::fromStdString(Rx(3)));  // type-ahead
    expectSelected(RowOf(false, Rx(3)));

    Press(IDC_REBOOT);
    EXPECT_TRUE(LastConnectionIs(Rx(3), kDetailLines + "reboot\r\n\0"s)) << LastConnection(Rx(3));
    PumpEvents(300);
    for (const std::string& other : {Rx(1), Rx(2), Rx(4), "198.18.1.1"s})
        EXPECT_EQ(sim->wireBytes(other).find("reboot"), std::string::npos) << other;
}

TEST_F(OneSelectedDevice, ATxRowAndAnRxRowAreNeverSelectedTogether)
{
    Start(kFleet);
    ScanFor(1, 4);
    ClickRow(true, "198.18.1.1");
    WaitForPanel("198.18.1.1");
    ClickRow(false, Rx(1));
    WaitForPanel(Rx(1));
    EXPECT_EQ(List(true)->GetSelectedRow(), -1);
    QTest::keyClick(List(true), Qt::Key_Space);  // the TX list's current row, by key
    WaitForPanel("198.18.1.1");
    EXPECT_EQ(List(true)->GetSelectedRow(), 0);
    EXPECT_EQ(List(false)->GetSelectedRow(), -1);
}

TEST_F(OneSelectedDevice, RightAfterAScanRebootFactoryDefaultAndUpgradeSendNothing)
{
    Start(kFleet);
    ScanFor(1, 4);
    ASSERT_EQ(EnabledDeviceButtons(*dlg), 4);
    std::map<std::string, std::string> before;
    for (const std::string& ip : {Rx(1), Rx(2), Rx(3), Rx(4), "198.18.1.1"s})
        before[ip] = sim->wireBytes(ip);
    for (int id : {IDC_REBOOT, IDC_FACTORY_DEFAULT, IDC_UPGRADE, IDC_APPLY}) {
        boxes.Clear();
        Press(id);
        ASSERT_EQ(boxes.Texts(), std::vector<QString>{kSelectFirst}) << id << ": no question, no line";
        EXPECT_EQ(boxes.Shown()[0].flags, platform::MB_OK | platform::MB_ICONINFORMATION);
    }
    EXPECT_FALSE(dlg->IsTimerRunning(TIMER_REBOOT));
    EXPECT_FALSE(dlg->IsTimerRunning(TIMER_UPGRADE));
    PumpEvents(300);
    for (const auto& [ip, bytes] : before)
        EXPECT_EQ(sim->wireBytes(ip), bytes) << ip;
}

// --- Apply's result ----------------------------------------------------------------

TEST_F(OneSelectedDevice, AnApplyThatNothingAnswersWarnsInsteadOfReportingSuccess)
{
    Start({"--node", "rx ip=198.18.2.1 channel=0003", "--fault", "silent@198.18.2.1"});
    List(false)->InsertItem(0, "198.18.2.1");
    ClickRow(false, "198.18.2.1");
    ASSERT_TRUE(PumpUntil([&] { return LastConnection("198.18.2.1") == kDetailLines; }));
    ASSERT_TRUE(PumpUntil([&] { return !dlg->IsTimerRunning(TIMER_SELECT); }));
    QComboBox* channel = dlg->Combo(IDC_CHANNEL);
    channel->setFocus(Qt::TabFocusReason);
    QTest::keyClick(channel, Qt::Key_Down);
    const std::string chosen = channel->currentText().toStdString();
    ASSERT_FALSE(chosen.empty());
    TypeInto(IDC_HOSTNAME_ID, "nopower");
    const QString channelCell = List(false)->GetItemText(0, 2), nameCell = List(false)->GetItemText(0, 4);
    Press(IDC_APPLY);
    EXPECT_TRUE(PumpUntil([&] {
        const std::string c = LastConnection("198.18.2.1");
        return c.find("astparam s hostname_id nopower\r\n") != std::string::npos &&
            c.find(ChannelLines(chosen)) != std::string::npos;
    })) << LastConnection("198.18.2.1");
    ASSERT_EQ(boxes.Texts(),
              std::vector<QString>{"The endpoint 198.18.2.1 did not answer. The settings may not have "
                                   "reached it; please scan again."});
    EXPECT_EQ(boxes.Shown()[0].flags, platform::MB_OK | platform::MB_ICONWARNING);
    // What did not reach it is not shown as its own.
    EXPECT_EQ(List(false)->GetItemText(0, 2), channelCell);
    EXPECT_EQ(List(false)->GetItemText(0, 4), nameCell);
}

// --- Bezel values -------------------------------------------------------------------

TEST_F(OneSelectedDevice, ABezelValueThatIsNoNumberOrOutOfRangeSendsNothing)
{
    Start({"--tx", "0", "--rx", "2"});
    wall_test::FillRx(*dlg, {"198.18.2.1", "198.18.2.2"});
    dlg->EnableWindow(IDC_QUICK_WALL, true);  // as the node list parse leaves it
    for (const QString& typed : {QString("abc"), QString("99999999999"), QString("-1")}) {
        SCOPED_TRACE(typed.toStdString());
        boxes.Clear();
        TypeInto(IDC_OW, typed);
        DragRowToCell(1, GridButtonId(0, 1));
        EXPECT_EQ(boxes.Texts(), std::vector<QString>{kEnterPositiveInteger});
        EXPECT_EQ(dlg->GetDlgItemText(GridButtonId(0, 1)), "0_1");
        boxes.Clear();
        Press(IDC_QUICK_WALL);
        EXPECT_EQ(boxes.Texts(), std::vector<QString>{kEnterPositiveInteger});
    }
    PumpEvents(300);
    EXPECT_TRUE(sim->connectionBytes("198.18.2.1").empty());
    EXPECT_TRUE(sim->connectionBytes("198.18.2.2").empty());
}

TEST_F(OneSelectedDevice, AWallWhoseTilesWouldComeOutReversedIsRefusedWithNothingSent)
{
    Start({"--tx", "0", "--rx", "2"});
    wall_test::FillRx(*dlg, {"198.18.2.1", "198.18.2.2"});
    wall_test::SetWallSize(*dlg, 1, 3);
    TypeInto(IDC_OW, "3000000000");  // in range, but OW x column wraps past the wall width
    TypeInto(IDC_VW, "12100");
    DragRowToCell(0, GridButtonId(0, 1));
    const QString refused = QString::fromLatin1(wall_text::kWallTilesUnsound);
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{refused});
    EXPECT_EQ(dlg->GetDlgItemText(GridButtonId(0, 1)), "0_1");
    dlg->EnableWindow(IDC_QUICK_WALL, true);
    Press(IDC_QUICK_WALL);
    EXPECT_EQ(boxes.Texts(), (std::vector<QString>{refused, refused}));
    PumpEvents(300);
    EXPECT_TRUE(sim->connectionBytes("198.18.2.1").empty());
}

TEST_F(OneSelectedDevice, AScanKeepsTheTypedBezelValuesAndTheDropUsesThem)
{
    Start({"--tx", "1", "--rx", "2"});
    wall_test::SetWallSize(*dlg, 2, 3);
    TypeInto(IDC_OW, "12170");
    TypeInto(IDC_OH, "6870");
    TypeInto(IDC_VW, "12100");
    TypeInto(IDC_VH, "6800");
    ScanFor(1, 2);
    EXPECT_EQ(dlg->GetDlgItemText(IDC_OW), "12170");
    EXPECT_EQ(dlg->GetDlgItemText(IDC_OH), "6870");
    EXPECT_EQ(dlg->GetDlgItemText(IDC_VW), "12100");
    EXPECT_EQ(dlg->GetDlgItemText(IDC_VH), "6800");
    const std::string ip = List(false)->GetItemText(0, 0).toStdString();
    DragRowToCell(0, GridButtonId(0, 1));
    EXPECT_TRUE(LastConnectionIs(ip, "root\r\ne e_vw_enable_3339_0_6660_4974_2\r\n")) << LastConnection(ip);
}

// --- Where the endpoint comes back ----------------------------------------------------

TEST_F(OneSelectedDevice, ANewStaticAddressIsWhereTheRebootWaitLooksAndWhatItNames)
{
    Start({"--node", "rx ip=198.18.2.1 channel=0001 ip_mode=static netmask=255.255.0.0 gateway=198.18.0.1",
           "--reboot-delay", "300"});
    List(false)->InsertItem(0, "198.18.2.1");
    ClickRow(false, "198.18.2.1");
    WaitForPanel("198.18.2.1");
    dlg->IpAddress(IDC_IP_ADDRESS)->SetAddressText("198.18.2.9");
    boxes.Answer(platform::IDYES);
    Press(IDC_APPLY);
    const std::string lines = "astparam s ipaddr 198.18.2.9\r\nastparam s netmask 255.255.0.0\r\n"
                              "astparam s gatewayip 198.18.0.1\r\nastparam s ip_mode static\r\nastparam save\r\n"
                              "reboot\r\n\0"s;
    EXPECT_TRUE(LastConnectionIs("198.18.2.1", kDetailLines + lines)) << LastConnection("198.18.2.1");
    ASSERT_TRUE(sim->waitForEvent("198.18.2.9", "\nup\n", std::chrono::seconds(30))) << sim->events("198.18.2.1");
    boxes.Clear();
    StepWait(TIMER_REBOOT, 25);
    ASSERT_TRUE(PumpUntil([&] { return !boxes.Shown().empty(); }));
    EXPECT_EQ(boxes.Texts(),
              std::vector<QString>{"Reboot success: the endpoint answers at its new address 198.18.2.9."});
}

TEST_F(OneSelectedDevice, AnAddressAnotherEndpointAnswersAtIsAskedAboutAndIsNeverARebootSuccess)
{
    Start({"--node", "rx ip=198.18.2.7 channel=0001 ip_mode=static netmask=255.255.0.0 gateway=198.18.0.1", "--node",
           "rx ip=198.18.2.8", "--reboot-delay", "300"});
    List(false)->InsertItem(0, "198.18.2.7");
    List(false)->InsertItem(1, "198.18.2.8");
    ClickRow(false, "198.18.2.7");
    WaitForPanel("198.18.2.7");
    dlg->IpAddress(IDC_IP_ADDRESS)->SetAddressText("198.18.2.8");
    Press(IDC_APPLY);  // no answer given: the box's default
    ASSERT_EQ(boxes.Shown().size(), 1u);
    EXPECT_TRUE(boxes.Texts()[0].contains("Another endpoint already answers at this address"))
        << boxes.Texts()[0].toStdString();
    EXPECT_EQ(boxes.Shown()[0].flags, platform::MB_YESNO | platform::MB_ICONWARNING | platform::MB_DEFBUTTON2);
    PumpEvents(200);
    EXPECT_EQ(sim->wireBytes("198.18.2.7"), kDetailLines) << "No sends nothing";

    // Yes, and yes to the reboot: what answers there is the other one.
    boxes.Clear();
    boxes.Answer(platform::IDYES);
    boxes.Answer(platform::IDYES);
    Press(IDC_APPLY);
    EXPECT_TRUE(PumpUntil([&] {
        const std::string c = LastConnection("198.18.2.7");
        return c.find("astparam s ipaddr 198.18.2.8\r\n") != std::string::npos &&
            c.find("reboot\r\n") != std::string::npos;
    })) << LastConnection("198.18.2.7");
    ASSERT_TRUE(sim->waitForEvent("198.18.2.7", "\nup\n", std::chrono::seconds(30))) << sim->events("198.18.2.7");
    boxes.Clear();
    StepWait(TIMER_REBOOT, 25);
    ASSERT_TRUE(PumpUntil([&] { return !boxes.Shown().empty(); }));
    EXPECT_EQ(boxes.Texts(),
              std::vector<QString>{"Another endpoint (MAC 02:00:C6:12:02:08) answers at 198.18.2.8, not "
                                   "the one that was restarted (MAC 02:00:C6:12:02:07). Two endpoints "
                                   "may have the same address: check them, then scan again."});
}

TEST_F(OneSelectedDevice, ANewStaticAddressNobodyAnswersAtIsTheOneTheWarningNames)
{
    Start({"--node", "rx ip=198.18.2.1 channel=0001 ip_mode=static netmask=255.255.0.0 gateway=198.18.0.1",
           "--reboot-delay", "600000"});
    List(false)->InsertItem(0, "198.18.2.1");
    ClickRow(false, "198.18.2.1");
    WaitForPanel("198.18.2.1");
    dlg->IpAddress(IDC_IP_ADDRESS)->SetAddressText("198.18.2.9");
    boxes.Answer(platform::IDYES);
    Press(IDC_APPLY);
    ASSERT_TRUE(sim->waitForEvent("198.18.2.1", "down 600000ms"));
    boxes.Clear();
    StepWait(TIMER_REBOOT, 25);
    ASSERT_TRUE(PumpUntil([&] { return !boxes.Shown().empty(); }));
    EXPECT_EQ(boxes.Texts(),
              std::vector<QString>{"The endpoint 198.18.2.9 did not come back after the reboot. Check "
                                   "its power and network, then scan again."});
}

TEST_F(OneSelectedDevice, AfterAutoIpTheOldAddressAnsweringIsARebootSuccess)
{
    Start({"--node", "rx ip=198.18.2.1 channel=0001 ip_mode=static netmask=255.255.0.0 gateway=198.18.0.1",
           "--reboot-delay", "300"});
    List(false)->InsertItem(0, "198.18.2.1");
    ClickRow(false, "198.18.2.1");
    WaitForPanel("198.18.2.1");
    QTest::mouseClick(dlg->GetDlgItem(IDC_AUTO_IP), Qt::LeftButton);
    boxes.Answer(platform::IDYES);
    Press(IDC_APPLY);
    ASSERT_TRUE(sim->waitForEvent("198.18.2.1", "\nup\n", std::chrono::seconds(30))) << sim->events("198.18.2.1");
    EXPECT_EQ(sim->wireBytes("198.18.2.1"),
              kDetailLines + "astparam s ip_mode autoip\r\nastparam save\r\nreboot\r\n\0"s);
    boxes.Clear();
    StepWait(TIMER_REBOOT, 25);
    ASSERT_TRUE(PumpUntil([&] { return !boxes.Shown().empty(); }));
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{"Reboot success"});
}

TEST_F(OneSelectedDevice, AfterFactoryDefaultSilenceAtTheOldAddressIsNoLossButAScanAway)
{
    Start({"--node", "rx ip=198.18.2.1 channel=0001", "--reboot-delay", "600000"});
    List(false)->InsertItem(0, "198.18.2.1");
    ClickRow(false, "198.18.2.1");
    WaitForPanel("198.18.2.1");
    boxes.Answer(platform::IDYES);
    Press(IDC_FACTORY_DEFAULT);
    ASSERT_TRUE(sim->waitForEvent("198.18.2.1", "down 600000ms"));
    EXPECT_EQ(sim->wireBytes("198.18.2.1"), kDetailLines + "reset_to_default.sh\r\n\0reboot\r\n\0"s);
    boxes.Clear();
    StepWait(TIMER_REBOOT, 25);
    ASSERT_TRUE(PumpUntil([&] { return !boxes.Shown().empty(); }));
    EXPECT_EQ(boxes.Texts(),
              std::vector<QString>{"The endpoint did not answer at 198.18.2.1 after the restart. It may "
                                   "have restarted at a new address; a Scan will find it."});
    EXPECT_EQ(boxes.Shown()[0].flags, platform::MB_OK | platform::MB_ICONINFORMATION);
}
