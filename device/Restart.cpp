#include "device/Device.h"
#include "device/Texts.h"

#include "net/Session.h"
#include "net/Text.h"
#include "nodes/Firmware.h"
#include "platform/Dialog.h"
#include "platform/MessageBox.h"

namespace {
constexpr int kRebootTicks = 25;
constexpr int kRebootTickMs = 1000;
}  // namespace

void Reboot(IMainWindow& window)
{
    window.Members().m_transcript.clear();
    // The firmware takes this line with its terminating zero; nothing is
    // learnt from the result, the wait runs its length either way.
    SendBytes(window.Slot(0), Bytes(cv::nodes::kReboot.bytes()), true);
    StartWait(window, TIMER_REBOOT, kRebootTicks, kRebootTickMs);
    ClearDeviceInfo(window);
    EnableDeviceButtons(window, false);
}

void FactoryDefault(IMainWindow& window)
{
    const int answer = platform::MessageBox(&window.Dialog(), QString::fromUtf8(device_text::kFactoryDefaultQuestion),
                                            platform::MB_YESNO | platform::MB_ICONWARNING);
    if (answer != platform::IDYES)
        return;
    SendBytes(window.Slot(0), Bytes(cv::nodes::kResetToDefault.bytes()), true);
    ClearDeviceInfo(window);
    EnableDeviceButtons(window, false);
    // The reset only takes hold after a restart, so it follows at once.
    Reboot(window);
}
