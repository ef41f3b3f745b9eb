// The wall grid and the placement of one receiver by drag and drop.
#include "wall/Wall.h"
#include "wall/WallSession.h"

#include "net/Session.h"
#include "net/Text.h"
#include "nodes/Firmware.h"
#include "nodes/Operations.h"
#include "platform/Controls.h"
#include "platform/DataExchange.h"
#include "platform/Dialog.h"
#include "platform/MessageBox.h"
#include "platform/Sleep.h"

#include <QCursor>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <algorithm>

namespace wall_detail {

void OpenLoggedInSession(CMyAsyncSocket& socket, const QString& address)
{
    OpenCommandSession(socket, address);
    platform::Sleep(20);
    SendLine(socket, cv::nodes::kLogin.text(), cv::nodes::kLineBuffer);
}

WallSize ReadWallSize(IMainWindow& window)
{
    platform::CDialogBase& dlg = window.Dialog();
    return {static_cast<uint32_t>(dlg.Combo(IDC_VERTICAL_COUNT)->GetCurSel()),
            static_cast<uint32_t>(dlg.Combo(IDC_HORIZONTAL_COUNT)->GetCurSel())};
}

bool AnyBezelZero(const DialogMembers& m) { return m.m_nOW == 0 || m.m_nVW == 0 || m.m_nOH == 0 || m.m_nVH == 0; }

bool PrepareWallCommand(IMainWindow& window)
{
    DialogMembers& m = window.Members();
    m.m_bUpgradeWatch = 0;
    // The read itself says so when an edit holds no number at all.
    const bool read = window.UpdateData(true);
    m.m_transcript.clear();
    if (!read)
        return false;
    // A number the member cannot hold (negative, beyond 32 bits) would be
    // sent as another one: refused with the same message.
    platform::CDialogBase& dlg = window.Dialog();
    for (int id : {IDC_OW, IDC_VW, IDC_OH, IDC_VH}) {
        if (platform::ParseUnsignedInRange(dlg.GetDlgItemText(id)))
            continue;
        platform::MessageBox(&dlg, QString::fromUtf8(platform::kEnterPositiveInteger),
                             platform::MB_OK | platform::MB_ICONWARNING);
        if (auto* edit = qobject_cast<QLineEdit*>(dlg.GetDlgItem(id))) {
            edit->setFocus(Qt::OtherFocusReason);
            edit->selectAll();
        }
        return false;
    }
    return true;
}

bool WallTilesSoundOrSay(IMainWindow& window, const WallSize& wall)
{
    const DialogMembers& m = window.Members();
    if (cv::nodes::WallTilesSound(wall.vi, wall.hi, m.m_nOW, m.m_nOH, m.m_nVW, m.m_nVH))
        return true;
    platform::MessageBox(&window.Dialog(), QString::fromLatin1(wall_text::kWallTilesUnsound), platform::MB_ICONWARNING);
    return false;
}

void ShowApplyFail(IMainWindow& window)
{
    platform::MessageBox(&window.Dialog(), QString::fromLatin1(wall_text::kApplyFail), platform::MB_ICONINFORMATION);
}

}  // namespace wall_detail

using namespace wall_detail;

namespace {

constexpr int kGridSize = 5;
// The cursor sits this far right of and below the image's top-left corner.
const QPoint kHotSpot(8, 8);

// The picture of the dragged row that follows the cursor over the whole
// screen. It also remembers what the row held when the drag began, because
// arriving text can refill the RX list while the drag is in progress.
class DragImage : public QLabel {
public:
    DragImage(QWidget* owner, const QPixmap& pixmap, QStringList rowTexts)
        : QLabel(owner,
                 Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowTransparentForInput |
                     Qt::WindowDoesNotAcceptFocus),
          rowTexts_(std::move(rowTexts))
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_ShowWithoutActivating);
        // See-through where the desktop composites, so the cell under the
        // cursor stays readable.
        setWindowOpacity(0.7);
        setPixmap(pixmap);
        resize(pixmap.size());
    }
    const QStringList& RowTexts() const { return rowTexts_; }
    void MoveTo(QPoint globalCursor) { move(globalCursor - kHotSpot); }

private:
    QStringList rowTexts_;
};

QStringList RowTexts(platform::ListView* list, int row)
{
    QStringList texts;
    const int columns = list->model()->columnCount();
    for (int c = 0; c < columns; ++c)
        texts << list->GetItemText(row, c);
    return texts;
}

// The row's label as the list draws it; drawn from its text when the row is
// not on screen.
QPixmap RowLabelPixmap(platform::ListView* list, int row)
{
    const QRect cell = list->visualRect(list->model()->index(row, 0));
    if (cell.isValid() && list->viewport()->rect().intersects(cell))
        return list->viewport()->grab(cell);
    const QString text = list->GetItemText(row, 0);
    const QFontMetrics fm(list->font());
    QPixmap pixmap(QSize(std::max(fm.horizontalAdvance(text) + 8, 16), fm.height() + 4));
    pixmap.fill(list->palette().color(QPalette::Highlight));
    QPainter p(&pixmap);
    p.setFont(list->font());
    p.setPen(list->palette().color(QPalette::HighlightedText));
    p.drawText(pixmap.rect(), Qt::AlignCenter, text);
    return pixmap;
}

void RemoveDragImage(DialogMembers& m)
{
    delete m.m_pDragImage.data();
    m.m_pDragImage = nullptr;
}

}  // namespace

void ResizeWall(IMainWindow& window)
{
    platform::CDialogBase& dlg = window.Dialog();
    const int rows = std::min(dlg.Combo(IDC_VERTICAL_COUNT)->GetCount(), kGridSize);
    const int columns = std::min(dlg.Combo(IDC_HORIZONTAL_COUNT)->GetCount(), kGridSize);
    const int vi = dlg.Combo(IDC_VERTICAL_COUNT)->GetCurSel();
    const int hi = dlg.Combo(IDC_HORIZONTAL_COUNT)->GetCurSel();
    dlg.SetDlgItemText(IDC_QUICK_WALL, QString::asprintf("%d x %d", vi + 1, hi + 1));
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            const int id = GridButtonId(r, c);
            if (r <= vi && c <= hi) {
                dlg.SetDlgItemText(id, PositionLabel(r, c));
                dlg.ShowWindow(id, true);
            } else {
                // A hidden cell keeps its placement until it is shown again.
                dlg.ShowWindow(id, false);
            }
        }
    }
}

void BeginDrag(IMainWindow& window, int row)
{
    DialogMembers& m = window.Members();
    platform::CDialogBase& dlg = window.Dialog();
    platform::ListView* list = dlg.List(IDC_RX_LIST);
    m.m_nDragRow = row;
    RemoveDragImage(m);
    auto* image = new DragImage(&dlg, RowLabelPixmap(list, row), RowTexts(list, row));
    image->MoveTo(QCursor::pos());
    image->show();
    m.m_pDragImage = image;
    m.m_bDragging = 1;
    m.m_nDropTarget = IDC_RX_LIST;
    // Every move and the release must reach the window, wherever the cursor goes.
    if (dlg.isVisible())
        dlg.grabMouse();
}

void TrackDrag(IMainWindow& window, QPoint clientPos)
{
    DialogMembers& m = window.Members();
    platform::CDialogBase& dlg = window.Dialog();
    m.m_ptDrag = dlg.mapToGlobal(clientPos);
    if (auto* image = dynamic_cast<DragImage*>(m.m_pDragImage.data()))
        image->MoveTo(m.m_ptDrag);
    m.m_nDropTarget = dlg.ControlFromPoint(clientPos);
}

void EndDrag(IMainWindow& window, QPoint clientPos)
{
    DialogMembers& m = window.Members();
    platform::CDialogBase& dlg = window.Dialog();
    if (QWidget::mouseGrabber() == &dlg)
        dlg.releaseMouse();
    m.m_bDragging = 0;
    std::optional<QStringList> dragged;
    if (auto* image = dynamic_cast<DragImage*>(m.m_pDragImage.data()))
        dragged = image->RowTexts();
    RemoveDragImage(m);
    m.m_nDropTarget = dlg.ControlFromPoint(clientPos);
    if (!IsGridButtonId(m.m_nDropTarget))
        return;
    // The list was refilled under the drag: the row now names another
    // receiver, or none, and placing it would address the wrong device.
    if (dragged && *dragged != RowTexts(dlg.List(IDC_RX_LIST), m.m_nDragRow))
        return;
    Drop(window, m.m_nDropTarget);
}

void Drop(IMainWindow& window, int gridButtonId)
{
    DialogMembers& m = window.Members();
    platform::CDialogBase& dlg = window.Dialog();
    platform::ListView* rx = dlg.List(IDC_RX_LIST);

    if (!PrepareWallCommand(window))
        return;

    m.m_strNodeAddress = rx->GetItemText(m.m_nDragRow, 0);
    const int k = gridButtonId - IDC_GRID_FIRST;
    const int r = k / 10;
    const int c = k % 10;
    const WallSize wall = ReadWallSize(window);

    Tile tile;  // a 1 x 1 wall gets all zeros, whatever the bezels
    if (!wall.single()) {
        if (AnyBezelZero(m)) {
            platform::MessageBox(&dlg, QString::fromLatin1(wall_text::kBezelZero), platform::MB_OK);
            return;
        }
        const std::optional<Tile> t = TileRule(static_cast<uint32_t>(r), static_cast<uint32_t>(c), wall.vi, wall.hi,
                                               m.m_nOW, m.m_nOH, m.m_nVW, m.m_nVH);
        if (!t) {
            platform::MessageBox(&dlg, QString::fromLatin1(wall_text::kWallSizeZero), platform::MB_ICONWARNING);
            return;
        }
        if (!WallTilesSoundOrSay(window, wall))
            return;
        tile = *t;
    }

    CMyAsyncSocket& slot = window.Slot(0);
    OpenLoggedInSession(slot, m.m_strNodeAddress);
    platform::Sleep(1);

    // One receiver shows on one cell: take it off the cell it was on.
    const QString label = rx->GetItemText(m.m_nDragRow, 3);
    for (int row = 0; row < kGridSize; ++row)
        for (int column = 0; column < kGridSize; ++column)
            if (dlg.GetDlgItemText(GridButtonId(row, column)) == label)
                dlg.SetDlgItemText(GridButtonId(row, column), PositionLabel(row, column));
    dlg.SetDlgItemText(gridButtonId, label);

    if (SendLine(slot, EnableLine(tile), cv::nodes::kLineBuffer) < 0)
        ShowApplyFail(window);
}
