#include "tests/support/TestSupport.h"

#include "ui/CortaviaDlg.h"

#include <chrono>
#include <thread>
#include <utility>

namespace testing_support {

ScriptedMessageBoxes::ScriptedMessageBoxes()
{
    previous_ = platform::SetMessageBoxHandler([this](const platform::MessageBoxRequest& r) -> int {
        shown_.push_back(r);
        if (!answers_.empty()) {
            const int a = answers_.front();
            answers_.pop_front();
            return a;
        }
        return (r.flags & platform::kButtonMask) == platform::MB_YESNO ? platform::IDNO : platform::IDOK;
    });
}

ScriptedMessageBoxes::~ScriptedMessageBoxes() { platform::SetMessageBoxHandler(std::move(previous_)); }

std::vector<QString> ScriptedMessageBoxes::Texts() const
{
    std::vector<QString> t;
    for (const auto& r : shown_)
        t.push_back(r.text);
    return t;
}

InstantSleeps::InstantSleeps()
{
    previous_ = platform::SetSleepHandler([this](unsigned ms) {
        total_ += ms;
        pauses_.push_back(ms);
        if (during_)
            during_();
    });
}

InstantSleeps::~InstantSleeps() { platform::SetSleepHandler(std::move(previous_)); }

RecordedSleeps::RecordedSleeps(std::function<void(unsigned)> after) : after_(std::move(after))
{
    previous_ = platform::SetSleepHandler([this](unsigned ms) {
        pauses_.push_back(ms);
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        if (after_)
            after_(ms);
    });
}

RecordedSleeps::~RecordedSleeps() { platform::SetSleepHandler(std::move(previous_)); }

std::unique_ptr<CMyCortaviaDlg> MakeMainWindow()
{
    auto dlg = std::make_unique<CMyCortaviaDlg>();
    dlg->Create();
    return dlg;
}

int EnabledDeviceButtons(const CMyCortaviaDlg& dlg)
{
    int enabled = 0;
    for (int id : {IDC_APPLY, IDC_REBOOT, IDC_FACTORY_DEFAULT, IDC_UPGRADE})
        enabled += dlg.IsWindowEnabled(id) ? 1 : 0;
    return enabled;
}

void PumpEvents(int milliseconds)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < milliseconds) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
}

}  // namespace testing_support
