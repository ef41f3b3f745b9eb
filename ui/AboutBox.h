#pragma once
// The About box is the application's; the window only asks for it.
#include <functional>

class QWidget;

inline constexpr const char* kAboutMenuText = "&About Cortavia...";

// Set by the application at start-up.
void SetAboutBoxRunner(std::function<void(QWidget* owner)> runner);
void RunAboutBox(QWidget* owner);
