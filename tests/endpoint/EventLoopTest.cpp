// The core driven as an event loop drives it: a non-blocking socket from
// lan/, polled with zero time-outs, bytes fed as they come, the
// conversation's timer checked on every turn. Nothing in the core blocks.
#include "endpoint/Steps.h"
#include "lan/Connect.h"
#include "tests/support/Loopback.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

using namespace cv::endpoint;
using namespace std::chrono_literals;

namespace {

// A shell on loopback that answers one byte at a time, a little apart.
class TrickleShell {
public:
    TrickleShell()
    {
        thread_ = std::thread([this] { Serve(); });
    }
    ~TrickleShell()
    {
        listener_.Shutdown();
        thread_.join();
    }
    unsigned short port() const { return listener_.Port(); }

private:
    static void Trickle(int fd, const std::string& text)
    {
        for (char c : text) {
            ::send(fd, &c, 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(1ms);
        }
    }
    void Serve()
    {
        const int fd = listener_.Accept();
        if (fd < 0)
            return;
        Trickle(fd, "\r\nast login: ");
        std::string line;
        char c;
        while (::recv(fd, &c, 1, 0) == 1) {
            line += c;
            if (c != '\n')
                continue;
            std::string reply = line;
            if (line == "lmparam g CH_SELECT_V\r\n")
                reply += "0007\r\n";
            else if (line == "cat /etc/version\r\n")
                reply += "ast2500 initrd2m: B1.0.0\r\n";
            else if (line == "lmparam dump\r\n")
                reply += "HOSTNAME_ID=tx-9\r\nMY_MAC=02:00:00:00:00:09\r\nIP_MODE=static\r\nIS_HOST=y\r\n";
            Trickle(fd, reply + "/ # ");
            line.clear();
        }
        ::close(fd);
    }

    testing_support::LoopbackListener listener_;
    std::thread thread_;
};

}  // namespace

TEST(EventLoop, TheDetailQueryRunsFromANonBlockingLoopThatNeverWaitsInTheCore)
{
    TrickleShell shell;
    auto fd = cv::lan::StartConnect("127.0.0.1", shell.port());
    ASSERT_TRUE(fd) << fd.error();

    Conversation c(5s);
    Sequence steps([] {
        auto s = LoginSteps();
        auto q = DetailQuerySteps();
        s.insert(s.end(), q.begin(), q.end());
        return s;
    }());
    std::string unsent;
    bool connected = false;
    int pieces = 0;
    const auto giveUp = Clock::now() + 30s;
    while (steps.Advance(c, Clock::now()) == Sequence::State::Running && Clock::now() < giveUp) {
        pollfd p{fd->get(), static_cast<short>(POLLIN | (connected ? 0 : POLLOUT)), 0};
        unsent += c.TakeOutgoing();
        if (connected && !unsent.empty())
            p.events |= POLLOUT;
        ASSERT_GE(::poll(&p, 1, 0), 0);
        if (!connected && (p.revents & POLLOUT)) {
            ASSERT_EQ(cv::lan::ConnectError(fd->get()), 0);
            connected = true;
        }
        if (connected && (p.revents & POLLOUT) && !unsent.empty()) {
            const ssize_t n = ::send(fd->get(), unsent.data(), unsent.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                unsent.erase(0, static_cast<std::size_t>(n));
        }
        if (p.revents & POLLIN) {
            char buf[1024];
            const ssize_t n = ::recv(fd->get(), buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                ++pieces;
                c.Receive({buf, static_cast<std::size_t>(n)}, Clock::now());
            } else if (n == 0)
                c.PeerClosed();
        }
        if (const auto timer = c.Timer(); timer && *timer <= Clock::now())
            c.OnTimer(Clock::now());
        std::this_thread::sleep_for(1ms);  // the rest of the loop's work
    }
    const auto result = steps.result();
    ASSERT_TRUE(result) << result.error().text();
    const Details d = DetailsFrom(c.transcript());
    EXPECT_EQ(d.kind, Kind::Tx);
    EXPECT_EQ(Narrow(d.values.version), "B1.0.0");
    EXPECT_EQ(Narrow(d.values.channel), "0007");
    EXPECT_EQ(Narrow(d.values.macAddress), "02:00:00:00:00:09");
    // Counted in pieces, not loop turns: a loaded machine sleeps longer per
    // turn and gathers more bytes in each, but the replies still arrive over
    // many reads, each handed to the core as it came.
    EXPECT_GT(pieces, 3) << "the replies came in pieces, over many turns";
}
