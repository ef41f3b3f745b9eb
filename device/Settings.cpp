#include "device/Device.h"
#include "device/Texts.h"

#include "net/Session.h"
#include "net/Text.h"
#include "nodes/Firmware.h"
#include "nodes/Operations.h"
#include "platform/CodePage.h"
#include "platform/Controls.h"
#include "platform/Dialog.h"
#include "platform/MessageBox.h"
#include "platform/Sleep.h"

#include <algorithm>
#include <iterator>

namespace {
using cv::nodes::kLineBuffer;
constexpr int kAddressFields[] = {IDC_IP_ADDRESS, IDC_SUBNET_MASK, IDC_GATEWAY};

QString Text(const char* s) { return QString::fromUtf8(s); }

// A tested line counts as sent only when every byte of it was accepted; a
// line that does not fit its buffer is refused by SendLine and fails here.
bool SendTested(CMyAsyncSocket& socket, std::u16string_view line, bool withZero)
{
    const QStringView text(line.data(), static_cast<qsizetype>(line.size()));
    const qsizetype expected = platform::ToSystemCodePage(text).size() + (withZero ? 1 : 0);
    return SendLine(socket, text, kLineBuffer, withZero) == expected;
}

// One of Apply's groups, line by line with the pause after each; false at
// the first tested line that does not go out, and nothing after it.
bool SendGroup(CMyAsyncSocket& socket, const std::vector<cv::nodes::WireLine>& lines)
{
    for (const cv::nodes::WireLine& line : lines) {
        if (line.tested) {
            if (!SendTested(socket, line.text, line.withZero))
                return false;
        } else {
            SendWireLine(socket, line);  // untested: its result is not looked at
        }
        if (line.pauseAfterMs > 0)
            platform::Sleep(line.pauseAfterMs);
    }
    return true;
}

void SetAddressFields(platform::CDialogBase& dlg, const QString& address, const QString& mask, const QString& gateway)
{
    dlg.IpAddress(IDC_IP_ADDRESS)->SetAddressText(address);
    dlg.IpAddress(IDC_SUBNET_MASK)->SetAddressText(mask);
    dlg.IpAddress(IDC_GATEWAY)->SetAddressText(gateway);
}

void ApplyFailed(IMainWindow& window)
{
    platform::MessageBox(&window.Dialog(), Text(device_text::kApplyFail), platform::MB_OK | platform::MB_ICONINFORMATION);
}

// The row Apply updates: the selected row of the list the device came from.
void SetSelectedCell(IMainWindow& window, int column, const QString& text)
{
    platform::ListView* list = window.Dialog().List(window.Members().m_bTxSelected ? IDC_TX_LIST : IDC_RX_LIST);
    list->SetItemText(list->GetSelectedRow(), column, text);
}
}  // namespace

void IpModeClicked(IMainWindow& window)
{
    DialogMembers& m = window.Members();
    platform::CDialogBase& dlg = window.Dialog();
    window.UpdateData(true);
    const bool autoip = m.m_strIpModeText == Q(cv::nodes::kIpModeAutoip.text());
    const bool dhcp = m.m_strIpModeText == Q(cv::nodes::kIpModeDhcp.text());
    const bool isStatic = m.m_strIpModeText == Q(cv::nodes::kIpModeStatic.text());

    if (m.m_nIpMode == 2) {
        if (isStatic)
            SetAddressFields(dlg, m.m_strNodeAddress, m.m_strNetmask, m.m_strGateway);
        else
            SetAddressFields(dlg, Text(device_text::kDefaultStaticAddress), Text(device_text::kDefaultStaticNetmask),
                             Text(device_text::kDefaultStaticGateway));
        for (int id : kAddressFields)
            dlg.EnableWindow(id, true);
    } else if (m.m_nIpMode == 0 || m.m_nIpMode == 1) {
        // The device's own values are shown only for the mode it runs.
        if ((m.m_nIpMode == 0 && autoip) || (m.m_nIpMode == 1 && dhcp))
            SetAddressFields(dlg, m.m_strNodeAddress, m.m_strNetmask, m.m_strGateway);
        else
            for (int id : kAddressFields)
                dlg.IpAddress(id)->ClearAddress();
        for (int id : kAddressFields)
            dlg.EnableWindow(id, false);
    }
}

void Apply(IMainWindow& window)
{
    DialogMembers& m = window.Members();
    platform::CDialogBase& dlg = window.Dialog();
    CMyAsyncSocket& scan = window.Slot(0);
    using namespace cv::nodes;

    m.m_bUpgradeWatch = 0;
    window.UpdateData(true);
    m.m_transcript.clear();

    const int castRadio = dlg.GetCheckedRadioButton(IDC_MULTICAST, IDC_UNICAST);

    platform::ComboBox* channelCombo = dlg.Combo(IDC_CHANNEL);
    const int channelIndex = channelCombo->GetCurSel();
    if (channelIndex < 0) {
        platform::MessageBox(&dlg, Text(device_text::kSelectChannel), platform::MB_OK | platform::MB_ICONWARNING);
        return;
    }
    const QString chosenChannel = channelCombo->GetLBText(channelIndex);
    m.m_bChannelChanged = m.m_strChannel != chosenChannel ? 1 : 0;

    // Compared with the device's id, not with the held text: an IP-mode
    // click, a drop or a quick layout has already read the edit into it.
    const bool hostnameGroup = m.m_strRecordedHostnameId != m.m_strHostnameId && !m.m_bTxSelected;
    // Operator text goes into a shell line: check it before anything leaves.
    if (hostnameGroup && !IsValidHostnameId(U16(m.m_strHostnameId))) {
        platform::MessageBox(&dlg, Q(kHostnameIdRuleMessage), platform::MB_OK | platform::MB_ICONWARNING);
        return;
    }
    // Static sends the three addresses as the fields show them; one with a
    // blank number is refused before anything leaves, not sent with a 0.
    if (dlg.GetCheckedRadioButton(IDC_AUTO_IP, IDC_STATIC) == IDC_STATIC &&
        std::any_of(std::begin(kAddressFields), std::end(kAddressFields),
                    [&dlg](int id) { return dlg.IpAddress(id)->FilledFields() != 4; })) {
        platform::MessageBox(&dlg, Text(device_text::kIncompleteAddress), platform::MB_OK | platform::MB_ICONWARNING);
        return;
    }

    if (hostnameGroup) {
        if (!SendGroup(scan, HostnameGroupLines(U16(m.m_strHostnameId))))
            return ApplyFailed(window);
        platform::ListView* rx = dlg.List(IDC_RX_LIST);
        rx->SetItemText(rx->GetSelectedRow(), 4, m.m_strHostnameId);
        m.m_strRecordedHostnameId = m.m_strHostnameId;
    }

    bool castingChanged = false;
    if (castRadio != m.m_nRecordedCastRadio) {
        castingChanged = true;
        if (castRadio == IDC_MULTICAST || castRadio == IDC_UNICAST) {
            const bool multicast = castRadio == IDC_MULTICAST;
            if (!SendGroup(scan, CastingGroupLines(multicast)))
                return ApplyFailed(window);
            m.m_strListMulticast = Q(multicast ? kMulticastYes.text() : kMulticastNo.text());
        }
        SetSelectedCell(window, 1, m.m_strListMulticast);
        m.m_nRecordedCastRadio = dlg.GetCheckedRadioButton(IDC_MULTICAST, IDC_UNICAST);
    }

    if (m.m_bChannelChanged) {
        if (!SendGroup(scan, ChannelGroupLines(U16(chosenChannel))))
            return ApplyFailed(window);
        m.m_strChannel = channelCombo->GetLBText(channelCombo->GetCurSel());
        SetSelectedCell(window, 2, m.m_strChannel);
        platform::Sleep(cv::nodes::kChannelSettleMs);
    }

    bool ipChanged = false;
    const int ipRadio = dlg.GetCheckedRadioButton(IDC_AUTO_IP, IDC_STATIC);
    // Static is always written again, so its addresses reach the device even
    // when the radio did not move.
    if (ipRadio != m.m_nRecordedIpRadio || ipRadio == IDC_STATIC) {
        ipChanged = true;
        const QString address = dlg.IpAddress(IDC_IP_ADDRESS)->AddressText();
        const QString mask = dlg.IpAddress(IDC_SUBNET_MASK)->AddressText();
        const QString gateway = dlg.IpAddress(IDC_GATEWAY)->AddressText();
        if (ipRadio == IDC_STATIC && address == m.m_strNodeAddress && mask == m.m_strNetmask &&
            gateway == m.m_strGateway)
            ipChanged = false;
        if (ipRadio == IDC_AUTO_IP || ipRadio == IDC_DHCP) {
            if (!SendGroup(scan, IpGroupLines(ipRadio == IDC_AUTO_IP ? IpMode::AutoIp : IpMode::Dhcp)))
                return ApplyFailed(window);
        } else if (ipRadio == IDC_STATIC) {
            if (!SendGroup(scan, IpGroupLines(IpMode::Static, U16(address), U16(mask), U16(gateway))))
                return ApplyFailed(window);
        }
        m.m_nRecordedIpRadio = dlg.GetCheckedRadioButton(IDC_AUTO_IP, IDC_STATIC);
    }

    platform::Sleep(cv::nodes::kApplyResultPauseMs);
    if (!ipChanged && !castingChanged) {
        platform::MessageBox(&dlg, Text(device_text::kApplySuccess), platform::MB_OK | platform::MB_ICONINFORMATION);
        return;
    }
    const int answer =
        platform::MessageBox(&dlg, Text(device_text::kRebootQuestion), platform::MB_YESNO | platform::MB_ICONWARNING);
    if (answer == platform::IDYES)
        Reboot(window);
}
