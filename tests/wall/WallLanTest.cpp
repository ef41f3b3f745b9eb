// The wall operations against endpoint-sim in the test LAN, checked on the
// simulator's wire log. Pauses are real here: the 20 ms after connect is
// what lets the connection come up before the login line.
#include "tests/support/TestSupport.h"
#include "tests/wall/WallTestSupport.h"
#include "tools/endpoint-sim/harness/SimProcess.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;
using namespace wall_test;
using cv::sim::SimProcess;
using testing_support::MakeMainWindow;
using testing_support::PumpUntil;
using testing_support::ScriptedMessageBoxes;

namespace {

QString RxAddress(int i) { return QStringLiteral("198.18.2.%1").arg(i + 1); }
std::string Rx(int i) { return RxAddress(i).toStdString(); }

std::vector<QString> RxAddresses(int count)
{
    std::vector<QString> all;
    for (int i = 0; i < count; ++i)
        all.push_back(RxAddress(i));
    return all;
}

// What receiver `ip` got on its latest connection, once it holds `tail`.
std::string LastConnection(const SimProcess& sim, const std::string& ip, const std::string& tail)
{
    PumpUntil(
        [&] {
            const auto c = sim.connectionBytes(ip);
            return !c.empty() && c.back().size() >= tail.size() &&
                c.back().compare(c.back().size() - tail.size(), tail.size(), tail) == 0;
        },
        30000);  // "it never arrives", not a speed
    const auto c = sim.connectionBytes(ip);
    return c.empty() ? std::string() : c.back();
}

std::string PeerOf(const CMyAsyncSocket& socket)
{
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (::getpeername(socket.Handle(), reinterpret_cast<sockaddr*>(&peer), &len) != 0)
        return {};
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    return text;
}

class WallLan : public ::testing::Test {
protected:
    void StartFleet(int receivers)
    {
        sim_ = std::make_unique<SimProcess>(std::vector<std::string>{"--tx", "1", "--rx", std::to_string(receivers)});
        ASSERT_TRUE(sim_->start()) << sim_->error();
        dlg_ = MakeMainWindow();
        FillRx(*dlg_, RxAddresses(receivers));
    }

    ScriptedMessageBoxes boxes_;
    std::unique_ptr<SimProcess> sim_;
    std::unique_ptr<CMyCortaviaDlg> dlg_;
};

const std::string kLogin = "root\r\n";

std::string EnableWire(const char* numbers) { return kLogin + "e e_vw_enable_" + numbers + "_2\r\n"; }

}  // namespace

TEST_F(WallLan, ADropOnAOneByOneWallSendsAllZerosEvenWithZeroBezels)
{
    StartFleet(1);
    SetWallSize(*dlg_, 1, 1);
    SetBezels(*dlg_, "0", "0", "0", "0");
    dlg_->m_nDragRow = 0;
    Drop(*dlg_, GridButtonId(0, 0));
    EXPECT_EQ(LastConnection(*sim_, Rx(0), "_2\r\n"), EnableWire("0_0_0_0"));
    EXPECT_TRUE(boxes_.Shown().empty());
    EXPECT_EQ(dlg_->GetDlgItemText(GridButtonId(0, 0)), "0");
    EXPECT_EQ(dlg_->m_strNodeAddress, RxAddress(0));
}

TEST_F(WallLan, MovingAReceiverToAnotherCellRestoresTheOldCellAndSendsTheNewTile)
{
    StartFleet(2);
    SetWallSize(*dlg_, 2, 3);
    SetBezels(*dlg_, "12170", "6870", "12100", "6800");
    dlg_->m_nDragRow = 1;
    Drop(*dlg_, GridButtonId(0, 1));
    EXPECT_EQ(LastConnection(*sim_, Rx(1), "_2\r\n"), EnableWire("3339_0_6660_4974"));
    Drop(*dlg_, GridButtonId(1, 2));
    EXPECT_EQ(LastConnection(*sim_, Rx(1), "10000_10000_2\r\n"), EnableWire("6679_5025_10000_10000"));
    EXPECT_EQ(dlg_->GetDlgItemText(GridButtonId(0, 1)), "0_1");
    EXPECT_EQ(dlg_->GetDlgItemText(GridButtonId(1, 2)), "1");
    EXPECT_EQ(sim_->connectionBytes(Rx(1)).size(), 2u);
    EXPECT_TRUE(sim_->wireBytes(Rx(0)).empty());
    EXPECT_TRUE(boxes_.Shown().empty());
}

TEST_F(WallLan, ARealMouseDragFromTheRxListToAGridButtonPlacesTheReceiver)
{
    StartFleet(3);
    dlg_->show();
    SetWallSize(*dlg_, 2, 2);
    // A release over a control that is not a grid button first: nothing goes out.
    PressAndStartDrag(*dlg_, 2);
    MoveAndRelease(*dlg_, ControlCentre(*dlg_, IDC_QUICK_WALL));
    PressAndStartDrag(*dlg_, 2);
    MoveAndRelease(*dlg_, ControlCentre(*dlg_, GridButtonId(3, 3)));  // hidden at 2 x 2
    testing_support::PumpEvents(100);
    EXPECT_TRUE(sim_->wireBytes(Rx(2)).empty());

    PressAndStartDrag(*dlg_, 2);
    MoveAndRelease(*dlg_, ControlCentre(*dlg_, GridButtonId(1, 0)));
    // Bezels 1: Wt = Ht = 2, so cell 1_0 is the bottom-left quarter.
    EXPECT_EQ(LastConnection(*sim_, Rx(2), "_2\r\n"), EnableWire("0_5000_5000_10000"));
    EXPECT_EQ(sim_->connectionBytes(Rx(2)).size(), 1u);
    EXPECT_EQ(dlg_->GetDlgItemText(GridButtonId(1, 0)), "2");
    EXPECT_TRUE(boxes_.Shown().empty());
}

TEST_F(WallLan, QuickLayoutOfATwoByThreeWallFillsItRowByRow)
{
    StartFleet(6);
    SetWallSize(*dlg_, 2, 3);
    SetBezels(*dlg_, "12170", "6870", "12100", "6800");
    const QStringList before = [&] {
        QStringList all;
        for (int id = IDC_GRID_FIRST; id <= IDC_GRID_LAST; ++id)
            if (IsGridButtonId(id))
                all << dlg_->GetDlgItemText(id);
        return all;
    }();
    QuickLayout(*dlg_);
    const char* tiles[] = {"0_0_3320_4974",     "3339_0_6660_4974",     "6679_0_10000_4974",
                           "0_5025_3320_10000", "3339_5025_6660_10000", "6679_5025_10000_10000"};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(LastConnection(*sim_, Rx(i), "_2\r\n"), EnableWire(tiles[i])) << "receiver " << i;
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(PeerOf(dlg_->Slot(i)), Rx(i));
    QStringList after;
    for (int id = IDC_GRID_FIRST; id <= IDC_GRID_LAST; ++id)
        if (IsGridButtonId(id))
            after << dlg_->GetDlgItemText(id);
    EXPECT_EQ(after, before);
    EXPECT_TRUE(boxes_.Shown().empty());
}

TEST_F(WallLan, QuickLayoutOfATwoByTwoWallGivesSurplusReceiversTheFirstCell)
{
    StartFleet(6);
    SetWallSize(*dlg_, 2, 2);
    QuickLayout(*dlg_);
    const char* tiles[] = {"0_0_5000_5000",         "5000_0_10000_5000", "0_5000_5000_10000",
                           "5000_5000_10000_10000", "0_0_5000_5000",     "0_0_5000_5000"};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(LastConnection(*sim_, Rx(i), "_2\r\n"), EnableWire(tiles[i])) << "receiver " << i;
}

TEST_F(WallLan, QuickLayoutReachesReceiversAfterTheTenthOverSlotZeroAfterAPause)
{
    StartFleet(12);
    QElapsedTimer clock;
    clock.start();
    QuickLayout(*dlg_);
    const qint64 elapsed = clock.elapsed();
    // 5 x 5 wall, bezels 1: each cell is a fifth; receivers 10 and 11 are on row 2.
    EXPECT_EQ(LastConnection(*sim_, Rx(10), "_2\r\n"), EnableWire("0_4000_2000_6000"));
    EXPECT_EQ(LastConnection(*sim_, Rx(11), "_2\r\n"), EnableWire("2000_4000_4000_6000"));
    EXPECT_EQ(LastConnection(*sim_, Rx(9), "_2\r\n"), EnableWire("8000_2000_10000_4000"));
    EXPECT_EQ(PeerOf(dlg_->Slot(0)), Rx(11));
    EXPECT_EQ(PeerOf(dlg_->Slot(9)), Rx(9));
    EXPECT_GE(elapsed, 12 * 21 + 2 * 200);
    std::printf("quick layout of 12 receivers: %lld ms\n", static_cast<long long>(elapsed));
}

TEST_F(WallLan, QuickLayoutStopsAtTheReceiverWhoseSendFails)
{
    StartFleet(6);
    // Row 3 names an address where nothing listens: the connection is refused.
    dlg_->List(IDC_RX_LIST)->SetItemText(3, 0, QStringLiteral("198.18.3.1"));
    QuickLayout(*dlg_);
    EXPECT_EQ(boxes_.Texts(), std::vector<QString>{QString::fromLatin1(wall_text::kApplyFail)});
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(LastConnection(*sim_, Rx(i), "_2\r\n").empty());
    testing_support::PumpEvents(100);
    for (int i = 4; i < 6; ++i)
        EXPECT_TRUE(sim_->wireBytes(Rx(i)).empty()) << "receiver " << i;
}

TEST_F(WallLan, StretchAndRotationGoToTheReceiverOnSlotZero)
{
    StartFleet(2);
    dlg_->m_nDragRow = 1;
    Drop(*dlg_, GridButtonId(0, 0));
    LastConnection(*sim_, Rx(1), "_2\r\n");

    dlg_->Combo(IDC_STRETCH_TYPE)->setCurrentIndex(1);
    emit dlg_->Combo(IDC_STRETCH_TYPE)->activated(1);
    EXPECT_EQ(LastConnection(*sim_, Rx(1), "e e_vw_stretch_type_1\r\n"),
              EnableWire("0_0_2000_2000") + "e e_vw_stretch_type_1\r\n");
    dlg_->Combo(IDC_ROTATE)->setCurrentIndex(2);
    emit dlg_->Combo(IDC_ROTATE)->activated(2);
    EXPECT_EQ(LastConnection(*sim_, Rx(1), "e e_vw_rotate_6\r\n"),
              EnableWire("0_0_2000_2000") + "e e_vw_stretch_type_1\r\ne e_vw_rotate_6\r\n");
    dlg_->Combo(IDC_STRETCH_TYPE)->setCurrentIndex(0);
    emit dlg_->Combo(IDC_STRETCH_TYPE)->activated(0);
    EXPECT_NE(LastConnection(*sim_, Rx(1), "e e_vw_stretch_type_2\r\n").find("rotate_6\r\ne e_vw_stretch_type_2\r\n"),
              std::string::npos);
    EXPECT_TRUE(sim_->wireBytes(Rx(0)).empty());
    EXPECT_TRUE(boxes_.Shown().empty());
}

TEST_F(WallLan, TickingShowOsdSendsEachReceiverItsNumberInQuotes)
{
    StartFleet(3);
    dlg_->CheckDlgButton(IDC_SHOW_OSD, 1);
    ShowOsd(*dlg_);
    for (int i = 0; i < 3; ++i) {
        const std::string line = "big_osd_on.sh \"" + std::to_string(i) + "\"\r\n";
        EXPECT_EQ(LastConnection(*sim_, Rx(i), line), kLogin + line);
        EXPECT_EQ(PeerOf(dlg_->Slot(i)), Rx(i));
    }
    EXPECT_TRUE(boxes_.Shown().empty());
}

TEST_F(WallLan, ClearingShowOsdSendsTheOffLineToEveryReceiver)
{
    StartFleet(5);
    dlg_->CheckDlgButton(IDC_SHOW_OSD, 0);
    ShowOsd(*dlg_);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(LastConnection(*sim_, Rx(i), "osd_off.sh 0\r\n"), kLogin + "osd_off.sh 0\r\n") << "receiver " << i;
}

TEST_F(WallLan, ShowOsdReachesTheEleventhReceiverOverSlotZero)
{
    StartFleet(11);
    dlg_->CheckDlgButton(IDC_SHOW_OSD, 1);
    QElapsedTimer clock;
    clock.start();
    ShowOsd(*dlg_);
    EXPECT_GE(clock.elapsed(), 11 * 21 + 200);
    EXPECT_EQ(LastConnection(*sim_, Rx(10), "\"10\"\r\n"), kLogin + "big_osd_on.sh \"10\"\r\n");
    EXPECT_EQ(PeerOf(dlg_->Slot(0)), Rx(10));
}
