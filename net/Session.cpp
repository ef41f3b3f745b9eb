#include "net/Session.h"

#include "net/Text.h"
#include "nodes/Firmware.h"
#include "platform/CodePage.h"
#include "platform/Controls.h"
#include "platform/Dialog.h"
#include "platform/Sleep.h"

#include <vector>

void OpenCommandSession(CMyAsyncSocket& socket, const QString& address)
{
    socket.Close();
    socket.Create();
    // An empty address (no endpoint ever answered) has nowhere to go.
    if (!address.isEmpty())
        socket.Connect(address, kShellPort);
}

int SendLine(CMyAsyncSocket& socket, QStringView line, std::size_t bufferSize, bool withZero)
{
    std::vector<char> buffer(bufferSize, 0);
    const QByteArray bytes = platform::ToSystemCodePage(line);
    if (bytes.size() >= static_cast<qsizetype>(bufferSize))
        return platform::SOCKET_ERROR;  // never send a line cut short
    std::copy(bytes.begin(), bytes.end(), buffer.begin());
    const int length = static_cast<int>(bytes.size()) + (withZero ? 1 : 0);
    return socket.Send(buffer.data(), length);
}

int SendBytes(CMyAsyncSocket& socket, const QByteArray& bytes, bool withZero)
{
    // QByteArray keeps a zero after its data, so the terminating zero is there to send.
    return socket.Send(bytes.constData(), static_cast<int>(bytes.size()) + (withZero ? 1 : 0));
}

void ReceivePipeline(IMainWindow& window, CMyAsyncSocket& socket)
{
    AppendArrival(window, socket.ReadPiece());
}

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
    // The first Scan without any answer has no address to connect to.
    if (scan.m_strPeerAddress.isEmpty())
        return;
    scan.Create();
    scan.Connect(scan.m_strPeerAddress, kShellPort);
    platform::Sleep(20);
    SendBytes(scan, Bytes(cv::nodes::kLogin.bytes()));
    platform::Sleep(20);
    SendBytes(scan, Bytes(cv::nodes::kNodeQueryDump.bytes()));
}
