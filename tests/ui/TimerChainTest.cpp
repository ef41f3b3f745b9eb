// The progress waits, stepped by calling OnTimer as the platform would.
#include "net/Session.h"
#include "nodes/Transcript.h"
#include "platform/Controls.h"
#include "tests/support/TestSupport.h"
#include "ui/CortaviaDlg.h"

#include <gtest/gtest.h>

using testing_support::MakeMainWindow;
using testing_support::ScriptedMessageBoxes;

namespace {

class TimerChain : public ::testing::Test {
protected:
    void SetUp() override { dlg = MakeMainWindow(); }
    bool DeviceButtonsEnabled() const { return testing_support::EnabledDeviceButtons(*dlg) == 4; }
    void Tick(int id, int times = 1)
    {
        for (int i = 0; i < times; ++i)
            dlg->OnTimer(id);
    }
    int Pos() const { return dlg->Progress(IDC_PROGRESS)->GetPos(); }

    ScriptedMessageBoxes boxes;
    std::unique_ptr<CMyCortaviaDlg> dlg;
};

}  // namespace

TEST_F(TimerChain, ScanWaitEndsOnItsFourthTickAndEnablesTheDeviceButtons)
{
    StartWait(*dlg, TIMER_SCAN, 4, 500);
    StartWait(*dlg, TIMER_SELECT, 4, 1);
    Tick(TIMER_SCAN, 3);
    EXPECT_TRUE(dlg->IsTimerRunning(TIMER_SCAN));
    EXPECT_FALSE(DeviceButtonsEnabled());
    Tick(TIMER_SCAN);
    EXPECT_FALSE(dlg->IsTimerRunning(TIMER_SCAN));
    EXPECT_FALSE(dlg->IsTimerRunning(TIMER_SELECT)) << "the scan tick runs the selection step too";
    EXPECT_TRUE(DeviceButtonsEnabled());
    EXPECT_FALSE(dlg->IsWindowEnabled(IDC_QUICK_WALL));
    EXPECT_TRUE(boxes.Shown().empty());
}

TEST_F(TimerChain, ScanPressedAgainRestartsTheWait)
{
    StartWait(*dlg, TIMER_SCAN, 4, 500);
    Tick(TIMER_SCAN, 3);
    StartWait(*dlg, TIMER_SCAN, 4, 500);
    EXPECT_EQ(Pos(), 0);
    Tick(TIMER_SCAN, 3);
    EXPECT_TRUE(dlg->IsTimerRunning(TIMER_SCAN));
    Tick(TIMER_SCAN);
    EXPECT_FALSE(dlg->IsTimerRunning(TIMER_SCAN));
}

TEST_F(TimerChain, RebootWaitEndsOnItsTwentyFifthTickOnlyAndReportsOnce)
{
    StartWait(*dlg, TIMER_REBOOT, 25, 1000);
    dlg->m_strRebootTarget = "127.0.0.1";  // nobody on its shell port
    Tick(TIMER_REBOOT, 24);
    EXPECT_TRUE(boxes.Shown().empty());
    Tick(TIMER_REBOOT);
    EXPECT_FALSE(dlg->IsTimerRunning(TIMER_REBOOT));
    ASSERT_TRUE(testing_support::PumpUntil([&] { return !boxes.Shown().empty(); }));
    testing_support::PumpEvents(100);
    ASSERT_EQ(boxes.Texts().size(), 1u);
    EXPECT_TRUE(boxes.Texts()[0].startsWith("The endpoint 127.0.0.1 did not come back"))
        << boxes.Texts()[0].toStdString();
    EXPECT_FALSE(DeviceButtonsEnabled()) << "the reboot wait enables nothing";
}

TEST_F(TimerChain, AScanDuringTheRebootWaitHoldsTheBarBelowTwentyFive)
{
    StartWait(*dlg, TIMER_REBOOT, 25, 1000);
    Tick(TIMER_REBOOT, 10);
    StartWait(*dlg, TIMER_SCAN, 4, 500);
    Tick(TIMER_SCAN, 4);
    EXPECT_FALSE(dlg->IsTimerRunning(TIMER_SCAN));
    Tick(TIMER_REBOOT, 40);
    EXPECT_EQ(Pos(), 4);
    EXPECT_TRUE(dlg->IsTimerRunning(TIMER_REBOOT));
    EXPECT_TRUE(boxes.Shown().empty());
}

TEST_F(TimerChain, UpgradeWaitEndsOnItsFiveHundredthTickWithoutClaimingSuccess)
{
    StartWait(*dlg, TIMER_UPGRADE, 500, 1000);
    Tick(TIMER_UPGRADE, 499);
    EXPECT_TRUE(boxes.Shown().empty());
    Tick(TIMER_UPGRADE);
    EXPECT_FALSE(dlg->IsTimerRunning(TIMER_UPGRADE));
    // No endpoint recorded: nothing can have come back.
    ASSERT_TRUE(testing_support::PumpUntil([&] { return !boxes.Shown().empty(); }));
    EXPECT_NE(boxes.Texts()[0], "Upgrade firmware success.");
    EXPECT_FALSE(DeviceButtonsEnabled());
}

TEST_F(TimerChain, AFailureTextEndsTheUpgradeWaitAtTheNextTick)
{
    for (const char16_t* failure : {u"Transfer timed out.\r\n", u"Error code 1: File not found\r\n"}) {
        EnableDeviceButtons(*dlg, false);
        StartWait(*dlg, TIMER_UPGRADE, 500, 1000);
        dlg->m_transcript.clear();
        Tick(TIMER_UPGRADE, 37);
        dlg->m_transcript.append(failure);
        EXPECT_TRUE(dlg->IsTimerRunning(TIMER_UPGRADE));
        Tick(TIMER_UPGRADE);
        EXPECT_FALSE(dlg->IsTimerRunning(TIMER_UPGRADE));
        EXPECT_EQ(Pos(), 38);
        EXPECT_TRUE(DeviceButtonsEnabled());
        EXPECT_TRUE(boxes.Shown().empty()) << "the advice comes from the receive path, not the tick";
    }
}

TEST_F(TimerChain, ASelectionDuringTheUpgradeLeavesOnlyAFailureToEndIt)
{
    StartWait(*dlg, TIMER_UPGRADE, 500, 1000);
    Tick(TIMER_UPGRADE, 20);
    StartWait(*dlg, TIMER_SELECT, 4, 1);
    Tick(TIMER_SELECT, 4);
    EXPECT_FALSE(dlg->IsTimerRunning(TIMER_SELECT));
    EXPECT_TRUE(DeviceButtonsEnabled());
    Tick(TIMER_UPGRADE, 600);
    EXPECT_TRUE(dlg->IsTimerRunning(TIMER_UPGRADE));
    EXPECT_TRUE(boxes.Shown().empty());
    dlg->m_transcript.append(u"Transfer timed out");
    StartWait(*dlg, TIMER_SCAN, 4, 500);
    Tick(TIMER_SCAN);  // any running timer's tick reads the failure
    EXPECT_FALSE(dlg->IsTimerRunning(TIMER_UPGRADE));
    EXPECT_TRUE(dlg->IsTimerRunning(TIMER_SCAN));
}

TEST_F(TimerChain, TicksOfOtherIdsChangeNothing)
{
    StartWait(*dlg, TIMER_SCAN, 4, 500);
    Tick(5, 10);
    Tick(0, 10);
    EXPECT_EQ(Pos(), 0);
    EXPECT_TRUE(dlg->IsTimerRunning(TIMER_SCAN));
}
