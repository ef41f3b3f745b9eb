#pragma once
// Seams for tests of the window and its operations: scripted message boxes,
// instant sleeps, a ready main window.
#include "platform/MessageBox.h"
#include "platform/Sleep.h"

#include <QString>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

class CMyCortaviaDlg;

namespace testing_support {

// Records every message box and answers it from a script: the next scripted
// answer, else OK (or No for a Yes/No box).
class ScriptedMessageBoxes {
public:
    ScriptedMessageBoxes();
    ~ScriptedMessageBoxes();

    void Answer(int button) { answers_.push_back(button); }
    const std::vector<platform::MessageBoxRequest>& Shown() const { return shown_; }
    std::vector<QString> Texts() const;
    void Clear() { shown_.clear(); }

private:
    std::deque<int> answers_;
    std::vector<platform::MessageBoxRequest> shown_;
    platform::MessageBoxHandler previous_;
};

// Makes every pause instant and adds up what was asked for.
class InstantSleeps {
public:
    InstantSleeps();
    ~InstantSleeps();
    unsigned long long TotalMs() const { return total_; }
    const std::vector<unsigned>& Pauses() const { return pauses_; }
    // Runs at every pause, so a stand-in endpoint can answer in between.
    void DuringEachPause(std::function<void()> during) { during_ = std::move(during); }

private:
    unsigned long long total_ = 0;
    std::vector<unsigned> pauses_;
    std::function<void()> during_;
    platform::SleepHandler previous_;
};

// Sleeps for real, as sessions need the time to come up, and records each
// pause. `after`, when given, runs at the end of every pause, so a test can
// look at what was sent before it.
class RecordedSleeps {
public:
    explicit RecordedSleeps(std::function<void(unsigned milliseconds)> after = {});
    ~RecordedSleeps();
    const std::vector<unsigned>& Pauses() const { return pauses_; }
    void Clear() { pauses_.clear(); }

private:
    std::vector<unsigned> pauses_;
    std::function<void(unsigned)> after_;
    platform::SleepHandler previous_;
};

// A created main window (controls built, opening sequence run), offscreen.
std::unique_ptr<CMyCortaviaDlg> MakeMainWindow();

// How many of Apply, Reboot, Factory Default and Upgrade are enabled (they
// are enabled and disabled together).
int EnabledDeviceButtons(const CMyCortaviaDlg& dlg);

// Runs the event loop for a while (socket notifications, timers).
void PumpEvents(int milliseconds);
// The bound for waiting on something that does come: "it never arrives",
// not a speed. A passing test never gets near it, even under a sanitizer on
// a loaded machine.
inline constexpr int kComesWithinMs = 60000;
// Runs the event loop until pred() holds or the time is up; returns pred().
template <typename Pred>
bool PumpUntil(Pred pred, int timeoutMs = kComesWithinMs);

}  // namespace testing_support

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

template <typename Pred>
bool testing_support::PumpUntil(Pred pred, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > timeoutMs)
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}
