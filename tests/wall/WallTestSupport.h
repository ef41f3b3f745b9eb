#pragma once
// Helpers shared by the wall tests: receivers in the RX list, the wall
// size as the operator picks it, and mouse events as the platform sends them.
#include "net/Resource.h"
#include "platform/Controls.h"
#include "ui/CortaviaDlg.h"
#include "wall/Wall.h"

#include <QApplication>
#include <QMouseEvent>
#include <QString>
#include <vector>

namespace wall_test {

// One row per address: the address in column 0, the row's number in
// column 3 and a hostname in column 4, as the node list parse fills them.
inline void FillRx(CMyCortaviaDlg& dlg, const std::vector<QString>& addresses)
{
    platform::ListView* rx = dlg.List(IDC_RX_LIST);
    for (int i = 0; i < static_cast<int>(addresses.size()); ++i) {
        const int row = rx->InsertItem(i, addresses[static_cast<size_t>(i)]);
        rx->SetItemText(row, 1, QStringLiteral("y"));
        rx->SetItemText(row, 2, QStringLiteral("0001"));
        rx->SetItemText(row, 3, QString::number(i));
        rx->SetItemText(row, 4, QStringLiteral("rx-%1").arg(i));
    }
}

inline void SetWallSize(CMyCortaviaDlg& dlg, int rows, int columns)
{
    dlg.Combo(IDC_VERTICAL_COUNT)->SetCurSel(rows - 1);
    dlg.Combo(IDC_HORIZONTAL_COUNT)->SetCurSel(columns - 1);
    ResizeWall(dlg);
}

inline void SetBezels(CMyCortaviaDlg& dlg, const char* ow, const char* oh, const char* vw, const char* vh)
{
    dlg.SetDlgItemText(IDC_OW, QString::fromLatin1(ow));
    dlg.SetDlgItemText(IDC_OH, QString::fromLatin1(oh));
    dlg.SetDlgItemText(IDC_VW, QString::fromLatin1(vw));
    dlg.SetDlgItemText(IDC_VH, QString::fromLatin1(vh));
}

inline void SendMouse(QWidget* to, QEvent::Type type, QPoint pos, Qt::MouseButton button, Qt::MouseButtons buttons)
{
    QMouseEvent e(type, QPointF(pos), QPointF(to->mapToGlobal(pos)), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(to, &e);
}

inline QPoint RowCentre(CMyCortaviaDlg& dlg, int row)
{
    platform::ListView* rx = dlg.List(IDC_RX_LIST);
    return rx->visualRect(rx->model()->index(row, 0)).center();
}

// Presses on an RX row and moves far enough for the list to begin a drag.
inline void PressAndStartDrag(CMyCortaviaDlg& dlg, int row)
{
    QWidget* viewport = dlg.List(IDC_RX_LIST)->viewport();
    const QPoint at = RowCentre(dlg, row);
    SendMouse(viewport, QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton);
    SendMouse(viewport, QEvent::MouseMove, at + QPoint(30, 4), Qt::NoButton, Qt::LeftButton);
}

// Moves over the window to a point and releases there; the capture brings
// both to the window wherever the cursor is.
inline void MoveAndRelease(CMyCortaviaDlg& dlg, QPoint clientPos)
{
    SendMouse(&dlg, QEvent::MouseMove, clientPos, Qt::NoButton, Qt::LeftButton);
    SendMouse(&dlg, QEvent::MouseButtonRelease, clientPos, Qt::LeftButton, Qt::NoButton);
}

inline QPoint ControlCentre(CMyCortaviaDlg& dlg, int id) { return dlg.GetDlgItem(id)->geometry().center(); }

}  // namespace wall_test
