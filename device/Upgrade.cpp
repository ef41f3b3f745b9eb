#include "device/Device.h"
#include "device/Texts.h"

#include "net/Session.h"
#include "net/Text.h"
#include "nodes/Firmware.h"
#include "nodes/Operations.h"
#include "nodes/UpgradeCheck.h"
#include "platform/Dialog.h"
#include "lan/HostInfo.h"
#include "lan/Tftp.h"
#include "lan/Workstation.h"
#include "platform/MessageBox.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {
constexpr int kUpgradeTicks = 500;
constexpr int kUpgradeTickMs = 1000;
// The whole Upgrade holds the window at most this long, the TFTP check
// included, however slow the resolver was before it.
constexpr std::chrono::milliseconds kUpgradeHoldsAtMost{2000};
constexpr std::chrono::milliseconds kAfterTheCheck{20};

void Tell(IMainWindow& window, const char* text, unsigned icon)
{
    platform::MessageBox(&window.Dialog(), QString::fromUtf8(text), platform::MB_OK | icon);
}

// The advice the endpoint's own tftp failure would have earned, given
// before it is sent anything.
const char* TftpAdvice(const cv::lan::TftpProbeResult& check, bool transmitter)
{
    switch (check.status) {
    case cv::lan::TftpProbeStatus::Served: return nullptr;
    case cv::lan::TftpProbeStatus::FileNotFound:
    case cv::lan::TftpProbeStatus::AccessViolation:
    case cv::lan::TftpProbeStatus::OtherError:
        return transmitter ? device_text::kPutTxFirmware : device_text::kPutRxFirmware;
    case cv::lan::TftpProbeStatus::NoAnswer:
    case cv::lan::TftpProbeStatus::LocalFailure: break;
    }
    return device_text::kRunTftpServer;
}
}  // namespace

QString WorkstationAddressForUpgrade(const CMyAsyncSocket& scan)
{
    const std::string facing = scan.IsOpen() ? cv::lan::LocalAddressOf(scan.Handle()) : std::string();
    std::string address;
    for (const std::string& candidate : cv::lan::UpgradeAddressCandidates(facing, cv::lan::SystemHostInfo())) {
        std::printf("%s\n", candidate.c_str());
        address = candidate;
    }
    std::fflush(stdout);
    return QString::fromStdString(address);
}

void Upgrade(IMainWindow& window)
{
    const auto started = std::chrono::steady_clock::now();
    DialogMembers& m = window.Members();
    const std::optional<SelectedDevice> device = FindSelectedDevice(window);
    if (!device)
        return SayNothingSelected(window);
    CMyAsyncSocket& scan = SessionToSelected(window, *device);
    const QString target = ConnectedEndpoint(scan);
    if (target.isEmpty()) {
        Tell(window, device_text::kUpgradeFail, platform::MB_ICONINFORMATION);
        EnableDeviceButtons(window, true);
        return;
    }
    m.m_bUpgradeWatch = 1;
    m.m_transcript.clear();
    StartWait(window, TIMER_UPGRADE, kUpgradeTicks, kUpgradeTickMs);
    const QString mac = ShownMac(m);
    ClearDeviceInfo(window);
    EnableDeviceButtons(window, false);

    const QString address = WorkstationAddressForUpgrade(scan);
    const bool transmitter = m.m_bTxSelected != 0;
    // The endpoint's shell runs the update script right behind the tftp
    // line whether or not a file arrived; so the file is asked for here
    // first, from the same server at the same address.
    const auto& file = transmitter ? cv::nodes::kTxFirmwareFile : cv::nodes::kRxFirmwareFile;
    const auto spent =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    const auto budget = std::max(kUpgradeHoldsAtMost - kAfterTheCheck - spent, std::chrono::milliseconds(0));
    const cv::lan::TftpProbeResult check = cv::lan::ProbeTftp(address.toStdString(), std::string(file.bytes()), budget);
    if (const char* advice = TftpAdvice(check, transmitter)) {
        m.m_bUpgradeWatch = 0;
        window.Dialog().KillTimer(TIMER_UPGRADE);
        EnableDeviceButtons(window, true);
        Tell(window, advice, platform::MB_ICONERROR);
        return;
    }

    m.m_strUpgradeTarget = target;
    m.m_strUpgradeMac = mac;
    // The device's replies report a failed fetch to UpgradeFailureCheck;
    // the end of the wait checks that it came back. Each line goes out even
    // if one before it was refused, as the endpoint may still take the rest.
    for (const cv::nodes::WireLine& line : cv::nodes::UpgradeLines(U16(address), transmitter))
        SendWireLine(scan, line);
}

void UpgradeFailureCheck(IMainWindow& window)
{
    DialogMembers& m = window.Members();
    if (!m.m_bUpgradeWatch)
        return;
    const cv::nodes::UpgradeFailures f = cv::nodes::CheckUpgradeFailures(m.m_transcript);
    QWidget* owner = &window.Dialog();
    if (f.fileNotFound)
        platform::MessageBox(
            owner, QString::fromUtf8(m.m_bTxSelected ? device_text::kPutTxFirmware : device_text::kPutRxFirmware),
            platform::MB_OK | platform::MB_ICONERROR);
    if (f.transferTimedOut)
        platform::MessageBox(owner, QString::fromUtf8(device_text::kRunTftpServer),
                             platform::MB_OK | platform::MB_ICONERROR);
}
