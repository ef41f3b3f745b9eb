// The wall operations on a real window, offscreen. No test here reaches a
// network: every receiver row has an empty address, so a session opens no
// connection and every tested send fails.
#include "tests/support/TestSupport.h"
#include "tests/wall/WallTestSupport.h"

#include <QLabel>
#include <QTest>
#include <QWindow>
#include <gtest/gtest.h>

using namespace wall_test;
using testing_support::InstantSleeps;
using testing_support::MakeMainWindow;
using testing_support::ScriptedMessageBoxes;

namespace {

const QString kBezelZero = QString::fromLatin1(wall_text::kBezelZero);
const QString kApplyFail = QString::fromLatin1(wall_text::kApplyFail);
const QString kWallSizeZero = QString::fromLatin1(wall_text::kWallSizeZero);

std::vector<QString> Unreachable(int count) { return std::vector<QString>(static_cast<size_t>(count)); }

QStringList Captions(CMyCortaviaDlg& dlg)
{
    QStringList all;
    for (int r = 0; r < 5; ++r)
        for (int c = 0; c < 5; ++c)
            all << dlg.GetDlgItemText(GridButtonId(r, c));
    return all;
}

}  // namespace

TEST(WallGrid, ShowsOnlyTheCellsOfTheChosenSizeAndNamesItOnTheQuickButton)
{
    auto dlg = MakeMainWindow();
    EXPECT_EQ(dlg->GetDlgItemText(IDC_QUICK_WALL), "5 x 5");
    SetWallSize(*dlg, 2, 3);
    EXPECT_EQ(dlg->GetDlgItemText(IDC_QUICK_WALL), "2 x 3");
    for (int r = 0; r < 5; ++r)
        for (int c = 0; c < 5; ++c)
            EXPECT_EQ(dlg->IsWindowVisible(GridButtonId(r, c)), r <= 1 && c <= 2) << r << "_" << c;
    // Hidden cells cannot take a drop: nothing is found under them.
    EXPECT_EQ(dlg->ControlFromPoint(ControlCentre(*dlg, GridButtonId(3, 3))), 0);
    EXPECT_EQ(dlg->ControlFromPoint(ControlCentre(*dlg, GridButtonId(1, 2))), GridButtonId(1, 2));
}

TEST(WallGrid, ClearsPlacementsOnVisibleCellsButKeepsThemOnHiddenOnesUntilShownAgain)
{
    auto dlg = MakeMainWindow();
    dlg->SetDlgItemText(GridButtonId(0, 1), "3");
    dlg->SetDlgItemText(GridButtonId(4, 4), "7");
    SetWallSize(*dlg, 2, 2);
    EXPECT_EQ(dlg->GetDlgItemText(GridButtonId(0, 1)), "0_1");
    EXPECT_EQ(dlg->GetDlgItemText(GridButtonId(4, 4)), "7");
    SetWallSize(*dlg, 5, 5);
    EXPECT_EQ(dlg->GetDlgItemText(GridButtonId(4, 4)), "4_4");
}

TEST(WallGrid, ResizesWhenTheOperatorPicksAMonitorCount)
{
    auto dlg = MakeMainWindow();
    platform::ComboBox* rows = dlg->Combo(IDC_VERTICAL_COUNT);
    rows->setCurrentIndex(0);
    emit rows->activated(0);  // what a pick in the drop-down list raises
    EXPECT_EQ(dlg->GetDlgItemText(IDC_QUICK_WALL), "1 x 5");
    EXPECT_FALSE(dlg->IsWindowVisible(GridButtonId(1, 0)));
}

TEST(Drop, OnAWallLargerThanOneCellRefusesZeroBezelsWithoutOpeningASession)
{
    ScriptedMessageBoxes boxes;
    InstantSleeps sleeps;
    auto dlg = MakeMainWindow();
    FillRx(*dlg, Unreachable(1));
    SetWallSize(*dlg, 1, 2);
    SetBezels(*dlg, "10", "10", "0", "10");
    Drop(*dlg, GridButtonId(0, 1));
    ASSERT_EQ(boxes.Shown().size(), 1u);
    EXPECT_EQ(boxes.Shown()[0].text, kBezelZero);
    EXPECT_EQ(boxes.Shown()[0].flags, unsigned(platform::MB_OK));
    EXPECT_FALSE(dlg->Slot(0).IsOpen());
    EXPECT_TRUE(sleeps.Pauses().empty());
    EXPECT_EQ(dlg->GetDlgItemText(GridButtonId(0, 1)), "0_1");
}

TEST(Drop, RefusesBezelsThatWrapTheWallWidthToZeroWithItsOwnMessage)
{
    ScriptedMessageBoxes boxes;
    InstantSleeps sleeps;
    auto dlg = MakeMainWindow();
    FillRx(*dlg, Unreachable(1));
    SetWallSize(*dlg, 1, 2);
    // Wt = VW + 1 * OW = 2^32, which is 0 in 32 bits.
    SetBezels(*dlg, "2", "5", "4294967294", "5");
    Drop(*dlg, GridButtonId(0, 1));
    ASSERT_EQ(boxes.Texts(), std::vector<QString>{kWallSizeZero});
    EXPECT_FALSE(dlg->Slot(0).IsOpen());
    EXPECT_EQ(dlg->GetDlgItemText(GridButtonId(0, 1)), "0_1");
}

TEST(Drop, PlacesTheLabelEvenWhenTheSendFailsAndReportsTheFailure)
{
    ScriptedMessageBoxes boxes;
    InstantSleeps sleeps;
    auto dlg = MakeMainWindow();
    FillRx(*dlg, Unreachable(3));
    dlg->m_bUpgradeWatch = 1;
    dlg->m_nDragRow = 2;
    Drop(*dlg, GridButtonId(1, 1));
    EXPECT_EQ(dlg->GetDlgItemText(GridButtonId(1, 1)), "2");
    ASSERT_EQ(boxes.Shown().size(), 1u);
    EXPECT_EQ(boxes.Shown()[0].text, kApplyFail);
    EXPECT_EQ(boxes.Shown()[0].flags, unsigned(platform::MB_ICONINFORMATION));
    EXPECT_EQ(dlg->m_bUpgradeWatch, 0);
    EXPECT_EQ(sleeps.Pauses(), (std::vector<unsigned>{20, 1}));
}

TEST(Drop, MovesAReceiverOffItsOldCellAndReplacesAnotherReceiversNumber)
{
    ScriptedMessageBoxes boxes;
    InstantSleeps sleeps;
    auto dlg = MakeMainWindow();
    FillRx(*dlg, Unreachable(2));
    dlg->m_nDragRow = 1;
    Drop(*dlg, GridButtonId(0, 0));
    Drop(*dlg, GridButtonId(2, 3));
    EXPECT_EQ(dlg->GetDlgItemText(GridButtonId(0, 0)), "0_0");
    EXPECT_EQ(dlg->GetDlgItemText(GridButtonId(2, 3)), "1");
    dlg->m_nDragRow = 0;
    Drop(*dlg, GridButtonId(2, 3));
    EXPECT_EQ(dlg->GetDlgItemText(GridButtonId(2, 3)), "0");
    QStringList expected;
    for (int r = 0; r < 5; ++r)
        for (int c = 0; c < 5; ++c)
            expected << (r == 2 && c == 3 ? QStringLiteral("0") : PositionLabel(r, c));
    EXPECT_EQ(Captions(*dlg), expected);
}

TEST(Drop, TakesTheBezelValuesTypedIntoTheEdits)
{
    ScriptedMessageBoxes boxes;
    InstantSleeps sleeps;
    auto dlg = MakeMainWindow();
    FillRx(*dlg, Unreachable(1));
    SetBezels(*dlg, "12170", "6870", "12100", "6800");
    Drop(*dlg, GridButtonId(0, 0));
    EXPECT_EQ(dlg->m_nOW, 12170u);
    EXPECT_EQ(dlg->m_nOH, 6870u);
    EXPECT_EQ(dlg->m_nVW, 12100u);
    EXPECT_EQ(dlg->m_nVH, 6800u);
}

TEST(DragAndDrop, ReleasingOverAControlThatIsNotAGridButtonDoesNothing)
{
    ScriptedMessageBoxes boxes;
    InstantSleeps sleeps;
    auto dlg = MakeMainWindow();
    dlg->show();
    FillRx(*dlg, Unreachable(2));
    const QStringList before = Captions(*dlg);

    for (int target : {IDC_TX_LIST, IDC_RX_LIST, IDC_SCAN, IDC_OW}) {
        PressAndStartDrag(*dlg, 1);
        ASSERT_EQ(dlg->m_bDragging, 1);
        MoveAndRelease(*dlg, ControlCentre(*dlg, target));
        EXPECT_EQ(dlg->m_bDragging, 0);
        EXPECT_EQ(dlg->m_nDropTarget, target);
    }
    // An empty part of the panel and a point outside the window.
    for (QPoint at : {ControlCentre(*dlg, IDC_WALL_LAYOUT_GROUP) + QPoint(0, -40), QPoint(-50, -50)}) {
        PressAndStartDrag(*dlg, 0);
        MoveAndRelease(*dlg, at);
        EXPECT_EQ(dlg->m_nDropTarget, 0);
    }
    EXPECT_TRUE(boxes.Shown().empty());
    EXPECT_TRUE(sleeps.Pauses().empty());
    EXPECT_FALSE(dlg->Slot(0).IsOpen());
    EXPECT_EQ(Captions(*dlg), before);
    EXPECT_TRUE(dlg->m_pDragImage.isNull());
    EXPECT_EQ(QWidget::mouseGrabber(), nullptr);
}

TEST(DragAndDrop, AnImageOfTheRowFollowsTheCursorWithItsHotSpotAtEightEight)
{
    ScriptedMessageBoxes boxes;
    InstantSleeps sleeps;
    auto dlg = MakeMainWindow();
    dlg->show();
    FillRx(*dlg, Unreachable(1));
    PressAndStartDrag(*dlg, 0);
    ASSERT_FALSE(dlg->m_pDragImage.isNull());
    EXPECT_TRUE(dlg->m_pDragImage->isWindow());
    EXPECT_TRUE(dlg->m_pDragImage->isVisible());
    EXPECT_EQ(QWidget::mouseGrabber(), dlg.get());
    EXPECT_EQ(dlg->m_nDropTarget, IDC_RX_LIST);

    const QPoint over = ControlCentre(*dlg, GridButtonId(3, 4));
    SendMouse(dlg.get(), QEvent::MouseMove, over, Qt::NoButton, Qt::LeftButton);
    EXPECT_EQ(dlg->m_nDropTarget, GridButtonId(3, 4));
    EXPECT_EQ(dlg->m_pDragImage->pos(), dlg->mapToGlobal(over) - QPoint(8, 8));
    // Far outside the window: the image still follows.
    SendMouse(dlg.get(), QEvent::MouseMove, QPoint(-300, 900), Qt::NoButton, Qt::LeftButton);
    EXPECT_EQ(dlg->m_pDragImage->pos(), dlg->mapToGlobal(QPoint(-300, 900)) - QPoint(8, 8));
    EXPECT_EQ(dlg->m_nDropTarget, 0);
    SendMouse(dlg.get(), QEvent::MouseButtonRelease, QPoint(-300, 900), Qt::LeftButton, Qt::NoButton);
    EXPECT_TRUE(dlg->m_pDragImage.isNull());
}

TEST(DragAndDrop, ADropOnAGridButtonPlacesTheDraggedRowsNumber)
{
    ScriptedMessageBoxes boxes;
    InstantSleeps sleeps;
    auto dlg = MakeMainWindow();
    dlg->show();
    FillRx(*dlg, Unreachable(3));
    PressAndStartDrag(*dlg, 2);
    MoveAndRelease(*dlg, ControlCentre(*dlg, GridButtonId(4, 0)));
    EXPECT_EQ(dlg->m_nDragRow, 2);
    EXPECT_EQ(dlg->GetDlgItemText(GridButtonId(4, 0)), "2");
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{kApplyFail});  // the row has no address
}

TEST(DragAndDrop, EndsWithoutADropWhenTheListWasRefilledUnderTheDrag)
{
    ScriptedMessageBoxes boxes;
    InstantSleeps sleeps;
    auto dlg = MakeMainWindow();
    dlg->show();
    FillRx(*dlg, Unreachable(3));

    // The row is gone.
    PressAndStartDrag(*dlg, 2);
    dlg->List(IDC_RX_LIST)->DeleteAllItems();
    FillRx(*dlg, Unreachable(2));
    MoveAndRelease(*dlg, ControlCentre(*dlg, GridButtonId(0, 0)));
    // The row now names another receiver.
    PressAndStartDrag(*dlg, 1);
    dlg->List(IDC_RX_LIST)->SetItemText(1, 4, "someone-else");
    MoveAndRelease(*dlg, ControlCentre(*dlg, GridButtonId(0, 0)));

    EXPECT_EQ(dlg->GetDlgItemText(GridButtonId(0, 0)), "0_0");
    EXPECT_TRUE(boxes.Shown().empty());
    EXPECT_FALSE(dlg->Slot(0).IsOpen());
    EXPECT_EQ(dlg->m_bDragging, 0);

    // A refill with the same rows is the same receiver: the drop goes ahead.
    dlg->List(IDC_RX_LIST)->DeleteAllItems();
    FillRx(*dlg, Unreachable(2));
    PressAndStartDrag(*dlg, 1);
    dlg->List(IDC_RX_LIST)->DeleteAllItems();
    FillRx(*dlg, Unreachable(2));
    MoveAndRelease(*dlg, ControlCentre(*dlg, GridButtonId(0, 0)));
    EXPECT_EQ(dlg->GetDlgItemText(GridButtonId(0, 0)), "1");
}

TEST(QuickLayout, RefusesZeroBezelsOnALargerWallButNotOnOneCell)
{
    ScriptedMessageBoxes boxes;
    InstantSleeps sleeps;
    auto dlg = MakeMainWindow();
    FillRx(*dlg, Unreachable(2));
    SetWallSize(*dlg, 2, 1);
    SetBezels(*dlg, "0", "1", "1", "1");
    QuickLayout(*dlg);
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{kBezelZero});
    EXPECT_TRUE(sleeps.Pauses().empty());

    // 1 x 1 does not test the pitches; the visible sizes are what it divides by.
    boxes.Clear();
    SetWallSize(*dlg, 1, 1);
    QuickLayout(*dlg);
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{kApplyFail});
}

TEST(QuickLayout, OnOneCellWithNoVisibleSizeSendsNothingAndSaysWhy)
{
    ScriptedMessageBoxes boxes;
    InstantSleeps sleeps;
    auto dlg = MakeMainWindow();
    FillRx(*dlg, Unreachable(3));
    SetWallSize(*dlg, 1, 1);
    SetBezels(*dlg, "1", "1", "1", "0");
    QuickLayout(*dlg);
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{kWallSizeZero});
    EXPECT_TRUE(sleeps.Pauses().empty());
    for (int i = 0; i < kSessionSlots; ++i)
        EXPECT_FALSE(dlg->Slot(i).IsOpen());
}

TEST(QuickLayout, StopsAtTheFirstFailedSendAndLeavesTheGridAlone)
{
    ScriptedMessageBoxes boxes;
    InstantSleeps sleeps;
    auto dlg = MakeMainWindow();
    FillRx(*dlg, Unreachable(4));
    const QStringList before = Captions(*dlg);
    QuickLayout(*dlg);
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{kApplyFail});
    EXPECT_EQ(sleeps.Pauses(), (std::vector<unsigned>{20, 1}));
    EXPECT_TRUE(dlg->Slot(0).IsOpen());
    EXPECT_FALSE(dlg->Slot(1).IsOpen());
    EXPECT_EQ(Captions(*dlg), before);
}

TEST(QuickLayout, WithAnEmptyListDoesNothing)
{
    ScriptedMessageBoxes boxes;
    InstantSleeps sleeps;
    auto dlg = MakeMainWindow();
    QuickLayout(*dlg);
    EXPECT_TRUE(boxes.Shown().empty());
    EXPECT_TRUE(sleeps.Pauses().empty());
}

TEST(StretchAndRotation, ReportAFailedSendWhenSlotZeroWasNeverConnected)
{
    ScriptedMessageBoxes boxes;
    auto dlg = MakeMainWindow();
    dlg->Combo(IDC_STRETCH_TYPE)->SetCurSel(1);
    SendStretchType(*dlg);
    dlg->Combo(IDC_ROTATE)->SetCurSel(2);
    SendRotation(*dlg);
    ASSERT_EQ(boxes.Shown().size(), 2u);
    for (const auto& box : boxes.Shown()) {
        EXPECT_EQ(box.text, kApplyFail);
        EXPECT_EQ(box.flags, unsigned(platform::MB_ICONINFORMATION));
    }
}

TEST(Osd, OnStopsAfterAFailedSendToTheFirstReceiverWithOneMessage)
{
    ScriptedMessageBoxes boxes;
    InstantSleeps sleeps;
    auto dlg = MakeMainWindow();
    FillRx(*dlg, Unreachable(3));
    dlg->CheckDlgButton(IDC_SHOW_OSD, 1);
    ShowOsd(*dlg);
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{kApplyFail});
    EXPECT_EQ(sleeps.Pauses(), (std::vector<unsigned>{20, 1}));
    EXPECT_FALSE(dlg->Slot(1).IsOpen());
    EXPECT_EQ(dlg->IsDlgButtonChecked(IDC_SHOW_OSD), 1);
}

TEST(Osd, OffReachesEveryReceiverWithItsPausesAndReportsNothing)
{
    ScriptedMessageBoxes boxes;
    InstantSleeps sleeps;
    auto dlg = MakeMainWindow();
    FillRx(*dlg, Unreachable(12));
    dlg->m_bUpgradeWatch = 1;
    ShowOsd(*dlg);
    EXPECT_TRUE(boxes.Shown().empty());
    EXPECT_EQ(dlg->m_bUpgradeWatch, 0);
    // Receivers 0-2: login only; 3-9: 20 ms more; 10 and 11: 200 ms first.
    std::vector<unsigned> expected = {20, 20, 20};
    for (int i = 3; i < 10; ++i)
        expected.insert(expected.end(), {20, 20});
    for (int i = 10; i < 12; ++i)
        expected.insert(expected.end(), {200, 20, 20});
    EXPECT_EQ(sleeps.Pauses(), expected);
    for (int i = 0; i < kSessionSlots; ++i)
        EXPECT_TRUE(dlg->Slot(i).IsOpen());
}

TEST(Osd, WithAnEmptyListSendsNothing)
{
    ScriptedMessageBoxes boxes;
    InstantSleeps sleeps;
    auto dlg = MakeMainWindow();
    dlg->CheckDlgButton(IDC_SHOW_OSD, 1);
    ShowOsd(*dlg);
    dlg->CheckDlgButton(IDC_SHOW_OSD, 0);
    ShowOsd(*dlg);
    EXPECT_TRUE(boxes.Shown().empty());
    EXPECT_TRUE(sleeps.Pauses().empty());
}

TEST(DragAndDrop, TheCaptureBringsWindowSystemMovesAndTheReleaseToTheWindow)
{
    ScriptedMessageBoxes boxes;
    InstantSleeps sleeps;
    auto dlg = MakeMainWindow();
    dlg->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
    FillRx(*dlg, Unreachable(2));
    // Through the window, as the platform delivers them: each event goes to
    // the widget under the cursor, the pressed one, or the one with the capture.
    QWindow* window = dlg->windowHandle();
    QWidget* viewport = dlg->List(IDC_RX_LIST)->viewport();
    const QPoint row = viewport->mapTo(dlg.get(), RowCentre(*dlg, 1));
    QTest::mousePress(window, Qt::LeftButton, {}, row);
    QTest::mouseMove(window, row + QPoint(30, 4));
    ASSERT_EQ(dlg->m_bDragging, 1);
    const QPoint cell = ControlCentre(*dlg, GridButtonId(2, 2));
    QTest::mouseMove(window, cell);
    EXPECT_EQ(dlg->m_nDropTarget, GridButtonId(2, 2));
    QTest::mouseRelease(window, Qt::LeftButton, {}, cell);
    EXPECT_EQ(dlg->m_bDragging, 0);
    EXPECT_EQ(dlg->GetDlgItemText(GridButtonId(2, 2)), "1");
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{kApplyFail});  // the row has no address
    EXPECT_EQ(QWidget::mouseGrabber(), nullptr);
}
