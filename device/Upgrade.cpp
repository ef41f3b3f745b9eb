#include "device/Device.h"
#include "device/Texts.h"

#include "net/Session.h"
#include "net/Text.h"
#include "nodes/Firmware.h"
#include "nodes/UpgradeCheck.h"
#include "platform/Dialog.h"
#include "lan/HostInfo.h"
#include "platform/MessageBox.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>

namespace {
constexpr std::size_t kLineBuffer = 50;
constexpr std::size_t kHostNameBuffer = 50;
constexpr int kUpgradeTicks = 500;
constexpr int kUpgradeTickMs = 1000;

// Formats an IPv4 answer the way inet_ntop does into its 16-byte buffer.
// Anything that is not an IPv4 address gives no text: it would end up in a
// shell line.
QString DottedIpv4(const std::string& text)
{
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1)
        return {};
    char dotted[INET_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET, &address, dotted, sizeof dotted))
        return {};
    return QString::fromLatin1(dotted);
}
}  // namespace

QString WorkstationAddressForUpgrade()
{
    const cv::lan::HostInfo& host = cv::lan::SystemHostInfo();
    char name[kHostNameBuffer] = {};
    if (host.hostName(name, sizeof name) != 0)
        name[0] = '\0';
    name[kHostNameBuffer - 1] = '\0';
    QString address;
    // No hints: every family comes back; only IPv4 answers count, the last wins.
    for (const cv::lan::ResolvedAddress& a : host.resolve(name, 0, 0)) {
        if (a.family != AF_INET)
            continue;
        const QString dotted = DottedIpv4(a.dotted);
        if (dotted.isEmpty())
            continue;
        std::printf("%s\n", dotted.toLatin1().constData());
        address = dotted;
    }
    std::fflush(stdout);
    return address;
}

void Upgrade(IMainWindow& window)
{
    DialogMembers& m = window.Members();
    m.m_bUpgradeWatch = 1;
    m.m_transcript.clear();
    StartWait(window, TIMER_UPGRADE, kUpgradeTicks, kUpgradeTickMs);
    ClearDeviceInfo(window);
    EnableDeviceButtons(window, false);

    const QString address = WorkstationAddressForUpgrade();
    const bool transmitter = m.m_bTxSelected != 0;
    const QString lines[] = {
        Q(cv::nodes::kUpgradeCd.text()),
        Q(cv::nodes::TftpLine(U16(address), transmitter)),
        Q(cv::nodes::kUpgradeRemoveBlocks.text()),
        Q(cv::nodes::kUpgradeRemoveScripts.text()),
        Q(cv::nodes::RenameFirmwareLine(transmitter)),
        Q(cv::nodes::kUpgradeRun.text()),
    };
    // The device's replies are the only report: its tftp failures reach
    // UpgradeFailureCheck, success is declared by the wait.
    CMyAsyncSocket& scan = window.Slot(0);
    for (const QString& line : lines)
        SendLine(scan, line, kLineBuffer);
}

void UpgradeFailureCheck(IMainWindow& window)
{
    DialogMembers& m = window.Members();
    if (!m.m_bUpgradeWatch)
        return;
    const cv::nodes::UpgradeFailures f = cv::nodes::CheckUpgradeFailures(m.m_transcript);
    QWidget* owner = &window.Dialog();
    if (f.fileNotFound)
        platform::MessageBox(owner,
                             QString::fromUtf8(m.m_bTxSelected ? device_text::kPutTxFirmware : device_text::kPutRxFirmware),
                             platform::MB_OK | platform::MB_ICONERROR);
    if (f.transferTimedOut)
        platform::MessageBox(owner, QString::fromUtf8(device_text::kRunTftpServer), platform::MB_OK | platform::MB_ICONERROR);
}
