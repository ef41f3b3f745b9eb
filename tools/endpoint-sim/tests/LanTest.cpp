// The simulator in the test LAN: started in the endpoints namespace by the
// harness, driven from the workstation namespace this binary runs in.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "SimProcess.h"

using namespace std::chrono_literals;
using namespace std::string_literals;
using cv::sim::SimProcess;

namespace {

using Clock = std::chrono::steady_clock;

class Tcp {
public:
    explicit Tcp(const std::string& ip, uint16_t port = 24)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Tcp() { ::close(fd_); }
    bool connected() const { return connected_; }
    void send(const std::string& bytes)
    {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), (ssize_t)bytes.size());
    }
    // Reads until `marker` is in the text, the peer closes, or time runs out.
    // The default is a bound for "it never comes", not a speed.
    std::string readUntil(const std::string& marker, std::chrono::milliseconds timeout = 30s)
    {
        auto deadline = Clock::now() + timeout;
        while (text_.find(marker) == std::string::npos && !closed_) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0)
                continue;
            char buf[4096];
            ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) {
                closed_ = true;
                break;
            }
            reads_.push_back(static_cast<size_t>(n));
            text_.append(buf, static_cast<size_t>(n));
        }
        return text_;
    }
    bool closed() const { return closed_; }
    const std::vector<size_t>& readSizes() const { return reads_; }

private:
    int fd_ = -1;
    bool connected_ = false;
    bool closed_ = false;
    std::string text_;
    std::vector<size_t> reads_;
};

// One discovery query as the tool sends it; the source address of every
// answer. Waits long for the expected number (a loaded machine may pause the
// simulator between answers), then briefly for any surplus.
std::vector<std::string> discover(size_t expected)
{
    int rx = ::socket(AF_INET, SOCK_DGRAM, 0);
    int one = 1;
    ::setsockopt(rx, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(3334);
    ::bind(rx, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int tx = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in g{};
    g.sin_family = AF_INET;
    g.sin_port = htons(3333);
    inet_pton(AF_INET, "225.1.0.0", &g.sin_addr);
    char query[8] = {};
    ::sendto(tx, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&g), sizeof g);
    std::vector<std::string> from;
    pollfd p{rx, POLLIN, 0};
    while (::poll(&p, 1, from.size() >= expected ? 500 : 20000) > 0) {
        char buf[1024];
        sockaddr_in src{};
        socklen_t len = sizeof src;
        if (::recvfrom(rx, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&src), &len) < 0)
            break;
        char ip[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &src.sin_addr, ip, sizeof ip);
        from.push_back(ip);
    }
    ::close(rx);
    ::close(tx);
    return from;
}

void requireTestLan()
{
    if (SimProcess::lanNamespace().empty())
        FAIL() << "CV_LAN_NS is not set: run through scripts/testlan.sh";
}

}  // namespace

TEST(SimInTestLan, AnswersDiscoveryFromEveryEndpointAddressExceptSilencedOnes)
{
    requireTestLan();
    SimProcess sim({"--tx", "2", "--rx", "252", "--fault", "no-discovery@198.18.2.2"});
    ASSERT_TRUE(sim.start()) << sim.error();
    auto from = discover(253);
    std::set<std::string> unique(from.begin(), from.end());
    EXPECT_EQ(from.size(), 253u);
    EXPECT_EQ(unique.size(), 253u);
    EXPECT_TRUE(unique.count("198.18.1.2"));
    EXPECT_TRUE(unique.count("198.18.3.2"));  // receiver 252 spilled into the next /24
    EXPECT_FALSE(unique.count("198.18.2.2"));
    EXPECT_NE(sim.discoveryLog().find("query from 198.18.0.1:"), std::string::npos);
}

TEST(SimInTestLan, ShellSessionKeepsSavedSettingsAcrossARebootAndLogsEveryByte)
{
    requireTestLan();
    // The endpoint stays down long enough for the connection right after
    // the reboot to find it down even when this process is slow to get there.
    SimProcess sim({"--tx", "1", "--rx", "1", "--reboot-delay", "5000"});
    ASSERT_TRUE(sim.start()) << sim.error();

    const std::string sent = "root\r\nnode_query --dump\r\nastparam s multicast_on n\r\n\0astparam save\r\n"s;
    {
        Tcp c("198.18.2.1");
        ASSERT_TRUE(c.connected());
        // Several lines in one send, then one line split over two sends.
        c.send(sent);
        c.send("lmparam du");
        std::this_thread::sleep_for(50ms);
        c.send("mp\r\n");
        std::string out = c.readUntil("IS_HOST=n\r\n/ ");
        EXPECT_NE(out.find("HOSTNAME=ast-clientrx-001\r\nMY_IP=198.18.2.1\r\n"), std::string::npos);
        EXPECT_NE(out.find("<<<<<<<<<<\r\n/ # "), std::string::npos);
        EXPECT_NE(out.find("lmparam dump\r\n"), std::string::npos);
        EXPECT_NE(out.find("MULTICAST_ON=n\r\n"), std::string::npos);
        // astparam s without save, then reboot: only the saved value survives.
        c.send("astparam s ip_mode dhcp\r\nreboot\r\n\0"s);
        c.readUntil("never");
        EXPECT_TRUE(c.closed());
    }
    EXPECT_FALSE(Tcp("198.18.2.1").readUntil("login", 500ms).find("login") != std::string::npos);
    ASSERT_TRUE(sim.waitForEvent("198.18.2.1", "\nup\n", 60s));
    Tcp again("198.18.2.1");
    ASSERT_TRUE(again.connected());
    again.send("root\r\nlmparam dump\r\n");
    std::string out = again.readUntil("IS_HOST=n\r\n/ ");
    EXPECT_NE(out.find("MULTICAST_ON=n\r\n"), std::string::npos);
    EXPECT_NE(out.find("IP_MODE=autoip\r\n"), std::string::npos);

    auto conns = sim.connectionBytes("198.18.2.1");
    ASSERT_GE(conns.size(), 2u);
    EXPECT_EQ(conns[0], sent + "lmparam dump\r\nastparam s ip_mode dhcp\r\nreboot\r\n\0"s);
    EXPECT_EQ(conns.back(), "root\r\nlmparam dump\r\n");
    EXPECT_NE(sim.events("198.18.2.1").find("refused_rebooting"), std::string::npos);
}

TEST(SimInTestLan, ASavedStaticAddressMovesTheEndpointThereAtItsNextBoot)
{
    requireTestLan();
    SimProcess sim({"--rx", "2", "--tx", "0", "--reboot-delay", "200"});
    ASSERT_TRUE(sim.start()) << sim.error();
    {
        Tcp c("198.18.2.1");
        ASSERT_TRUE(c.connected());
        // Another endpoint's address and one outside the range never move it.
        c.send("root\r\nastparam s ipaddr 198.18.2.2\r\nastparam s ip_mode static\r\nastparam save\r\nreboot\r\n\0"s);
        c.readUntil("never");
    }
    ASSERT_TRUE(sim.waitForEvent("198.18.2.1", "\nup\n", 60s));
    {
        Tcp c("198.18.2.1");
        ASSERT_TRUE(c.connected()) << "still at its address";
        c.send("root\r\nastparam s ipaddr 198.18.7.9\r\nastparam save\r\nreboot\r\n\0"s);
        c.readUntil("never");
    }
    ASSERT_TRUE(sim.waitForEvent("198.18.7.9", "\nup\n", 60s)) << sim.events("198.18.2.1");
    EXPECT_NE(sim.events("198.18.2.1").find("moved to 198.18.7.9"), std::string::npos);
    EXPECT_EQ(Tcp("198.18.2.1").readUntil("login", 500ms).find("login"), std::string::npos)
        << "no shell answers at the old address";
    Tcp moved("198.18.7.9");
    ASSERT_TRUE(moved.connected());
    moved.send("root\r\nlmparam dump\r\n");
    EXPECT_NE(moved.readUntil("IS_HOST=n\r\n/ ").find("MY_IP=198.18.7.9\r\n"), std::string::npos);
    EXPECT_EQ(sim.wireBytes("198.18.7.9"), "root\r\nlmparam dump\r\n");
}

TEST(SimInTestLan, InjectedFaultsShowOnTheWire)
{
    requireTestLan();
    SimProcess sim({"--tx", "4", "--rx", "0", "--fault", "chunk=7:40@198.18.1.1", "--fault", "cut-dump=40@198.18.1.2",
                    "--fault", "refuse@198.18.1.3", "--fault", "silent@198.18.1.4"});
    ASSERT_TRUE(sim.start()) << sim.error();

    Tcp slow("198.18.1.1");
    const auto asked = Clock::now();
    slow.send("root\r\ncat /etc/version\r\n");
    std::string out = slow.readUntil("initrd2m: A7.3.1\r\n/ # ");
    const auto took = Clock::now() - asked;
    EXPECT_NE(out.find("initrd2m: A7.3.1\r\n/ # "), std::string::npos);
    // Pieces of 7 bytes 40 ms apart. A reader that is late on a loaded
    // machine finds several in one read, so the sizes of the reads prove
    // little; the pauses between the pieces can only grow, never shrink,
    // but the simulator keeps whole milliseconds, so each may lose up to one.
    const auto pieces = static_cast<long>((out.size() + 6) / 7);
    EXPECT_GE(took, std::chrono::milliseconds(39 * (pieces - 1))) << out.size() << " bytes";
    EXPECT_GT(slow.readSizes().size(), 1u);

    Tcp cut("198.18.1.2");
    cut.send("root\r\nnode_query --dump\r\n");
    out = cut.readUntil("<<<<<<<<<<");
    EXPECT_TRUE(cut.closed());
    EXPECT_EQ(out.find("<<<<<<<<<<"), std::string::npos);

    Tcp refused("198.18.1.3");
    refused.readUntil("login");
    EXPECT_TRUE(refused.closed());

    Tcp silent("198.18.1.4");
    silent.send("root\r\n");
    EXPECT_EQ(silent.readUntil("/", 500ms), "");
    EXPECT_TRUE(sim.waitForWire("198.18.1.4", "root\r\n"));
}

TEST(SimInTestLan, RealTftpClientFetchesFromTheWorkstationAndReportsMissingFiles)
{
    requireTestLan();
    namespace fs = std::filesystem;
    fs::path root = fs::temp_directory_path() / ("cv-tftp-" + std::to_string(::getpid()));
    fs::create_directories(root);
    std::ofstream(root / "webfwc.bin") << "firmware for receivers\n";
    pid_t tftpd = ::fork();
    if (tftpd == 0) {
        ::execl("/usr/sbin/in.tftpd", "in.tftpd", "-L", "--address", "198.18.0.1:69", "-s", root.c_str(),
                static_cast<char*>(nullptr));
        _exit(127);
    }
    // Until the server's socket is bound (port 69 is 0045 in /proc/net/udp),
    // rather than a guessed pause.
    const auto bound = [] {
        std::ifstream udp("/proc/net/udp");
        std::string line;
        while (std::getline(udp, line))
            if (line.find(":0045 ") != std::string::npos)
                return true;
        return false;
    };
    for (auto until = Clock::now() + 30s; !bound() && Clock::now() < until;)
        std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(bound()) << "in.tftpd did not start";

    SimProcess sim({"--tx", "1", "--rx", "1"});
    ASSERT_TRUE(sim.start()) << sim.error();
    Tcp rx("198.18.2.1");
    rx.send("root\r\ncd /dev/shm\r\ntftp -v 198.18.0.1 -c get webfwc.bin\r\nrm -f mtdblk*\r\nrm -f *.sh\r\n"
            "mv webfwc.bin fw.tar.gz\r\n/usr/local/bin/update_fw.sh\r\n");
    std::string out = rx.readUntil("Update done.\r\n/ # ", 60s);
    EXPECT_NE(out.find("Update done."), std::string::npos) << out;
    EXPECT_NE(sim.events("198.18.2.1").find("update_fw fw.tar.gz bytes=23"), std::string::npos);

    Tcp tx("198.18.1.1");
    tx.send("root\r\ncd /dev/shm\r\ntftp -v 198.18.0.1 -c get webfwh.bin\r\n");
    out = tx.readUntil("File not found", 60s);
    EXPECT_NE(out.find("File not found"), std::string::npos) << out;

    ::kill(tftpd, SIGTERM);
    ::waitpid(tftpd, nullptr, 0);
    fs::remove_all(root);
}
