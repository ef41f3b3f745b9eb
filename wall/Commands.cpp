// Commands to every listed receiver (quick layout, on-screen numbers) and
// to the receiver on slot 0 (stretch type, rotation).
#include "wall/Wall.h"
#include "wall/WallSession.h"

#include "net/Session.h"
#include "net/Text.h"
#include "nodes/Firmware.h"
#include "nodes/Operations.h"
#include "platform/Controls.h"
#include "platform/Dialog.h"
#include "platform/MessageBox.h"
#include "platform/Sleep.h"

using namespace wall_detail;

namespace {

using cv::nodes::kLineBuffer;
using cv::nodes::kShortLineBuffer;

void SendOnScanSocket(IMainWindow& window, const std::u16string& line)
{
    if (SendLine(window.Slot(0), Q(line), kShortLineBuffer) < 0)
        ShowApplyFail(window);
}

}  // namespace

void QuickLayout(IMainWindow& window)
{
    DialogMembers& m = window.Members();
    platform::CDialogBase& dlg = window.Dialog();
    platform::ListView* rx = dlg.List(IDC_RX_LIST);

    if (!PrepareWallCommand(window))
        return;

    const WallSize wall = ReadWallSize(window);
    if (!wall.single() && AnyBezelZero(m)) {
        platform::MessageBox(&dlg, QString::fromLatin1(wall_text::kBezelZero), platform::MB_OK);
        return;
    }
    if (rx->GetItemCount() == 0)
        return;
    // The divisors depend only on the wall size and the bezels, so one cell
    // tells whether any tile can be computed.
    if (!TileRule(0, 0, wall.vi, wall.hi, m.m_nOW, m.m_nOH, m.m_nVW, m.m_nVH)) {
        platform::MessageBox(&dlg, QString::fromLatin1(wall_text::kWallSizeZero), platform::MB_ICONWARNING);
        return;
    }
    if (!WallTilesSoundOrSay(window, wall))
        return;

    // The row count is read again each time: a message box's nested loop
    // can let arriving text refill the list.
    for (int i = 0; i < rx->GetItemCount(); ++i) {
        const auto index = static_cast<uint32_t>(i);
        const cv::nodes::Cell cell = cv::nodes::QuickLayoutCell(index, wall.vi, wall.hi);
        const Tile tile = *TileRule(cell.row, cell.column, wall.vi, wall.hi, m.m_nOW, m.m_nOH, m.m_nVW, m.m_nVH);
        m.m_strNodeAddress = rx->GetItemText(i, 0);
        if (i >= 10)
            platform::Sleep(200);  // the receiver before it on slot 0 needs the time
        CMyAsyncSocket& slot = window.Slot(SlotForRow(i));
        OpenLoggedInSession(slot, m.m_strNodeAddress);
        platform::Sleep(1);
        if (SendLine(slot, EnableLine(tile), kLineBuffer) < 0) {
            ShowApplyFail(window);
            return;
        }
    }
}

void SendStretchType(IMainWindow& window)
{
    SendOnScanSocket(window, cv::nodes::StretchTypeLine(window.Dialog().Combo(IDC_STRETCH_TYPE)->GetCurSel()));
}

void SendRotation(IMainWindow& window)
{
    SendOnScanSocket(window, cv::nodes::RotateLine(window.Dialog().Combo(IDC_ROTATE)->GetCurSel()));
}

void ShowOsd(IMainWindow& window)
{
    DialogMembers& m = window.Members();
    platform::CDialogBase& dlg = window.Dialog();
    platform::ListView* rx = dlg.List(IDC_RX_LIST);

    m.m_bUpgradeWatch = 0;
    m.m_transcript.clear();
    const bool on = dlg.IsDlgButtonChecked(IDC_SHOW_OSD) == 1;

    for (int i = 0; i < rx->GetItemCount(); ++i) {
        if (i >= 10)
            platform::Sleep(200);
        const std::u16string line = cv::nodes::OsdLine(on, U16(rx->GetItemText(i, 3))).text;
        m.m_strNodeAddress = rx->GetItemText(i, 0);
        CMyAsyncSocket& slot = window.Slot(SlotForRow(i));
        OpenLoggedInSession(slot, m.m_strNodeAddress);
        if (on) {
            platform::Sleep(1);
            // Only the first receiver's result counts: if it cannot be
            // reached the others are unlikely to be, and one box is enough.
            if (SendLine(slot, line, kShortLineBuffer) < 0 && i == 0) {
                ShowApplyFail(window);
                return;
            }
        } else {
            if (i >= 3)
                platform::Sleep(20);
            SendLine(slot, line, kShortLineBuffer);
        }
    }
}
