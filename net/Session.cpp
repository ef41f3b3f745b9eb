#include "net/Session.h"

#include "net/Text.h"
#include "nodes/Firmware.h"
#include "nodes/Operations.h"
#include "platform/Controls.h"
#include "platform/DataExchange.h"
#include "platform/Dialog.h"
#include "platform/Sleep.h"

#include <string>

namespace {
// The bezel values describe the operator's wall, not an endpoint: what is
// typed in them is taken before a Scan pushes the stored values back into
// the controls, so the Scan keeps it. Text that is no number in range is
// left to the next drop or quick layout to refuse.
void KeepTypedBezels(IMainWindow& window)
{
    DialogMembers& m = window.Members();
    const std::pair<int, uint32_t*> bezels[] = {
        {IDC_OW, &m.m_nOW}, {IDC_VW, &m.m_nVW}, {IDC_OH, &m.m_nOH}, {IDC_VH, &m.m_nVH}};
    for (const auto& [id, member] : bezels)
        if (const std::optional<uint32_t> n = platform::ParseUnsignedInRange(window.Dialog().GetDlgItemText(id)))
            *member = *n;
}
}  // namespace

void OpenCommandSession(CMyAsyncSocket& socket, const QString& address)
{
    socket.Close();
    socket.Create();
    socket.SessionOpenedTo(address);
    // An empty address (no endpoint ever answered) has nowhere to go.
    if (!address.isEmpty())
        socket.Connect(address, kShellPort);
}

int SendLine(CMyAsyncSocket& socket, std::u16string_view line, std::size_t bufferSize, bool withZero)
{
    const cv::nodes::WireLine wire{std::u16string(line), withZero};
    const std::optional<std::string> bytes = cv::nodes::WireBytes(wire, bufferSize);
    if (!bytes)
        return platform::SOCKET_ERROR;  // never send a line cut short
    return socket.Send(bytes->data(), static_cast<int>(bytes->size()));
}

int SendLine(CMyAsyncSocket& socket, const QString& line, std::size_t bufferSize, bool withZero)
{
    return SendLine(socket, U16(line), bufferSize, withZero);
}

std::optional<SelectedDevice> FindSelectedDevice(IMainWindow& window)
{
    platform::CDialogBase& dlg = window.Dialog();
    // A selection in one list clears the other's; should both hold one, the
    // list clicked last wins.
    const bool txFirst = window.Members().m_bTxSelected != 0;
    for (const bool tx : {txFirst, !txFirst}) {
        platform::ListView* list = dlg.List(tx ? IDC_TX_LIST : IDC_RX_LIST);
        const int row = list->GetSelectedRow();
        if (row >= 0)
            return SelectedDevice{list->GetItemText(row, 0), tx, row};
    }
    return std::nullopt;
}

CMyAsyncSocket& SessionToSelected(IMainWindow& window, const SelectedDevice& device)
{
    DialogMembers& m = window.Members();
    m.m_strNodeAddress = device.address;
    m.m_bTxSelected = device.tx ? 1 : 0;
    CMyAsyncSocket& scan = window.Slot(0);
    if (scan.SessionOpened() && scan.SessionAddress() != device.address) {
        OpenCommandSession(scan, device.address);
        platform::Sleep(20);
        SendLine(scan, cv::nodes::kLogin.text(), cv::nodes::kLineBuffer);
        platform::Sleep(20);
    }
    return scan;
}

void ReceivePipeline(IMainWindow& window, CMyAsyncSocket& socket) { AppendArrival(window, socket.ReadPiece()); }

void AppendArrival(IMainWindow& window, const QString& piece)
{
    if (!piece.isEmpty())
        window.Members().m_transcript.append(U16(piece));
    window.UpdateData(false);
    window.NodeListParse();
    window.DeviceDetailParse();
    window.UpgradeFailureCheck();
}

void EnableDeviceButtons(IMainWindow& window, bool enable)
{
    for (int id : {IDC_REBOOT, IDC_APPLY, IDC_FACTORY_DEFAULT, IDC_UPGRADE})
        window.Dialog().EnableWindow(id, enable);
}

void StartWait(IMainWindow& window, int timerId, int endPosition, int periodMs)
{
    platform::ProgressBar* bar = window.Dialog().Progress(IDC_PROGRESS);
    bar->SetRange(0, endPosition);
    bar->SetPos(0);
    window.Dialog().SetTimer(timerId, periodMs);
}

void ClearDeviceInfo(IMainWindow& window)
{
    DialogMembers& m = window.Members();
    platform::CDialogBase& dlg = window.Dialog();
    m.m_strHostnameId.clear();
    // The emptied field is the new reference: left alone it is no change.
    m.m_strRecordedHostnameId.clear();
    m.m_strLanStatus = QStringLiteral("Lan Status: ");
    m.m_strMac = QStringLiteral("MAC Address: ");
    m.m_strVersion = QStringLiteral("Version: ");
    m.m_nIpMode = -1;
    m.m_nCastMode = -1;
    for (int id : {IDC_IP_ADDRESS, IDC_SUBNET_MASK, IDC_GATEWAY})
        dlg.IpAddress(id)->ClearAddress();
    dlg.Combo(IDC_CHANNEL)->SetCurSel(-1);
    window.UpdateData(false);
}

void Scan(IMainWindow& window)
{
    DialogMembers& m = window.Members();
    platform::CDialogBase& dlg = window.Dialog();
    KeepTypedBezels(window);
    StartWait(window, TIMER_SCAN, 4, 500);
    m.m_bDetailMode = 0;
    m.m_transcript.clear();
    dlg.CheckDlgButton(IDC_SHOW_OSD, 0);
    dlg.List(IDC_TX_LIST)->DeleteAllItems();
    dlg.List(IDC_RX_LIST)->DeleteAllItems();
    ClearDeviceInfo(window);
    m.m_bUpgradeWatch = 0;
    CMyAsyncSocket& scan = window.Slot(0);
    scan.Close();
    Discover(scan, &dlg);
    scan.SessionOpenedTo(scan.m_strPeerAddress);
    // The first Scan without any answer has no address to connect to.
    if (scan.m_strPeerAddress.isEmpty())
        return;
    scan.Create();
    scan.Connect(scan.m_strPeerAddress, kShellPort);
    platform::Sleep(20);
    SendLine(scan, cv::nodes::kLogin.text(), cv::nodes::kLineBuffer);
    platform::Sleep(20);
    SendLine(scan, cv::nodes::kNodeQueryDump.text(), cv::nodes::kLineBuffer);
}
