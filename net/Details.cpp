#include "net/Session.h"
#include "net/Text.h"
#include "nodes/Firmware.h"
#include "nodes/Operations.h"
#include "platform/Controls.h"
#include "platform/Dialog.h"
#include "platform/Sleep.h"

namespace {
using cv::nodes::kLineBuffer;
}

void DetailQuery(IMainWindow& window, bool txList, int row)
{
    DialogMembers& m = window.Members();
    platform::CDialogBase& dlg = window.Dialog();
    m.m_bTxSelected = txList ? 1 : 0;
    m.m_bUpgradeWatch = 0;
    m.m_bDetailMode = 1;
    if (row == -1)
        return;
    // One device is selected at a time: the one this panel is about to show.
    platform::ListView* list = dlg.List(txList ? IDC_TX_LIST : IDC_RX_LIST);
    if (list->GetSelectedRow() != row)
        list->SetSelectedRow(row);
    dlg.List(txList ? IDC_RX_LIST : IDC_TX_LIST)->SetSelectedRow(-1);
    StartWait(window, TIMER_SELECT, 4, 1);
    ClearDeviceInfo(window);
    m.m_transcript.clear();
    m.m_shownDetails.reset();
    m.m_shownChannel.clear();
    m.m_strNodeAddress = list->GetItemText(row, 0);
    CMyAsyncSocket& scan = window.Slot(0);
    OpenCommandSession(scan, m.m_strNodeAddress);
    platform::Sleep(20);
    SendLine(scan, cv::nodes::kLogin.text(), kLineBuffer);
    platform::Sleep(20);
    SendLine(scan, cv::nodes::kChannelQuery.text(), kLineBuffer);
    SendLine(scan, cv::nodes::kVersionQuery.text(), kLineBuffer);
    SendLine(scan, cv::nodes::kParamDump.text(), kLineBuffer);
    EnableDeviceButtons(window, false);
    dlg.EnableWindow(IDC_HOSTNAME_ID, !txList);
}

void NodeListParse(IMainWindow& window)
{
    DialogMembers& m = window.Members();
    if (m.m_bDetailMode != 0)
        return;
    std::shared_ptr<const cv::nodes::NodeList> list = m.m_nodeListParser.parse(m.m_transcript);
    if (!list)
        return;
    if (list != m.m_shownNodeList) {
        // A later run over more text replaces the rows of the earlier one
        // instead of listing every node twice.
        platform::CDialogBase& dlg = window.Dialog();
        std::vector<QStringList> tx;
        tx.reserve(list->transmitters.size());
        for (const cv::nodes::TransmitterRow& r : list->transmitters)
            tx.push_back({Q(r.address), Q(r.multicast), Q(r.channel)});
        std::vector<QStringList> rx;
        rx.reserve(list->receivers.size());
        for (const cv::nodes::ReceiverRow& r : list->receivers)
            rx.push_back({Q(r.address), Q(r.multicast), Q(r.channel), Q(r.number), Q(r.hostnameId)});
        dlg.List(IDC_TX_LIST)->ReplaceAllItems(std::move(tx));
        dlg.List(IDC_RX_LIST)->ReplaceAllItems(std::move(rx));
        if (list->anyReceiver())
            dlg.EnableWindow(IDC_QUICK_WALL, true);
        m.m_shownNodeList = list;
    }
    if (list->last) {
        m.m_strNodeAddress = Q(list->last->address);
        m.m_strListMulticast = Q(list->last->multicast);
        m.m_strChannel = Q(list->last->channel);
    }
}

void DeviceDetailParse(IMainWindow& window)
{
    DialogMembers& m = window.Members();
    if (m.m_bDetailMode != 1)
        return;
    std::shared_ptr<const cv::nodes::DeviceDetails> d = m.m_detailsParser.parse(m.m_transcript);
    if (!d)
        return;
    platform::CDialogBase& dlg = window.Dialog();
    m.m_strHostnameId = Q(d->hostnameId);
    m.m_strRecordedHostnameId = m.m_strHostnameId;
    m.m_strLanStatus = QStringLiteral("Lan Status: ") + Q(d->lanStatus);
    m.m_strMac = QStringLiteral("MAC Address: ") + Q(d->macAddress);
    m.m_strNetmask = Q(d->netmask);
    dlg.IpAddress(IDC_SUBNET_MASK)->SetAddressText(m.m_strNetmask);
    dlg.IpAddress(IDC_IP_ADDRESS)->SetAddressText(m.m_strNodeAddress);
    m.m_strGateway = Q(d->gateway);
    dlg.IpAddress(IDC_GATEWAY)->SetAddressText(m.m_strGateway);
    m.m_strIpModeText = Q(d->ipMode);
    if (d->ipModeChoice)
        m.m_nIpMode = *d->ipModeChoice;
    if (d->addressControlsEnabled)
        for (int id : {IDC_IP_ADDRESS, IDC_SUBNET_MASK, IDC_GATEWAY})
            dlg.EnableWindow(id, *d->addressControlsEnabled);
    m.m_strMulticast = Q(d->multicast);
    if (d->castingChoice)
        m.m_nCastMode = *d->castingChoice;
    if (d != m.m_shownDetails) {
        m.m_shownDetails = d;
        m.m_shownChannel = Q(d->channel);
    }
    m.m_strChannel = m.m_shownChannel;
    if (!m.m_strChannel.isEmpty())
        dlg.Combo(IDC_CHANNEL)->SelectString(0, m.m_strChannel);
    m.m_strVersion = QStringLiteral("Version: ") + Q(d->version);
    window.UpdateData(false);
    m.m_nRecordedIpRadio = dlg.GetCheckedRadioButton(IDC_AUTO_IP, IDC_STATIC);
    m.m_nRecordedCastRadio = dlg.GetCheckedRadioButton(IDC_MULTICAST, IDC_UNICAST);
}
