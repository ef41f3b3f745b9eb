// An integrator's workstation: the office card holds the default route,
// the endpoints sit behind the AV card. Real resolver, real cards.
#include "SimProcess.h"
#include "device/Device.h"
#include "lan/Discovery.h"
#include "lan/Interfaces.h"
#include "tests/support/FieldLan.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>

#include <cstdlib>

using cv::sim::SimProcess;
using namespace testing_support;

namespace {

// Counts the discovery queries that reach the office network, from inside
// its namespace, for as long as it lives.
class OfficeListener {
public:
    OfficeListener()
    {
        int ready[2];
        if (::pipe(fds_) != 0 || ::pipe(ready) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(fds_[0]);
            ::close(ready[0]);
            _exit(Listen(fds_[1], ready[1]));
        }
        ::close(fds_[1]);
        ::close(ready[1]);
        char ok = 0;
        ready_ = ::read(ready[0], &ok, 1) == 1 && ok == 'y';
        ::close(ready[0]);
    }
    ~OfficeListener()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(fds_[0]);
    }
    bool Ready() const { return ready_; }
    // Queries seen so far (each one reported as one byte on the pipe).
    int Queries()
    {
        char buf[64];
        pollfd p{fds_[0], POLLIN, 0};
        while (::poll(&p, 1, 200) == 1) {
            const ssize_t n = ::read(fds_[0], buf, sizeof buf);
            if (n <= 0)
                break;
            seen_ += static_cast<int>(n);
        }
        return seen_;
    }

private:
    static int Listen(int report, int ready)
    {
        const char* ns = std::getenv("CV_OFFICE_NS");
        const int nsFd = ns ? ::open((std::string("/var/run/netns/") + ns).c_str(), O_RDONLY) : -1;
        if (nsFd < 0 || ::setns(nsFd, CLONE_NEWNET) != 0)
            return 1;
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(3333);
        ip_mreqn group{};
        ::inet_pton(AF_INET, "225.1.0.0", &group.imr_multiaddr);
        ::inet_pton(AF_INET, "198.19.0.2", &group.imr_address);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
            ::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group) != 0)
            return 1;
        (void)!::write(ready, "y", 1);
        char buf[2048];
        for (;;) {
            if (::recv(fd, buf, sizeof buf, 0) >= 0)
                (void)!::write(report, "q", 1);
        }
    }

    int fds_[2] = {-1, -1};
    pid_t pid_ = -1;
    bool ready_ = false;
    int seen_ = 0;
};

std::size_t QueriesIn(const std::string& discoveryLog)
{
    std::size_t n = 0;
    for (std::size_t at = discoveryLog.find("bytes="); at != std::string::npos;
         at = discoveryLog.find("bytes=", at + 1))
        ++n;
    return n;
}

class TwoCards : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_STREQ(std::getenv("CV_TOPOLOGY"), "two-cards") << "run through scripts/testlan.sh --two-cards";
    }
    void Start(std::vector<std::string> args)
    {
        sim = std::make_unique<SimProcess>(std::move(args));
        ASSERT_TRUE(sim->start()) << sim->error();
        dlg = MakeMainWindow();
    }

    ScriptedMessageBoxes boxes;
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<CMyCortaviaDlg> dlg;
};

}  // namespace

TEST_F(TwoCards, WithoutChoosingACardTheQueryWouldLeaveOnTheOfficeCardOnly)
{
    // The premise, checked: the routing table alone sends multicast to the
    // office, where no endpoint lives.
    OfficeListener office;
    ASSERT_TRUE(office.Ready());
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(3333);
    ::inet_pton(AF_INET, "225.1.0.0", &group.sin_addr);
    const char query[8] = {};
    ::sendto(fd, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&group), sizeof group);
    ::close(fd);
    EXPECT_EQ(office.Queries(), 1);
}

TEST_F(TwoCards, ScanSendsOneQueryOnEachCardAndFindsTheEndpointsBehindTheAvCard)
{
    OfficeListener office;
    ASSERT_TRUE(office.Ready());
    Start({"--tx", "2", "--rx", "3"});
    Scan(*dlg);
    EXPECT_TRUE(boxes.Shown().empty()) << (boxes.Shown().empty() ? "" : boxes.Texts()[0].toStdString());
    ASSERT_TRUE(PumpUntil([&] { return dlg->List(IDC_RX_LIST)->GetItemCount() == 3; }));
    EXPECT_EQ(dlg->List(IDC_TX_LIST)->GetItemCount(), 2);
    EXPECT_EQ(QueriesIn(sim->discoveryLog()), 1u) << sim->discoveryLog();
    EXPECT_EQ(office.Queries(), 1) << "the office card gets its one query too";
    std::printf("[ figure ] two cards: %zu query on the AV card, %d on the office card\n",
                QueriesIn(sim->discoveryLog()), office.Queries());
}

TEST_F(TwoCards, DiscoveryOnANamedCardSendsOnlyThere)
{
    OfficeListener office;
    ASSERT_TRUE(office.Ready());
    Start({"--tx", "1", "--rx", "1"});
    std::string av;
    for (const cv::lan::Ipv4Interface& card : cv::lan::MulticastInterfaces())
        if (card.address == "198.18.0.1")
            av = card.name;
    ASSERT_FALSE(av.empty());
    cv::lan::DiscoveryOptions options;
    options.interfaces = {av, "no-such-card"};
    const cv::lan::DiscoveryResult result = cv::lan::Discover(options);
    EXPECT_EQ(result.sentOn, std::vector<std::string>{av});
    EXPECT_EQ(result.unknownInterfaces, std::vector<std::string>{"no-such-card"});
    EXPECT_EQ(result.lastResponder(), "198.18.2.1");
    EXPECT_EQ(office.Queries(), 0);
}

TEST_F(TwoCards, UpgradeTellsTheEndpointTheAddressOfTheCardThatFacesIt)
{
    TftpServer server("198.18.0.1");
    server.Put("webfwc.bin", "firmware");
    ASSERT_TRUE(server.Start());
    Start({"--node", "rx ip=198.18.2.1 channel=0001"});
    // The caption can name only one card; it is one of the two, never loopback.
    const QString caption = dlg->windowTitle();
    EXPECT_TRUE(caption.endsWith("198.18.0.1") || caption.endsWith("198.19.0.1")) << caption.toStdString();

    SelectEndpoint(*dlg, *sim, false, "198.18.2.1");
    boxes.Clear();
    ::testing::internal::CaptureStdout();
    Upgrade(*dlg);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "198.18.0.1\n");
    dlg->SetTimer(TIMER_UPGRADE, 3600 * 1000);
    const std::string lines = UpgradeLines("198.18.0.1", "webfwc.bin");
    ASSERT_TRUE(PumpUntil([&] { return sim->wireBytes("198.18.2.1").size() >= kDetailLines.size() + lines.size(); }));
    EXPECT_EQ(sim->wireBytes("198.18.2.1").substr(kDetailLines.size()), lines);
    EXPECT_TRUE(boxes.Shown().empty());
}
