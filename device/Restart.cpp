#include "device/Comeback.h"
#include "device/Device.h"
#include "device/Texts.h"

#include "lan/Workstation.h"
#include "net/Session.h"
#include "net/Text.h"
#include "nodes/Firmware.h"
#include "nodes/Operations.h"
#include "platform/Dialog.h"
#include "platform/MessageBox.h"

#include <sys/socket.h>

namespace {
constexpr int kRebootTicks = 25;
constexpr int kRebootTickMs = 1000;
constexpr std::chrono::seconds kComebackTimeout{3};

void Tell(IMainWindow& window, const char* text, unsigned icon)
{
    platform::MessageBox(&window.Dialog(), QString::fromUtf8(text), platform::MB_OK | icon);
}

// Starts the check that replaces a previous one still running: only the
// newest operation's endpoint is reported.
void CheckComeback(IMainWindow& window, std::unique_ptr<QObject>& slot, const QString& target, const char* success,
                   const char* notBack)
{
    if (slot)
        slot.release()->deleteLater();
    QWidget* owner = &window.Dialog();
    slot = std::make_unique<ComebackCheck>(target, kComebackTimeout, [owner, target, success, notBack](bool cameBack) {
        if (cameBack)
            platform::MessageBox(owner, QString::fromUtf8(success), platform::MB_OK | platform::MB_ICONINFORMATION);
        else
            platform::MessageBox(owner, QString::fromUtf8(notBack).arg(target), platform::MB_OK | platform::MB_ICONWARNING);
    });
}
}  // namespace

bool SendWireLine(CMyAsyncSocket& socket, const cv::nodes::WireLine& line)
{
    const QStringView text(line.text.data(), static_cast<qsizetype>(line.text.size()));
    return SendLine(socket, text, cv::nodes::kLineBuffer, line.withZero) >= 0;
}

bool SendAll(CMyAsyncSocket& socket, const std::vector<cv::nodes::WireLine>& lines)
{
    for (const cv::nodes::WireLine& line : lines)
        if (!SendWireLine(socket, line))
            return false;
    return true;
}

QString ConnectedEndpoint(const CMyAsyncSocket& socket)
{
    if (!socket.IsOpen())
        return {};
    const std::string peer = cv::lan::PeerAddressOf(socket.Handle());
    if (peer.empty())
        return {};
    // A rebooted endpoint closes its end; the socket still has a peer, but
    // nothing sent on it would arrive.
    char byte = 0;
    if (::recv(socket.Handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0)
        return {};
    return QString::fromStdString(peer);
}

void Reboot(IMainWindow& window)
{
    DialogMembers& m = window.Members();
    m.m_transcript.clear();
    CMyAsyncSocket& scan = window.Slot(0);
    const QString target = ConnectedEndpoint(scan);
    if (target.isEmpty() || !SendAll(scan, cv::nodes::RebootLines())) {
        Tell(window, device_text::kRebootFail, platform::MB_ICONINFORMATION);
        EnableDeviceButtons(window, true);
        return;
    }
    m.m_strRebootTarget = target;
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
    CMyAsyncSocket& scan = window.Slot(0);
    // The reset script goes first; Reboot below sends the rest of the lines.
    const std::vector<cv::nodes::WireLine> lines = cv::nodes::FactoryDefaultLines();
    if (ConnectedEndpoint(scan).isEmpty() || !SendWireLine(scan, lines.front())) {
        Tell(window, device_text::kFactoryDefaultFail, platform::MB_ICONINFORMATION);
        EnableDeviceButtons(window, true);
        return;
    }
    ClearDeviceInfo(window);
    EnableDeviceButtons(window, false);
    // The reset only takes hold after a restart, so it follows at once.
    Reboot(window);
}

void RebootWaitEnded(IMainWindow& window)
{
    DialogMembers& m = window.Members();
    CheckComeback(window, m.m_pRebootCheck, m.m_strRebootTarget, device_text::kRebootSuccess,
                  device_text::kNotBackAfterReboot);
}

void UpgradeWaitEnded(IMainWindow& window)
{
    DialogMembers& m = window.Members();
    CheckComeback(window, m.m_pUpgradeCheck, m.m_strUpgradeTarget, device_text::kUpgradeSuccess,
                  device_text::kNotBackAfterUpgrade);
}
