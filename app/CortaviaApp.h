#pragma once
// The application object: prepares the process, runs the main window until
// it closes, and ends; it never runs a message loop of its own.
#include <QDialog>
#include <functional>

class CMyCortaviaApp {
public:
    // Start-up; always false, so the process ends when the window has closed.
    bool InitInstance();

    // Whether the socket layer is usable; a seam for tests.
    static void SetSocketLayerCheck(std::function<bool()> check);
};

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

inline constexpr const char* kSocketsInitFailed = "Windows sockets initialization failed.";
inline constexpr const char* kAboutVersionText = "Cortavia, Version 1.0";
inline constexpr const char* kAboutSecondLine = "Control centre for HDMI-over-IP extenders";
