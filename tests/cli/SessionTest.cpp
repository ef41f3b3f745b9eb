// The command line's driver of the endpoint core against a scripted shell
// on loopback: where a reply ends, what counts as the prompt, and how
// silence and a closed connection are told apart.
#include "cli/Driver.h"
#include "tests/support/Loopback.h"

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <thread>

using cv::cli::ShellDriver;
using cv::endpoint::Sequence;
using cv::endpoint::Step;
using namespace std::chrono_literals;

namespace {

// Accepts one connection on 127.0.0.1 and runs `script` on it.
class FakeShell {
public:
    explicit FakeShell(std::function<void(int fd)> script)
    {
        thread_ = std::thread([this, script] {
            const int fd = listener_.Accept();
            if (fd >= 0) {
                script(fd);
                ::close(fd);
            }
        });
    }
    ~FakeShell()
    {
        listener_.Shutdown();
        thread_.join();
    }
    unsigned short port() const { return listener_.Port(); }

    static std::string ReadLine(int fd)
    {
        std::string line;
        char c;
        while (::recv(fd, &c, 1, 0) == 1) {
            line += c;
            if (c == '\n')
                break;
        }
        return line;
    }
    static void Say(int fd, const std::string& text) { ::send(fd, text.data(), text.size(), MSG_NOSIGNAL); }

private:
    testing_support::LoopbackListener listener_;
    std::thread thread_;
};

const cv::nodes::WireLine kDump{u"lmparam dump\r\n", false, false, 0};

std::vector<Step> One(const cv::nodes::WireLine& line) { return cv::endpoint::LineSteps({{line}}, "read"); }

}  // namespace

TEST(Session, AReplyEndsAtThePromptEvenWhenEchoAndOutputArriveInPieces)
{
    std::string got;
    FakeShell shell([&](int fd) {
        FakeShell::Say(fd, "\r\nast login: ");
        got = FakeShell::ReadLine(fd);
        FakeShell::Say(fd, "root\r\n/ # ");
        got += FakeShell::ReadLine(fd);
        for (const char* piece : {"lmpa", "ram du", "mp\r\nA=1\r\nB=/x\r", "\n", "/", " # "}) {
            FakeShell::Say(fd, piece);
            std::this_thread::sleep_for(20ms);
        }
        FakeShell::ReadLine(fd);  // until the client closes
    });
    ShellDriver s("127.0.0.1", shell.port(), {1s, 2s});
    const auto opened = s.Open();
    ASSERT_TRUE(opened) << opened.error().text();
    ASSERT_TRUE(s.Run(One(kDump))) << s.conversation().error();
    EXPECT_EQ(s.conversation().lastOutput(), "A=1\r\nB=/x\r\n") << "a '/' inside a line is not the prompt";
    EXPECT_EQ(got, "root\r\nlmparam dump\r\n");
}

TEST(Session, APromptAfterAnUnfinishedLineCountsOnceTheShellIsQuiet)
{
    FakeShell shell([&](int fd) {
        FakeShell::ReadLine(fd);
        FakeShell::Say(fd, "root\r\n/ # ");
        FakeShell::ReadLine(fd);
        FakeShell::Say(fd, "lmparam dump\r\nnoise without an end/ # ");
        FakeShell::ReadLine(fd);
    });
    ShellDriver s("127.0.0.1", shell.port(), {1s, 2s});
    const auto opened = s.Open();
    ASSERT_TRUE(opened) << opened.error().text();
    ASSERT_TRUE(s.Run(One(kDump))) << s.conversation().error();
    EXPECT_EQ(s.conversation().lastOutput(), "noise without an end");
}

TEST(Session, SilenceAndAClosedConnectionAreReportedAsSuch)
{
    {
        FakeShell shell([&](int fd) {
            FakeShell::ReadLine(fd);
            FakeShell::Say(fd, "root\r\n/ # ");
            FakeShell::ReadLine(fd);
            FakeShell::Say(fd, "lmparam dump\r\nA=1\r\n");  // no prompt, then silence
            FakeShell::ReadLine(fd);
        });
        ShellDriver s("127.0.0.1", shell.port(), {1s, 300ms});
        const auto opened = s.Open();
        ASSERT_TRUE(opened) << opened.error().text();
        const auto start = std::chrono::steady_clock::now();
        const auto run = s.Run(One(kDump));
        EXPECT_FALSE(run);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 30s) << "it ends";
        EXPECT_EQ(run.error().detail, "no prompt after 'lmparam dump' within 0.3 s");
        EXPECT_TRUE(s.open());
    }
    {
        FakeShell shell([&](int fd) { FakeShell::ReadLine(fd); });  // reads the login, hangs up
        ShellDriver s("127.0.0.1", shell.port(), {1s, 2s});
        const auto open = s.Open();
        ASSERT_FALSE(open);
        EXPECT_EQ(open.error().step, "login") << "it got as far as a connection";
        EXPECT_NE(open.error().detail.find("closed by the endpoint"), std::string::npos) << open.error().detail;
    }
    // Nobody listening: the connect fails, not the login.
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(probe);
    ShellDriver s("127.0.0.1", ntohs(a.sin_port), {1s, 1s});
    const auto open = s.Open();
    ASSERT_FALSE(open);
    EXPECT_EQ(open.error().step, "connect");
    EXPECT_EQ(open.error().detail, "Connection refused");
}

TEST(Session, ZeroBytesFromTheShellAreDroppedAndLinesTooLongAreNotSent)
{
    FakeShell shell([&](int fd) {
        FakeShell::ReadLine(fd);
        FakeShell::Say(fd, std::string("ro\0ot\r\n/ # ", 11));
        FakeShell::ReadLine(fd);
    });
    ShellDriver s("127.0.0.1", shell.port(), {1s, 2s});
    const auto opened = s.Open();
    ASSERT_TRUE(opened) << opened.error().text();
    EXPECT_EQ(s.conversation().received().find('\0'), std::string::npos);
    const auto run = s.Run(One({std::u16string(60, u'x'), false, true, 0}));
    EXPECT_FALSE(run);
    EXPECT_NE(run.error().detail.find("does not fit"), std::string::npos);
}
