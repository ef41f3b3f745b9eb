#include "device/Device.h"
#include "device/Texts.h"

#include "endpoint/Addressing.h"
#include "lan/Interfaces.h"
#include "net/Session.h"
#include "net/Text.h"
#include "nodes/Firmware.h"
#include "nodes/Operations.h"
#include "platform/Controls.h"
#include "platform/Dialog.h"
#include "platform/MessageBox.h"
#include "platform/Sleep.h"

#include <QStringList>

#include <algorithm>
#include <functional>
#include <iterator>

namespace {
using cv::nodes::kLineBuffer;
constexpr int kAddressFields[] = {IDC_IP_ADDRESS, IDC_SUBNET_MASK, IDC_GATEWAY};

QString Text(const char* s) { return QString::fromUtf8(s); }

// A tested line counts as sent only when every byte of it was accepted; a
// line that does not fit its buffer is refused by SendLine and fails here.
bool SendTested(CMyAsyncSocket& socket, const cv::nodes::WireLine& line)
{
    const std::optional<std::string> bytes = cv::nodes::WireBytes(line, kLineBuffer);
    return bytes && SendLine(socket, line.text, kLineBuffer, line.withZero) == static_cast<int>(bytes->size());
}

// One of Apply's groups, line by line with the pause after each; false at
// the first tested line that does not go out, and nothing after it.
bool SendGroup(CMyAsyncSocket& socket, const std::vector<cv::nodes::WireLine>& lines)
{
    for (const cv::nodes::WireLine& line : lines) {
        if (line.tested) {
            if (!SendTested(socket, line))
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
    platform::MessageBox(&window.Dialog(), Text(device_text::kApplyFail),
                         platform::MB_OK | platform::MB_ICONINFORMATION);
}

// The row Apply updates: the selected row of the list the device came from.
void SetSelectedCell(IMainWindow& window, int column, const QString& text)
{
    platform::ListView* list = window.Dialog().List(window.Members().m_bTxSelected ? IDC_TX_LIST : IDC_RX_LIST);
    list->SetItemText(list->GetSelectedRow(), column, text);
}

// The scan socket for Apply's lines: the session to the selected device is
// opened (when it went elsewhere) just before the first line, and what has
// arrived by then is noted, so the end of Apply can tell whether the device
// answered anything at all.
class ApplySession {
public:
    ApplySession(IMainWindow& window, SelectedDevice device) : window_(window), device_(std::move(device)) { }

    CMyAsyncSocket& Socket()
    {
        if (!socket_) {
            socket_ = &SessionToSelected(window_, device_);
            arrivedBefore_ = socket_->BytesArrived();
        }
        return *socket_;
    }
    bool LinesWentOut() const { return socket_ != nullptr; }
    // Only looks: the receive pipeline still reads every byte in its order.
    bool Answered() const { return socket_->BytesArrived() > arrivedBefore_ && !socket_->PeerClosed(); }

private:
    IMainWindow& window_;
    SelectedDevice device_;
    CMyAsyncSocket* socket_ = nullptr;
    std::uint64_t arrivedBefore_ = 0;
};
}  // namespace

void IpModeClicked(IMainWindow& window)
{
    DialogMembers& m = window.Members();
    platform::CDialogBase& dlg = window.Dialog();
    window.UpdateData(true);
    const bool autoip = m.m_strIpModeText == Q(cv::nodes::kIpModeAutoip.text());
    const bool dhcp = m.m_strIpModeText == Q(cv::nodes::kIpModeDhcp.text());
    const bool isStatic = m.m_strIpModeText == Q(cv::nodes::kIpModeStatic.text());
    // The device's own address is that of the selected row, whatever a wall
    // command addressed since.
    if (const std::optional<SelectedDevice> device = FindSelectedDevice(window))
        m.m_strNodeAddress = device->address;

    if (m.m_nIpMode == 2) {
        // Its own address and, where it has them, its netmask and gateway:
        // a static address is mostly the one it has, pinned.
        const auto or_ = [](const QString& own, const char* fallback) { return own.isEmpty() ? Text(fallback) : own; };
        if (isStatic)
            SetAddressFields(dlg, m.m_strNodeAddress, m.m_strNetmask, m.m_strGateway);
        else
            SetAddressFields(dlg, or_(m.m_strNodeAddress, device_text::kDefaultStaticAddress),
                             or_(m.m_strNetmask, device_text::kDefaultStaticNetmask),
                             or_(m.m_strGateway, device_text::kDefaultStaticGateway));
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

namespace {
// What is wrong with a static address before it is sent; empty when
// nothing is. The Scan's lists say which addresses other endpoints answer
// at, with nothing sent anywhere.
QString AddressDoubt(platform::CDialogBase& dlg, const QString& address, const QString& own)
{
    if (address == own)
        return {};
    std::vector<cv::endpoint::Card> cards;
    for (const auto& card : cv::lan::Ipv4Interfaces())
        cards.push_back({card.address, card.netmask});
    QStringList doubts;
    bool listed = false;
    for (int list : {IDC_TX_LIST, IDC_RX_LIST})
        for (int row = 0; row < dlg.List(list)->GetItemCount(); ++row)
            listed = listed || dlg.List(list)->GetItemText(row, 0) == address;
    if (listed)
        doubts << Text(device_text::kAddressInUse);
    if (cv::endpoint::UnreachableFrom(address.toStdString(), cards))
        doubts << Text(device_text::kAddressUnreachable);
    return doubts.join(QLatin1Char(' '));
}
}  // namespace

void Apply(IMainWindow& window)
{
    DialogMembers& m = window.Members();
    platform::CDialogBase& dlg = window.Dialog();
    using namespace cv::nodes;

    const std::optional<SelectedDevice> device = FindSelectedDevice(window);
    if (!device)
        return SayNothingSelected(window);
    // Compared with below as the device's own address (Static unchanged).
    m.m_strNodeAddress = device->address;
    m.m_bTxSelected = device->tx ? 1 : 0;
    ApplySession session(window, *device);

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

    // A static address that loses the endpoint is asked about first, No the
    // default: nothing has been sent yet.
    if (dlg.GetCheckedRadioButton(IDC_AUTO_IP, IDC_STATIC) == IDC_STATIC) {
        const QString address = dlg.IpAddress(IDC_IP_ADDRESS)->AddressText();
        if (const QString doubt = AddressDoubt(dlg, address, m.m_strNodeAddress); !doubt.isEmpty()) {
            const int go =
                platform::MessageBox(&dlg, Text(device_text::kAddressDoubt).arg(address, doubt),
                                     platform::MB_YESNO | platform::MB_ICONWARNING | platform::MB_DEFBUTTON2);
            if (go != platform::IDYES)
                return;
        }
    }

    // The lists and the recorded values change only once the endpoint has
    // answered: what did not reach it is not shown as done.
    std::vector<std::function<void()>> reached;
    // A send that fails ends Apply; what was answered before it is shown.
    const auto failed = [&] {
        if (session.LinesWentOut() && session.Answered())
            for (const auto& record : reached)
                record();
        ApplyFailed(window);
    };
    if (hostnameGroup) {
        if (!SendGroup(session.Socket(), HostnameGroupLines(U16(m.m_strHostnameId))))
            return failed();
        const int row = dlg.List(IDC_RX_LIST)->GetSelectedRow();
        reached.push_back([&dlg, &m, row, id = m.m_strHostnameId] {
            dlg.List(IDC_RX_LIST)->SetItemText(row, 4, id);
            m.m_strRecordedHostnameId = id;
        });
    }

    bool castingChanged = false;
    if (castRadio != m.m_nRecordedCastRadio) {
        castingChanged = true;
        if (castRadio == IDC_MULTICAST || castRadio == IDC_UNICAST) {
            const bool multicast = castRadio == IDC_MULTICAST;
            if (!SendGroup(session.Socket(), CastingGroupLines(multicast)))
                return failed();
            reached.push_back([&m, text = Q(multicast ? kMulticastYes.text() : kMulticastNo.text())] {
                m.m_strListMulticast = text;
            });
        }
        reached.push_back([&window, &m, castRadio] {
            SetSelectedCell(window, 1, m.m_strListMulticast);
            m.m_nRecordedCastRadio = castRadio;
        });
    }

    if (m.m_bChannelChanged) {
        if (!SendGroup(session.Socket(), ChannelGroupLines(U16(chosenChannel))))
            return failed();
        reached.push_back([&window, &m, chosenChannel] {
            m.m_strChannel = chosenChannel;
            SetSelectedCell(window, 2, m.m_strChannel);
        });
        platform::Sleep(cv::nodes::kChannelSettleMs);
    }

    bool ipChanged = false;
    QString newStaticAddress;  // the address a reboot brings the device up at
    bool mayMove = false;  // Auto IP or DHCP may give it any address
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
            if (!SendGroup(session.Socket(), IpGroupLines(ipRadio == IDC_AUTO_IP ? IpMode::AutoIp : IpMode::Dhcp)))
                return failed();
            mayMove = true;
        } else if (ipRadio == IDC_STATIC) {
            if (!SendGroup(session.Socket(), IpGroupLines(IpMode::Static, U16(address), U16(mask), U16(gateway))))
                return failed();
            if (address != m.m_strNodeAddress)
                newStaticAddress = address;
        }
        reached.push_back([&m, ipRadio] { m.m_nRecordedIpRadio = ipRadio; });
    }

    platform::Sleep(cv::nodes::kApplyResultPauseMs);
    // The local socket takes lines for a device whose power is gone: only
    // an answer (its echo, its prompt) says they reached it.
    if (session.LinesWentOut() && !session.Answered()) {
        platform::MessageBox(&dlg, Text(device_text::kApplyNoAnswer).arg(device->address),
                             platform::MB_OK | platform::MB_ICONWARNING);
        return;
    }
    for (const auto& record : reached)
        record();
    if (!ipChanged && !castingChanged) {
        platform::MessageBox(&dlg, Text(device_text::kApplySuccess), platform::MB_OK | platform::MB_ICONINFORMATION);
        return;
    }
    const int answer =
        platform::MessageBox(&dlg, Text(device_text::kRebootQuestion), platform::MB_YESNO | platform::MB_ICONWARNING);
    if (answer != platform::IDYES)
        return;
    const RebootComeback comeback = !newStaticAddress.isEmpty() ? RebootComeback::NewStaticAddress
        : mayMove                                               ? RebootComeback::MayHaveMoved
                                                                : RebootComeback::SameAddress;
    RebootOn(window, session.Socket(), comeback, newStaticAddress);
}
