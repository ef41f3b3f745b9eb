#pragma once
// Modal message boxes captioned with the application name, behind a seam so
// that tests can answer them and see every box that was shown.
#include <QString>
#include <functional>

class QWidget;

namespace platform {

enum : unsigned {
    MB_OK = 0x0,
    MB_YESNO = 0x4,
    MB_ICONERROR = 0x10,
    MB_ICONWARNING = 0x30,
    MB_ICONINFORMATION = 0x40,
    MB_DEFBUTTON2 = 0x100,  // No is the default of a Yes/No box
};
inline constexpr unsigned kButtonMask = 0x0F;
inline constexpr unsigned kIconMask = 0xF0;

enum : int { IDOK = 1, IDCANCEL = 2, IDYES = 6, IDNO = 7 };

struct MessageBoxRequest {
    QString text;
    QString caption;
    unsigned flags = MB_OK;
};

// The base name of the program file; every message box carries it.
QString ApplicationName();

// Shows a modal box (nested event loop: timers and sockets keep running)
// and returns the button pressed.
int MessageBox(QWidget* owner, const QString& text, unsigned flags);

using MessageBoxHandler = std::function<int(const MessageBoxRequest&)>;

// Replaces the production box; returns the previous handler. An empty
// handler restores the production box.
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);

}  // namespace platform
