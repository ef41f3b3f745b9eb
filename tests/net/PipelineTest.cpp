// The receive pipeline over real sockets on loopback: pieces, zero bytes,
// several sessions feeding one transcript.
#include "net/Session.h"
#include "platform/Controls.h"
#include "tests/support/Loopback.h"
#include "tests/support/TestSupport.h"
#include "ui/CortaviaDlg.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

using testing_support::MakeMainWindow;
using testing_support::PumpUntil;

namespace {

class LoopbackPeer {
public:
    ~LoopbackPeer()
    {
        if (peer_ >= 0)
            ::close(peer_);
    }
    // Connects a session slot to this peer (the shell port is fixed, so the
    // slot is connected by hand here).
    void Attach(CMyAsyncSocket& slot)
    {
        slot.Close();
        slot.Create();
        slot.Connect("127.0.0.1", listener_.Port());
        peer_ = listener_.Accept();
    }
    void Write(const std::string& bytes)
    {
        ASSERT_EQ(::write(peer_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }

private:
    testing_support::LoopbackListener listener_;
    int peer_ = -1;
};

QString Transcript(CMyCortaviaDlg& dlg)
{
    const std::u16string& t = dlg.m_transcript.text();
    return QString(reinterpret_cast<const QChar*>(t.data()), qsizetype(t.size()));
}

}  // namespace

TEST(ReceivePipeline, AppendsAFullKilobyteReadWholeAndContinuesAfterIt)
{
    auto dlg = MakeMainWindow();
    LoopbackPeer peer;
    peer.Attach(dlg->Slot(0));
    std::string text;
    for (int i = 0; text.size() < 3000; ++i)
        text += "line " + std::to_string(i) + "\r\n";
    peer.Write(text.substr(0, 1024));
    ASSERT_TRUE(PumpUntil([&] { return dlg->m_transcript.size() == 1024; }));
    peer.Write(text.substr(1024));
    ASSERT_TRUE(PumpUntil([&] { return dlg->m_transcript.size() == text.size(); }));
    EXPECT_EQ(Transcript(*dlg), QString::fromLatin1(text.c_str()));
}

TEST(ReceivePipeline, DropsTheBytesAfterAZeroByteInTheSameRead)
{
    auto dlg = MakeMainWindow();
    LoopbackPeer peer;
    peer.Attach(dlg->Slot(0));
    peer.Write(std::string("abc\0def", 7));
    ASSERT_TRUE(PumpUntil([&] { return !dlg->m_transcript.empty(); }));
    testing_support::PumpEvents(30);
    EXPECT_EQ(Transcript(*dlg), "abc");
    peer.Write("ghi");
    ASSERT_TRUE(PumpUntil([&] { return dlg->m_transcript.size() == 6; }));
    EXPECT_EQ(Transcript(*dlg), "abcghi");
}

TEST(ReceivePipeline, DecodesACharacterSplitAcrossTwoReads)
{
    auto dlg = MakeMainWindow();
    LoopbackPeer peer;
    peer.Attach(dlg->Slot(0));
    const std::string e = "\xC3\xA9";  // é in the locale's UTF-8
    peer.Write("caf" + e.substr(0, 1));
    ASSERT_TRUE(PumpUntil([&] { return dlg->m_transcript.size() >= 3; }));
    testing_support::PumpEvents(20);
    peer.Write(e.substr(1) + "!");
    ASSERT_TRUE(PumpUntil([&] { return Transcript(*dlg).endsWith('!'); }));
    EXPECT_EQ(Transcript(*dlg), QString::fromUtf8("café!"));
}

TEST(ReceivePipeline, CollectsEverySlotIntoOneTranscriptInArrivalOrder)
{
    auto dlg = MakeMainWindow();
    LoopbackPeer a, b;
    a.Attach(dlg->Slot(0));
    b.Attach(dlg->Slot(7));
    a.Write("first|");
    ASSERT_TRUE(PumpUntil([&] { return Transcript(*dlg) == "first|"; }));
    b.Write("second|");
    ASSERT_TRUE(PumpUntil([&] { return Transcript(*dlg).size() == 13; }));
    a.Write("third");
    ASSERT_TRUE(PumpUntil([&] { return Transcript(*dlg).endsWith("third"); }));
    EXPECT_EQ(Transcript(*dlg), "first|second|third");
}

TEST(ReceivePipeline, PushesStoredValuesOverUnappliedTypingOnEveryArrival)
{
    auto dlg = MakeMainWindow();
    LoopbackPeer peer;
    peer.Attach(dlg->Slot(0));
    dlg->SetDlgItemText(IDC_OW, "12170");
    dlg->SetDlgItemText(IDC_HOSTNAME_ID, "typed");
    peer.Write("x");
    ASSERT_TRUE(PumpUntil([&] { return !dlg->m_transcript.empty(); }));
    EXPECT_EQ(dlg->GetDlgItemText(IDC_OW), "1");
    EXPECT_EQ(dlg->GetDlgItemText(IDC_HOSTNAME_ID), "");
}

TEST(ReceivePipeline, FillsTheListsOnceTheDumpEndsAndReplacesThemOnLaterText)
{
    auto dlg = MakeMainWindow();
    LoopbackPeer peer;
    peer.Attach(dlg->Slot(0));
    const std::string dump =
        "node_query --dump\r\n"
        "HOSTNAME=ast-gateway01\r\nMY_IP=198.18.1.1\r\nMULTICAST_ON=y\r\nCH_SELECT=0003\r\nMY_MAC=01\r\n"
        "HOSTNAME=ast-clientlobby\r\nMY_IP=198.18.2.1\r\nMULTICAST_ON=n\r\nCH_SELECT_V=0003\r\nMY_MAC=02\r\n"
        "<<<<<<<<<<\r\n";
    peer.Write(dump);
    testing_support::PumpEvents(50);
    EXPECT_EQ(dlg->List(IDC_RX_LIST)->GetItemCount(), 0) << "no rows before the prompt after the marker";
    peer.Write("/");
    ASSERT_TRUE(PumpUntil([&] { return dlg->List(IDC_RX_LIST)->GetItemCount() == 1; }));
    peer.Write(" # ");
    testing_support::PumpEvents(50);
    EXPECT_EQ(dlg->List(IDC_RX_LIST)->GetItemCount(), 1) << "a later run must not add the rows again";
    EXPECT_EQ(dlg->List(IDC_TX_LIST)->GetItemCount(), 1);
    EXPECT_EQ(dlg->List(IDC_RX_LIST)->GetItemText(0, 4), "lobby");
    EXPECT_EQ(dlg->List(IDC_TX_LIST)->GetItemText(0, 2), "0003");
    EXPECT_TRUE(dlg->IsWindowEnabled(IDC_QUICK_WALL));
    EXPECT_EQ(dlg->m_strNodeAddress, "198.18.2.1");
}

TEST(DetailQuery, AClickOnEmptySpaceOnlyLeavesNodeListingMode)
{
    auto dlg = MakeMainWindow();
    dlg->m_bUpgradeWatch = 1;
    DetailQuery(*dlg, true, -1);
    EXPECT_EQ(dlg->m_bDetailMode, 1);
    EXPECT_EQ(dlg->m_bTxSelected, 1);
    EXPECT_EQ(dlg->m_bUpgradeWatch, 0);
    EXPECT_FALSE(dlg->IsTimerRunning(TIMER_SELECT));
    EXPECT_FALSE(dlg->Slot(0).IsOpen());
    // A dump still arriving no longer fills the lists.
    dlg->m_transcript.append(u"node_query\r\nclient\r\nMY_IP=1\r\nMY_MAC<<<<<<<<<<\r\n/");
    dlg->NodeListParse();
    EXPECT_EQ(dlg->List(IDC_RX_LIST)->GetItemCount(), 0);
}

TEST(DetailParse, FillsThePanelRadiosAndChannelOfTheSelectedDevice)
{
    auto dlg = MakeMainWindow();
    dlg->m_bDetailMode = 1;
    dlg->m_strNodeAddress = "198.18.2.4";
    dlg->m_transcript.append(
        u"lmparam g CH_SELECT_V\r\n0042\r\n/ # cat /etc/version\r\nast initrd2m: A7.3.1\r\n/ # lmparam dump\r\n"
        u"HOSTNAME_ID=lobby-left\r\nSTATE=s_srv_on\r\nMY_MAC=02:00:C6:12:02:04\r\nMY_NETMASK=255.255.0.0\r\n"
        u"MY_GATEWAYIP=198.18.0.1\r\nIP_MODE=dhcp\r\nMULTICAST_ON=n\r\nMY_IP=10.0.0.9\r\nIS_HOST=n\r\n/ # ");
    dlg->DeviceDetailParse();
    EXPECT_EQ(dlg->GetDlgItemText(IDC_HOSTNAME_ID), "lobby-left");
    EXPECT_EQ(dlg->GetDlgItemText(IDC_LAN_STATUS), "Lan Status: s_srv_on");
    EXPECT_EQ(dlg->GetDlgItemText(IDC_MAC), "MAC Address: 02:00:C6:12:02:04");
    EXPECT_EQ(dlg->GetDlgItemText(IDC_VERSION), "Version: A7.3.1");
    EXPECT_EQ(dlg->IpAddress(IDC_IP_ADDRESS)->AddressText(), "198.18.2.4")
        << "the address connected to, not the dump's";
    EXPECT_EQ(dlg->IpAddress(IDC_SUBNET_MASK)->AddressText(), "255.255.0.0");
    EXPECT_FALSE(dlg->IsWindowEnabled(IDC_GATEWAY));
    EXPECT_EQ(dlg->Combo(IDC_CHANNEL)->GetLBText(dlg->Combo(IDC_CHANNEL)->GetCurSel()), "0042");
    EXPECT_EQ(dlg->m_nRecordedIpRadio, IDC_DHCP);
    EXPECT_EQ(dlg->m_nRecordedCastRadio, IDC_UNICAST);
}

TEST(DetailParse, LeavesTheAddressControlsEnabledForAStaticDevice)
{
    auto dlg = MakeMainWindow();
    for (int id : {IDC_IP_ADDRESS, IDC_SUBNET_MASK, IDC_GATEWAY})
        dlg->EnableWindow(id, false);  // as a DHCP device selected before left them
    dlg->m_bDetailMode = 1;
    dlg->m_transcript.append(u"IP_MODE=static\r\nMULTICAST_ON=yes\r\nIS_HOST=y\r\n/");
    dlg->DeviceDetailParse();
    EXPECT_EQ(dlg->m_nRecordedIpRadio, IDC_STATIC);
    EXPECT_EQ(dlg->m_nRecordedCastRadio, 0) << "\"yes\" is neither y nor n";
    EXPECT_TRUE(dlg->IsWindowEnabled(IDC_IP_ADDRESS));
    EXPECT_EQ(dlg->Combo(IDC_CHANNEL)->GetCurSel(), -1) << "no channel reported selects nothing";
}
