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

QString Text(const char* s) { return QString::fromUtf8(s); }

void Tell(IMainWindow& window, const char* text, unsigned icon)
{
    platform::MessageBox(&window.Dialog(), QString::fromUtf8(text), platform::MB_OK | icon);
}

// Starts the check that replaces a previous one still running: only the
// newest operation's endpoint is reported. Success only when the MAC that
// answers is the one read before.
void CheckComeback(IMainWindow& window, std::unique_ptr<QObject>& slot, const QString& target, const QString& mac,
                   const QString& success, const QString& notBack, unsigned notBackIcon)
{
    if (slot)
        slot.release()->deleteLater();
    QWidget* owner = &window.Dialog();
    slot = std::make_unique<ComebackCheck>(
        target, mac, kComebackTimeout,
        [owner, target, mac, success, notBack, notBackIcon](ComebackCheck::Outcome outcome, const QString& there) {
            switch (outcome) {
            case ComebackCheck::Outcome::Back:
                platform::MessageBox(owner, success, platform::MB_OK | platform::MB_ICONINFORMATION);
                break;
            case ComebackCheck::Outcome::NotBack:
                platform::MessageBox(owner, notBack, platform::MB_OK | notBackIcon);
                break;
            case ComebackCheck::Outcome::Other:
                platform::MessageBox(owner, Text(device_text::kAnotherEndpoint).arg(there, target, mac),
                                     platform::MB_OK | platform::MB_ICONWARNING);
                break;
            }
        });
}
}  // namespace

bool SendWireLine(CMyAsyncSocket& socket, const cv::nodes::WireLine& line)
{
    return SendLine(socket, line.text, cv::nodes::kLineBuffer, line.withZero) >= 0;
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

QString ShownMac(const DialogMembers& m)
{
    static const QString label = QStringLiteral("MAC Address: ");
    return m.m_strMac.startsWith(label) ? m.m_strMac.mid(label.size()).trimmed() : QString();
}

void SayNothingSelected(IMainWindow& window) { Tell(window, device_text::kSelectDevice, platform::MB_ICONINFORMATION); }

void RebootOn(IMainWindow& window, CMyAsyncSocket& scan, RebootComeback comeback, const QString& newAddress)
{
    DialogMembers& m = window.Members();
    m.m_transcript.clear();
    const QString target = ConnectedEndpoint(scan);
    if (target.isEmpty() || !SendAll(scan, cv::nodes::RebootLines())) {
        Tell(window, device_text::kRebootFail, platform::MB_ICONINFORMATION);
        EnableDeviceButtons(window, true);
        return;
    }
    m.m_rebootComeback =
        newAddress.isEmpty() && comeback == RebootComeback::NewStaticAddress ? RebootComeback::SameAddress : comeback;
    m.m_strRebootTarget = m.m_rebootComeback == RebootComeback::NewStaticAddress ? newAddress : target;
    m.m_strRebootMac = ShownMac(m);
    StartWait(window, TIMER_REBOOT, kRebootTicks, kRebootTickMs);
    ClearDeviceInfo(window);
    EnableDeviceButtons(window, false);
}

void Reboot(IMainWindow& window)
{
    const std::optional<SelectedDevice> device = FindSelectedDevice(window);
    if (!device)
        return SayNothingSelected(window);
    RebootOn(window, SessionToSelected(window, *device), RebootComeback::SameAddress, {});
}

void FactoryDefault(IMainWindow& window)
{
    const std::optional<SelectedDevice> device = FindSelectedDevice(window);
    if (!device)
        return SayNothingSelected(window);
    const int answer = platform::MessageBox(&window.Dialog(), QString::fromUtf8(device_text::kFactoryDefaultQuestion),
                                            platform::MB_YESNO | platform::MB_ICONWARNING);
    if (answer != platform::IDYES)
        return;
    // The question's loop may have let the operator's world change; the
    // device is the one selected now, or none.
    const std::optional<SelectedDevice> chosen = FindSelectedDevice(window);
    if (!chosen)
        return SayNothingSelected(window);
    CMyAsyncSocket& scan = SessionToSelected(window, *chosen);
    // The reset script goes first; the reboot below sends the rest of the lines.
    const std::vector<cv::nodes::WireLine> lines = cv::nodes::FactoryDefaultLines();
    if (ConnectedEndpoint(scan).isEmpty() || !SendWireLine(scan, lines.front())) {
        Tell(window, device_text::kFactoryDefaultFail, platform::MB_ICONINFORMATION);
        EnableDeviceButtons(window, true);
        return;
    }
    const QString mac = ShownMac(window.Members());
    ClearDeviceInfo(window);
    EnableDeviceButtons(window, false);
    // The reset only takes hold after a restart, so it follows at once. The
    // defaults may give the endpoint another address.
    RebootOn(window, scan, RebootComeback::MayHaveMoved, {});
    window.Members().m_strRebootMac = mac;
}

void RebootWaitEnded(IMainWindow& window)
{
    DialogMembers& m = window.Members();
    const QString& target = m.m_strRebootTarget;
    switch (m.m_rebootComeback) {
    case RebootComeback::SameAddress:
        return CheckComeback(window, m.m_pRebootCheck, target, m.m_strRebootMac, Text(device_text::kRebootSuccess),
                             Text(device_text::kNotBackAfterReboot).arg(target), platform::MB_ICONWARNING);
    case RebootComeback::NewStaticAddress:
        return CheckComeback(window, m.m_pRebootCheck, target, m.m_strRebootMac,
                             Text(device_text::kRebootSuccessAt).arg(target),
                             Text(device_text::kNotBackAfterReboot).arg(target), platform::MB_ICONWARNING);
    case RebootComeback::MayHaveMoved:
        return CheckComeback(window, m.m_pRebootCheck, target, m.m_strRebootMac, Text(device_text::kRebootSuccess),
                             Text(device_text::kMayHaveMoved).arg(target), platform::MB_ICONINFORMATION);
    }
}

void UpgradeWaitEnded(IMainWindow& window)
{
    DialogMembers& m = window.Members();
    CheckComeback(window, m.m_pUpgradeCheck, m.m_strUpgradeTarget, m.m_strUpgradeMac,
                  Text(device_text::kUpgradeSuccess), Text(device_text::kNotBackAfterUpgrade).arg(m.m_strUpgradeTarget),
                  platform::MB_ICONWARNING);
}
