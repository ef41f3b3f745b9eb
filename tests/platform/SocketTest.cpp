// The asynchronous socket on loopback: what the sessions rely on.
#include "platform/AsyncSocket.h"
#include "tests/support/Loopback.h"
#include "tests/support/TestSupport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace {

using Listener = testing_support::LoopbackListener;

class Counting : public platform::CAsyncSocket {
public:
    int receives = 0;
    int closes = 0;
    std::string got;

protected:
    void OnReceive(int) override
    {
        ++receives;
        char buf[16];
        const int n = Receive(buf, sizeof buf);
        if (n > 0)
            got.append(buf, static_cast<size_t>(n));
    }
    void OnClose(int) override { ++closes; }
};

}  // namespace

TEST(AsyncSocket, SendFailsBeforeTheSocketExistsAndAfterClose)
{
    platform::CAsyncSocket s;
    EXPECT_EQ(s.Send("x", 1), platform::SOCKET_ERROR);
    ASSERT_TRUE(s.Create());
    EXPECT_TRUE(s.IsOpen());
    s.Close();
    EXPECT_FALSE(s.IsOpen());
    EXPECT_EQ(s.Send("x", 1), platform::SOCKET_ERROR);
}

TEST(AsyncSocket, ATestCanFailEverySendAfterTheNthAsADeviceThatDropsOff)
{
    Listener server;
    platform::CAsyncSocket s;
    ASSERT_TRUE(s.Create());
    ASSERT_TRUE(s.Connect("127.0.0.1", server.Port()));
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    s.FailSendsAfter(2);
    EXPECT_EQ(s.Send("ab", 2), 2);
    EXPECT_EQ(s.Send("cd", 2), 2);
    EXPECT_EQ(s.Send("ef", 2), platform::SOCKET_ERROR);
    EXPECT_EQ(s.Send("gh", 2), platform::SOCKET_ERROR);

    // A new session to the same device fails on as well.
    ASSERT_TRUE(s.Create());
    ASSERT_TRUE(s.Connect("127.0.0.1", server.Port()));
    const int second = server.Accept();
    ASSERT_GE(second, 0);
    EXPECT_EQ(s.Send("ij", 2), platform::SOCKET_ERROR);
    s.FailSendsAfter(-1);
    EXPECT_EQ(s.Send("kl", 2), 2);
    s.Close();

    char buf[16] = {};
    EXPECT_EQ(::recv(peer, buf, sizeof buf, 0), 4);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_EQ(::recv(second, buf, sizeof buf, 0), 2);
    EXPECT_EQ(std::string(buf, 2), "kl");
    ::close(peer);
    ::close(second);
}

TEST(AsyncSocket, NotifiesAgainWhileUnreadDataRemainsAndStopsAtTheEnd)
{
    Listener server;
    Counting s;
    ASSERT_TRUE(s.Create());
    ASSERT_TRUE(s.Connect("127.0.0.1", server.Port()));
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    const std::string text(40, 'x');  // more than one 16-byte read
    ASSERT_EQ(::write(peer, text.data(), text.size()), ssize_t(text.size()));
    ASSERT_TRUE(testing_support::PumpUntil([&] { return s.got.size() == text.size(); }));
    EXPECT_GE(s.receives, 3);
    ::close(peer);
    ASSERT_TRUE(testing_support::PumpUntil([&] { return s.closes == 1; }));
    const int before = s.receives;
    testing_support::PumpEvents(50);
    EXPECT_EQ(s.receives, before) << "a closed peer must not keep the notifier spinning";
}

TEST(AsyncSocket, ConnectDoesNotWaitForTheConnection)
{
    Listener server;
    platform::CAsyncSocket s;
    ASSERT_TRUE(s.Create());
    EXPECT_TRUE(s.Connect("127.0.0.1", server.Port()));
    EXPECT_FALSE(s.Connect("", server.Port())) << "an empty address resolves to nothing";
}
