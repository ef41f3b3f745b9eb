// The waiting session against a scripted shell on loopback: where a reply
// ends, what counts as the prompt, and how silence and a closed connection
// are told apart.
#include "cli/Session.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <thread>

using cv::cli::ShellSession;
using namespace std::chrono_literals;

namespace {

// Accepts one connection on 127.0.0.1 and runs `script` on it.
class FakeShell {
public:
    explicit FakeShell(std::function<void(int fd)> script)
    {
        listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listen_, 1);
        socklen_t len = sizeof a;
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this, script] {
            const int fd = ::accept(listen_, nullptr, nullptr);
            if (fd >= 0) {
                script(fd);
                ::close(fd);
            }
        });
    }
    ~FakeShell()
    {
        ::shutdown(listen_, SHUT_RDWR);
        thread_.join();
        ::close(listen_);
    }
    unsigned short port() const { return port_; }

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
    int listen_ = -1;
    unsigned short port_ = 0;
    std::thread thread_;
};

const cv::nodes::WireLine kDump{u"lmparam dump\r\n", false, false, 0};

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
    ShellSession s("127.0.0.1", shell.port(), {1s, 2s});
    ASSERT_TRUE(s.Open()) << s.error();
    ASSERT_TRUE(s.Run(kDump)) << s.error();
    EXPECT_EQ(s.lastOutput(), "A=1\r\nB=/x\r\n") << "a '/' inside a line is not the prompt";
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
    ShellSession s("127.0.0.1", shell.port(), {1s, 2s});
    ASSERT_TRUE(s.Open()) << s.error();
    ASSERT_TRUE(s.Run(kDump)) << s.error();
    EXPECT_EQ(s.lastOutput(), "noise without an end");
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
        ShellSession s("127.0.0.1", shell.port(), {1s, 300ms});
        ASSERT_TRUE(s.Open()) << s.error();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(s.Run(kDump));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 30s) << "it ends";
        EXPECT_EQ(s.error(), "no prompt after 'lmparam dump' within 0.3 s");
        EXPECT_TRUE(s.connected());
    }
    {
        FakeShell shell([&](int fd) { FakeShell::ReadLine(fd); });  // reads the login, hangs up
        ShellSession s("127.0.0.1", shell.port(), {1s, 2s});
        EXPECT_FALSE(s.Open());
        EXPECT_TRUE(s.connected());
        EXPECT_NE(s.error().find("closed by the endpoint"), std::string::npos) << s.error();
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
    ShellSession s("127.0.0.1", ntohs(a.sin_port), {1s, 1s});
    EXPECT_FALSE(s.Open());
    EXPECT_FALSE(s.connected());
    EXPECT_EQ(s.error(), "Connection refused");
}

TEST(Session, ZeroBytesFromTheShellAreDroppedAndLinesTooLongAreNotSent)
{
    FakeShell shell([&](int fd) {
        FakeShell::ReadLine(fd);
        FakeShell::Say(fd, std::string("ro\0ot\r\n/ # ", 11));
        FakeShell::ReadLine(fd);
    });
    ShellSession s("127.0.0.1", shell.port(), {1s, 2s});
    ASSERT_TRUE(s.Open()) << s.error();
    EXPECT_EQ(s.received().find('\0'), std::string::npos);
    EXPECT_FALSE(s.Run({std::u16string(60, u'x'), false, true, 0}));
    EXPECT_NE(s.error().find("does not fit"), std::string::npos);
}
