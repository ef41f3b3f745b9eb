// The workstation's side of the network, on loopback: the address rules
// with a resolver of the test's choosing, a TFTP server that answers in
// each way a real one can, and shells that keep or drop a connection.
#include "lan/Interfaces.h"
#include "lan/PortOwners.h"
#include "lan/Reach.h"
#include "lan/Tftp.h"
#include "lan/Workstation.h"
#include "lan/WorkstationLock.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <memory>
#include <functional>
#include <thread>

using namespace std::chrono_literals;
using namespace cv::lan;

namespace {

HostInfo Resolver(std::string name, std::vector<ResolvedAddress> answer, std::vector<std::string>* asked = nullptr)
{
    HostInfo info;
    info.hostName = [name](char* buf, std::size_t len) {
        std::memset(buf, 0, len);
        if (name.size() + 1 > len)
            return -1;
        std::memcpy(buf, name.data(), name.size());
        return 0;
    };
    info.resolve = [answer, asked](const std::string& n, int, int) {
        if (asked)
            asked->push_back(n);
        return answer;
    };
    return info;
}

std::string LastCard()
{
    const std::vector<std::string> cards = UpInterfaceAddresses();
    return cards.empty() ? std::string() : cards.back();
}

}  // namespace

TEST(AddressText, OnlyDottedIpv4IsAcceptedAndLoopbackIsTheWholeOfOneTwoSeven)
{
    EXPECT_EQ(CanonicalIpv4("198.18.0.1"), "198.18.0.1");
    EXPECT_EQ(CanonicalIpv4("198.18.0.1 -c get x"), "");
    EXPECT_EQ(CanonicalIpv4("1.2.3.4.5"), "");
    EXPECT_EQ(CanonicalIpv4("fe80::1"), "");
    EXPECT_EQ(CanonicalIpv4(""), "");
    EXPECT_TRUE(IsLoopbackAddress("127.0.1.1"));
    EXPECT_TRUE(IsLoopbackAddress("127.255.255.254"));
    EXPECT_FALSE(IsLoopbackAddress("128.0.0.1"));
    EXPECT_FALSE(IsLoopbackAddress("10.127.0.1"));
    EXPECT_FALSE(IsLoopbackAddress("localhost"));
}

TEST(AddressRules, TheSessionsAddressAloneCountsWhenThereIsOne)
{
    std::vector<std::string> asked;
    const HostInfo host = Resolver("ws", {{AF_INET, "10.0.0.5"}}, &asked);
    EXPECT_EQ(UpgradeAddressCandidates("198.18.0.1", host), std::vector<std::string>{"198.18.0.1"});
    EXPECT_TRUE(asked.empty());
    // A session address that is not an address is no session address.
    EXPECT_EQ(UpgradeAddressCandidates("garbage", host), std::vector<std::string>{"10.0.0.5"});
}

TEST(AddressRules, ResolverAnswersKeepTheirOrderWithoutLoopbackOrOtherFamilies)
{
    const HostInfo host = Resolver("ws",
                                   {{AF_INET, "127.0.1.1"},
                                    {AF_INET, "10.0.0.5"},
                                    {AF_INET6, "fd00::1"},
                                    {AF_INET, "198.18.0.1"},
                                    {AF_INET, "127.0.0.1"}});
    EXPECT_EQ(UpgradeAddressCandidates("", host), (std::vector<std::string>{"10.0.0.5", "198.18.0.1"}));
    EXPECT_EQ(CaptionAddress(host), "198.18.0.1");
}

TEST(AddressRules, OnlyLoopbackOrNothingFromTheResolverFallsBackToTheCards)
{
    for (const auto& answer : std::vector<std::vector<ResolvedAddress>>{{}, {{AF_INET, "127.0.1.1"}}}) {
        const HostInfo host = Resolver("ws", answer);
        EXPECT_EQ(UpgradeAddressCandidates("", host), UpInterfaceAddresses());
        EXPECT_EQ(CaptionAddress(host), LastCard());
    }
    for (const std::string& card : UpInterfaceAddresses())
        EXPECT_FALSE(IsLoopbackAddress(card)) << card;
}

TEST(AddressRules, TheCaptionReadsTheNameIntoTwentyBytesAndUpgradeIntoFifty)
{
    std::vector<std::string> asked;
    const HostInfo longName = Resolver(std::string(30, 'n'), {{AF_INET, "10.0.0.5"}}, &asked);
    CaptionAddress(longName);
    UpgradeAddressCandidates("", longName);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0], "") << "does not fit 20 bytes with its zero";
    EXPECT_EQ(asked[1], std::string(30, 'n'));
}

// --- TFTP check ---------------------------------------------------------------

namespace {

// One UDP "server" on loopback that answers a read request with what the
// test gives it, from a port of its own as real servers do.
class FakeTftp {
public:
    using Answer = std::function<std::string(const std::string& request)>;
    explicit FakeTftp(Answer answer) : answer_(std::move(answer))
    {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t n = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~FakeTftp()
    {
        Finish();
        ::close(fd_);
    }
    // Waits until the server has seen what follows its answer.
    void Finish()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    unsigned short Port() const { return port_; }
    std::string request, afterwards;

private:
    void Serve()
    {
        char buf[1024];
        pollfd p{fd_, POLLIN, 0};
        while (!stop_ && ::poll(&p, 1, 50) == 0) { }
        if (stop_)
            return;
        sockaddr_in from{};
        socklen_t n = sizeof from;
        const ssize_t got = ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &n);
        request.assign(buf, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        const std::string reply = answer_(request);
        if (reply.empty())
            return;
        const int tid = ::socket(AF_INET, SOCK_DGRAM, 0);
        ::sendto(tid, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
        pollfd q{tid, POLLIN, 0};
        if (reply[1] == 3 && ::poll(&q, 1, 2000) == 1) {
            const ssize_t m = ::recv(tid, buf, sizeof buf, 0);
            afterwards.assign(buf, static_cast<std::size_t>(std::max<ssize_t>(m, 0)));
        }
        ::close(tid);
    }

    Answer answer_;
    int fd_ = -1;
    unsigned short port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::string Packet(std::initializer_list<int> head, const std::string& tail = {})
{
    std::string p;
    for (int b : head)
        p.push_back(static_cast<char>(b));
    return p + tail;
}

}  // namespace

TEST(TftpCheck, AsksForTheFileInOctetModeAndStopsTheTransferAfterTheFirstBlock)
{
    FakeTftp server([](const std::string&) { return Packet({0, 3, 0, 1}, std::string(512, 'x')); });
    const TftpProbeResult r = ProbeTftp("127.0.0.1", "webfwc.bin", 2s, server.Port());
    server.Finish();
    EXPECT_EQ(r.status, TftpProbeStatus::Served);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(server.request, std::string("\0\1webfwc.bin\0octet\0", 19));
    ASSERT_GE(server.afterwards.size(), 4u);
    EXPECT_EQ(server.afterwards.substr(0, 2), std::string("\0\5", 2)) << "an error packet ends the transfer";
}

TEST(TftpCheck, ErrorPacketsSayWhatTheServerRefused)
{
    struct Case {
        int code;
        TftpProbeStatus status;
    };
    for (const Case c : {Case{1, TftpProbeStatus::FileNotFound}, Case{2, TftpProbeStatus::AccessViolation},
                         Case{0, TftpProbeStatus::OtherError}}) {
        FakeTftp server([&](const std::string&) {
            return Packet({0, 5, 0, c.code}, std::string("File not found\0", 15));
        });
        const TftpProbeResult r = ProbeTftp("127.0.0.1", "webfwh.bin", 2s, server.Port());
        EXPECT_EQ(r.status, c.status) << c.code;
        EXPECT_EQ(r.message, "File not found");
    }
    // An error text the server forgot to end is read only to the packet's end.
    FakeTftp unterminated([](const std::string&) { return Packet({0, 5, 0, 1}, "gone"); });
    EXPECT_EQ(ProbeTftp("127.0.0.1", "f", 2s, unterminated.Port()).message, "gone");
}

TEST(TftpCheck, SilenceEndsAtTheTimeOutAndNonsenseIsNotAnAnswer)
{
    for (const std::string& reply :
         {std::string(), Packet({0, 3}), Packet({0, 3, 0, 2}, "late block"), Packet({0, 9, 0, 0})}) {
        FakeTftp server([&](const std::string&) { return reply; });
        const auto start = std::chrono::steady_clock::now();
        const TftpProbeResult r = ProbeTftp("127.0.0.1", "webfwc.bin", 300ms, server.Port());
        EXPECT_EQ(r.status, TftpProbeStatus::NoAnswer) << reply.size();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 10s) << "it ends";
    }
    EXPECT_EQ(ProbeTftp("", "webfwc.bin", 300ms).status, TftpProbeStatus::LocalFailure) << "no address, nothing sent";
}

// --- Reachability -----------------------------------------------------------

namespace {
class Shell {
public:
    // port 0: any free port.
    explicit Shell(unsigned short port = 0)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 4);
        socklen_t n = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
        port_ = ntohs(a.sin_port);
    }
    ~Shell() { ::close(fd_); }
    unsigned short Port() const { return port_; }
    // Accepts in the background and does `what` with the connection.
    std::thread Serve(std::function<void(int)> what)
    {
        return std::thread([this, what] {
            const int c = ::accept(fd_, nullptr, nullptr);
            what(c);
            ::close(c);
        });
    }
    // Takes every connection and drops it at once, until `stop`.
    std::thread DropAll(const std::atomic<bool>& stop)
    {
        return std::thread([this, &stop] {
            while (!stop) {
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, 20) > 0)
                    ::close(::accept(fd_, nullptr, nullptr));
            }
        });
    }

private:
    int fd_ = -1;
    unsigned short port_ = 0;
};

// A loopback port nobody listens on (for now).
unsigned short FreePort()
{
    Shell s;
    return s.Port();
}

using Clock = std::chrono::steady_clock;
}  // namespace

TEST(Reach, AShellThatKeepsTheConnectionOrGreetsIsBack)
{
    Shell keeps;
    std::thread t = keeps.Serve([](int) { std::this_thread::sleep_for(1500ms); });
    EXPECT_TRUE(CanConnect("127.0.0.1", keeps.Port(), 5s));
    t.join();

    Shell greets;
    std::thread g = greets.Serve([](int c) {
        (void)!::write(c, "/ # ", 4);
        std::this_thread::sleep_for(300ms);
    });
    EXPECT_TRUE(CanConnect("127.0.0.1", greets.Port(), 5s));
    g.join();
}

TEST(Reach, ATakenAndDroppedConnectionARefusalOrNoAddressIsNotBack)
{
    Shell drops;
    std::atomic<bool> stop{false};
    std::thread t = drops.DropAll(stop);
    EXPECT_FALSE(CanConnect("127.0.0.1", drops.Port(), 2s)) << "a shell still starting takes and drops it";
    stop = true;
    t.join();

    EXPECT_FALSE(CanConnect("127.0.0.1", FreePort(), 1s));
    EXPECT_FALSE(CanConnect("not an address", 24, 5s));

    ConnectProbe probe;
    EXPECT_FALSE(probe.Start("", 24));
    EXPECT_EQ(probe.Check(), ConnectProbe::State::Failed);
}

TEST(Reach, AShellThatRefusesForTheFirstSecondAndAHalfThenAnswersIsBack)
{
    const unsigned short port = FreePort();
    std::unique_ptr<Shell> late;
    std::thread answer;
    std::thread opens([&] {
        std::this_thread::sleep_for(1500ms);
        late = std::make_unique<Shell>(port);
        answer = late->Serve([](int c) {
            (void)!::write(c, "\r\nast login: ", 13);
            std::this_thread::sleep_for(300ms);
        });
    });
    const auto start = Clock::now();
    ConnectProbe probe;
    ASSERT_TRUE(probe.Start("127.0.0.1", port));
    while (probe.Check() == ConnectProbe::State::Pending)
        std::this_thread::sleep_for(10ms);
    const auto took = Clock::now() - start;
    opens.join();
    answer.join();
    EXPECT_EQ(probe.state(), ConnectProbe::State::Connected);
    EXPECT_GE(took, 1400ms) << "it was refused until the shell started";
    EXPECT_GT(probe.attempts(), 2) << "refusals are tried again";
    std::printf("refused for 1.5 s, back after %lld ms, %d attempts\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()),
                probe.attempts());
}

TEST(Reach, AShellThatNeverAnswersEndsAtTheDeadline)
{
    const unsigned short port = FreePort();
    const auto start = Clock::now();
    ConnectProbe probe;
    ASSERT_TRUE(probe.Start("127.0.0.1", port));
    while (probe.Check() == ConnectProbe::State::Pending)
        std::this_thread::sleep_for(10ms);
    const auto took = Clock::now() - start;
    EXPECT_EQ(probe.state(), ConnectProbe::State::Failed);
    EXPECT_GE(took, ConnectProbe::kDefaultWithin) << "tried until the deadline";
    EXPECT_LT(took, 30s) << "and no longer";
    EXPECT_GE(probe.attempts(), 5) << "about every 250 ms";
    std::printf("never answered: failed after %lld ms, %d attempts\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()),
                probe.attempts());
}

// --- the workstation-wide lock ---------------------------------------------------

TEST(WorkstationLock, ASecondTakerIsToldWhoHoldsItAndGetsItOnceTheHolderLetsGo)
{
    const std::string name = "cortavia-test/" + std::to_string(::getpid()) + "/a";
    auto first = WorkstationLock::TryTake(name);
    ASSERT_TRUE(first);
    auto second = WorkstationLock::TryTake(name);
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().why, LockBusy::Why::Held);
    EXPECT_EQ(second.error().holder, ::getpid());
    EXPECT_EQ(LockHolder(name), ::getpid());
    EXPECT_NE(DescribeProcess(::getpid()).find("(pid " + std::to_string(::getpid()) + ")"), std::string::npos);

    WorkstationLock moved = std::move(*first);
    EXPECT_FALSE(WorkstationLock::TryTake(name));
    moved.Release();
    EXPECT_TRUE(WorkstationLock::TryTake(name));
    EXPECT_EQ(LockHolder(name), 0);
}

TEST(WorkstationLock, AWaiterIsToldOnceAndGivesUpAtItsPatienceOrWhenCancelled)
{
    const std::string name = "cortavia-test/" + std::to_string(::getpid()) + "/b";
    auto held = WorkstationLock::TryTake(name);
    ASSERT_TRUE(held);
    int told = 0;
    WorkstationLock::Wait wait;
    wait.patience = 200ms;
    wait.notice = 50ms;
    wait.waiting = [&](pid_t holder) {
        ++told;
        EXPECT_EQ(holder, ::getpid());
    };
    auto late = WorkstationLock::Take(name, wait);
    ASSERT_FALSE(late);
    EXPECT_EQ(late.error().why, LockBusy::Why::TimedOut);
    EXPECT_EQ(told, 1);

    wait.patience = 10s;
    wait.cancelled = [] { return true; };
    auto cancelled = WorkstationLock::Take(name, wait);
    ASSERT_FALSE(cancelled);
    EXPECT_EQ(cancelled.error().why, LockBusy::Why::Cancelled);
}

TEST(WorkstationLock, TheLockOfAProcessKilledWhileHoldingItIsFreeAtOnce)
{
    const std::string name = "cortavia-test/" + std::to_string(::getpid()) + "/c";
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto lock = WorkstationLock::TryTake(name);
        (void)!::write(ready[1], lock ? "y" : "n", 1);
        ::pause();
        ::_exit(0);
    }
    char answer = 0;
    ASSERT_EQ(::read(ready[0], &answer, 1), 1);
    ASSERT_EQ(answer, 'y');
    auto busy = WorkstationLock::TryTake(name);
    ASSERT_FALSE(busy);
    EXPECT_EQ(busy.error().holder, child);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    WorkstationLock::Wait wait;
    wait.patience = 5s;
    EXPECT_TRUE(WorkstationLock::Take(name, wait));
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST(PortOwners, TheKernelsUdpTableIsReadForPortAndInodeAndNothingElse)
{
    const std::string table =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode ref pointer "
        "drops\n"
        "  412: 00000000:0D06 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        0 81234 2 "
        "0000000000000000 0\n"
        " 1042: 0100007F:0035 00000000:0000 07 00000000:00000000 00:00000000 00000000   101        0 555 2 "
        "0000000000000000 0\n"
        "  13: 00000000000000000000000000000000:0D06 00000000000000000000000000000000:0000 07 00000000:00000000 "
        "00:00000000 00000000 0 0 777 2 0 0\n"
        "garbage line\n"
        "  9: 00000000:ZZZZ 00000000:0000 07 00000000:00000000 00:00000000 00000000 0 0 1 2 0 0";
    const auto rows = ParseUdpTable(table);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].port, 3334);
    EXPECT_EQ(rows[0].inode, 81234u);
    EXPECT_EQ(rows[1].port, 53);
    EXPECT_EQ(rows[2].port, 3334);
    EXPECT_EQ(rows[2].inode, 777u);
    EXPECT_TRUE(ParseUdpTable("").empty());
}

TEST(PortOwners, ASocketThisProcessBoundIsFoundWithItsOwner)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    socklen_t length = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    const auto found = UdpSocketsOnPort(ntohs(local.sin_port));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(SocketOwner(found[0].inode), ::getpid());
    ::close(fd);
}
