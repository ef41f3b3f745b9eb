#include "platform/MessageBox.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <utility>

namespace platform {
namespace {

MessageBoxHandler& handler()
{
    static MessageBoxHandler h;
    return h;
}

int ShowModal(QWidget* owner, const MessageBoxRequest& req)
{
    QMessageBox box(owner);
    box.setWindowTitle(req.caption);
    box.setText(req.text);
    switch (req.flags & kIconMask) {
    case MB_ICONERROR: box.setIcon(QMessageBox::Critical); break;
    case MB_ICONWARNING: box.setIcon(QMessageBox::Warning); break;
    case MB_ICONINFORMATION: box.setIcon(QMessageBox::Information); break;
    default: box.setIcon(QMessageBox::NoIcon); break;
    }
    if ((req.flags & kButtonMask) == MB_YESNO) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton((req.flags & MB_DEFBUTTON2) ? QMessageBox::No : QMessageBox::Yes);
        box.setEscapeButton(QMessageBox::No);
        return box.exec() == QMessageBox::Yes ? IDYES : IDNO;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return IDOK;
}

}  // namespace

QString ApplicationName()
{
    const QString path = QCoreApplication::applicationFilePath();
    if (!path.isEmpty())
        return QFileInfo(path).completeBaseName();
    return QCoreApplication::applicationName();
}

int MessageBox(QWidget* owner, const QString& text, unsigned flags)
{
    const MessageBoxRequest req{text, ApplicationName(), flags};
    if (handler())
        return handler()(req);
    return ShowModal(owner, req);
}

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler h) { return std::exchange(handler(), std::move(h)); }

}  // namespace platform
