// Scan and the detail query against simulated endpoints in the test LAN,
// checked on the simulator's wire log: the exact bytes the tool sent.
#include "SimProcess.h"
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

using cv::sim::SimProcess;
using testing_support::MakeMainWindow;
using testing_support::PumpUntil;
using testing_support::RecordedSleeps;
using testing_support::ScriptedMessageBoxes;

namespace {

constexpr const char* kScanLines = "root\r\nnode_query --dump\r\n";

class ScanLan : public ::testing::Test {
protected:
    void Start(std::vector<std::string> args)
    {
        sim = std::make_unique<SimProcess>(std::move(args));
        ASSERT_TRUE(sim->start()) << sim->error();
        dlg = MakeMainWindow();
    }
    bool ListsFilled(int tx, int rx)
    {
        return PumpUntil([&] {
            return dlg->List(IDC_TX_LIST)->GetItemCount() == tx && dlg->List(IDC_RX_LIST)->GetItemCount() == rx;
        });
    }

    ScriptedMessageBoxes boxes;
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<CMyCortaviaDlg> dlg;
};

}  // namespace

TEST_F(ScanLan, SendsTheQueryThenLogsInAndAsksTheLastResponderForItsDump)
{
    Start({"--tx", "1", "--rx", "2"});
    RecordedSleeps sleeps;
    Scan(*dlg);
    EXPECT_EQ(sleeps.Pauses(), (std::vector<unsigned>{20, 20})) << "before the login and before the query";
    EXPECT_NE(sim->discoveryLog().find("bytes=8"), std::string::npos) << sim->discoveryLog();
    // The answers come in fleet order: the third one read wins.
    EXPECT_EQ(dlg->Slot(0).m_strPeerAddress, "198.18.2.2");
    ASSERT_TRUE(sim->waitForWire("198.18.2.2", kScanLines));
    EXPECT_EQ(sim->wireBytes("198.18.2.2"), kScanLines);
    EXPECT_EQ(sim->wireBytes("198.18.1.1"), "");
    EXPECT_EQ(sim->wireBytes("198.18.2.1"), "");
    ASSERT_TRUE(ListsFilled(1, 2));
    EXPECT_EQ(dlg->List(IDC_RX_LIST)->GetItemText(1, 0), "198.18.2.2");
    EXPECT_EQ(dlg->List(IDC_RX_LIST)->GetItemText(1, 3), "1");
    EXPECT_EQ(dlg->List(IDC_RX_LIST)->GetItemText(1, 4), "rx-002");
    EXPECT_TRUE(boxes.Shown().empty());
}

TEST_F(ScanLan, WithNoResponderShowsTheMessageAndKeepsTheEarlierPeer)
{
    Start({"--tx", "1", "--rx", "1", "--fault", "no-discovery"});
    RecordedSleeps sleeps;
    Scan(*dlg);
    EXPECT_TRUE(sleeps.Pauses().empty());
    EXPECT_EQ(boxes.Texts(), std::vector<QString>{"No device found, please check network and IP address."});
    EXPECT_EQ(boxes.Shown()[0].flags, platform::MB_OK | platform::MB_ICONINFORMATION);
    EXPECT_TRUE(dlg->Slot(0).m_strPeerAddress.isEmpty());
    EXPECT_FALSE(dlg->Slot(0).IsOpen()) << "nowhere to connect on a first Scan without answers";

    dlg->Slot(0).m_strPeerAddress = "198.18.1.1";  // an earlier Scan's answer
    Scan(*dlg);
    EXPECT_EQ(dlg->Slot(0).m_strPeerAddress, "198.18.1.1");
    ASSERT_TRUE(sim->waitForWire("198.18.1.1", kScanLines));
    EXPECT_TRUE(ListsFilled(1, 1));
}

TEST_F(ScanLan, FillsTheListsFromADumpArrivingInSmallPieces)
{
    Start({"--tx", "3", "--rx", "3", "--fault", "chunk=7:2"});
    Scan(*dlg);
    ASSERT_TRUE(ListsFilled(3, 3));
    // Transmitters newest first, receivers in dump order.
    EXPECT_EQ(dlg->List(IDC_TX_LIST)->GetItemText(0, 0), "198.18.1.3");
    EXPECT_EQ(dlg->List(IDC_TX_LIST)->GetItemText(2, 0), "198.18.1.1");
    EXPECT_EQ(dlg->List(IDC_RX_LIST)->GetItemText(0, 0), "198.18.2.1");
    EXPECT_EQ(dlg->List(IDC_RX_LIST)->GetItemText(2, 3), "2");
    testing_support::PumpEvents(200);
    EXPECT_EQ(dlg->List(IDC_RX_LIST)->GetItemCount(), 3) << "the prompt's tail must not list them twice";
}

TEST_F(ScanLan, TakesADumpSentInWholeKilobytePiecesWithNothingLostOrDoubled)
{
    Start({"--tx", "20", "--rx", "40", "--fault", "chunk=1024:20"});
    Scan(*dlg);
    ASSERT_TRUE(ListsFilled(20, 40));
    const std::u16string& t = dlg->m_transcript.text();
    size_t records = 0;
    for (size_t at = t.find(u"MY_MAC="); at != std::u16string::npos; at = t.find(u"MY_MAC=", at + 1))
        ++records;
    EXPECT_EQ(records, 60u);
    EXPECT_EQ(t.find(u"<<<<<<<<<<"), t.rfind(u"<<<<<<<<<<"));
    EXPECT_EQ(dlg->List(IDC_RX_LIST)->GetItemText(39, 3), "39");
    EXPECT_EQ(dlg->List(IDC_RX_LIST)->GetItemText(39, 0), "198.18.2.40");
}

TEST_F(ScanLan, AClickOnARowFillsThePanelWithTheEndpointsValues)
{
    Start({"--node", "tx ip=198.18.1.1 channel=0007", "--node",
           "rx ip=198.18.2.1 hostname_id=lobby-left channel=0007 multicast=n ip_mode=static "
           "netmask=255.255.255.0 gateway=198.18.0.1 version=A7.4.0"});
    Scan(*dlg);
    ASSERT_TRUE(ListsFilled(1, 1));
    DetailQuery(*dlg, false, 0);
    ASSERT_TRUE(
        sim->waitForWire("198.18.2.1", "root\r\nlmparam g CH_SELECT_V\r\ncat /etc/version\r\nlmparam dump\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return dlg->GetDlgItemText(IDC_HOSTNAME_ID) == "lobby-left"; }));
    EXPECT_EQ(dlg->GetDlgItemText(IDC_VERSION), "Version: A7.4.0");
    EXPECT_EQ(dlg->GetCheckedRadioButton(IDC_MULTICAST, IDC_UNICAST), IDC_UNICAST);
    EXPECT_EQ(dlg->GetCheckedRadioButton(IDC_AUTO_IP, IDC_STATIC), IDC_STATIC);
    EXPECT_EQ(dlg->Combo(IDC_CHANNEL)->GetLBText(dlg->Combo(IDC_CHANNEL)->GetCurSel()), "0007");
    EXPECT_EQ(dlg->IpAddress(IDC_SUBNET_MASK)->AddressText(), "255.255.255.0");
    EXPECT_EQ(dlg->IpAddress(IDC_IP_ADDRESS)->AddressText(), "198.18.2.1");
    EXPECT_TRUE(dlg->IsWindowEnabled(IDC_HOSTNAME_ID));
    EXPECT_FALSE(dlg->IsWindowEnabled(IDC_APPLY)) << "until the selection wait ends";
}

// The workstation namespace of the test LAN is this test's own, so a shell
// of its own can listen on loopback port 24 and say, at the end of each
// pause, what had been sent before it.
TEST(DetailQueryLan, PausesTwentyBeforeTheLoginAndTheChannelQueryAndNoneBeforeTheOtherTwo)
{
    testing_support::LoopbackListener shell(kShellPort);
    ASSERT_TRUE(shell.Bound()) << "port 24 on loopback inside the test LAN";
    auto dlg = MakeMainWindow();
    dlg->List(IDC_RX_LIST)->InsertItem(0, "127.0.0.1");
    int peer = -1;
    using Pause = std::pair<unsigned, std::string>;
    std::vector<Pause> log;
    {
        RecordedSleeps sleeps([&](unsigned ms) {
            if (peer < 0)
                peer = shell.Accept();  // the connection is up after the first pause
            log.emplace_back(ms, testing_support::ReadAvailable(peer));
        });
        DetailQuery(*dlg, false, 0);
    }
    ASSERT_GE(peer, 0);
    EXPECT_EQ(log, (std::vector<Pause>{{20, ""}, {20, "root\r\n"}}));
    EXPECT_EQ(testing_support::ReadAvailable(peer, 200),
              "lmparam g CH_SELECT_V\r\ncat /etc/version\r\nlmparam dump\r\n");
    ::close(peer);
}

TEST_F(ScanLan, ScanWhileASessionIsStillAnsweringClosesIt)
{
    Start({"--tx", "1", "--rx", "1", "--fault", "chunk=4:40@198.18.2.1"});
    Scan(*dlg);
    ASSERT_TRUE(ListsFilled(1, 1));
    DetailQuery(*dlg, false, 0);
    testing_support::PumpEvents(100);
    ASSERT_FALSE(dlg->m_transcript.contains(u"IS_HOST"));
    Scan(*dlg);
    EXPECT_EQ(dlg->m_bDetailMode, 0);
    ASSERT_TRUE(ListsFilled(1, 1));
    testing_support::PumpEvents(500);
    EXPECT_FALSE(dlg->m_transcript.contains(u"lmparam")) << "late text of the closed session arrived";
    EXPECT_EQ(dlg->GetDlgItemText(IDC_HOSTNAME_ID), "");
    EXPECT_TRUE(sim->waitForEvent("198.18.2.1", "disconnect"));
}

TEST(DiscoveryFailure, EndsTheProgramWhenTheReplyPortIsHeldWithoutAddressReuse)
{
    const int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(3334);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    CMyAsyncSocket socket;
    EXPECT_EXIT(Discover(socket, nullptr), ::testing::ExitedWithCode(1), "^bind: UDP port 3334 is held by .*\n$");
    ::close(holder);
}
