// cortaviad against clients that are careless or hostile, in the test LAN:
// each must cost the service one dropped connection and nothing more. The
// service listens beyond loopback (token required), with deadlines cut to
// a tenth and the 1,024 descriptors systemd gives a service by default.
#include "SimProcess.h"
#include "tests/service/ServiceClient.h"

#include <QTcpSocket>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace cv::service_test;

constexpr int kHttp = 8500;
constexpr int kLine = 8501;

int Connect(const std::string& to, int port, const std::string& from = {}, int receiveBuffer = 0)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (receiveBuffer)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    if (!from.empty()) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, from.c_str(), &local.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            ::close(fd);
            return -1;
        }
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, to.c_str(), &peer.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void SendAll(int fd, const std::string& bytes)
{
    std::size_t at = 0;
    while (at < bytes.size()) {
        const auto n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        at += static_cast<std::size_t>(n);
    }
}

// Reads until the peer closes or `ms` pass; `closed` says which.
std::string ReadUntilClosed(int fd, int ms, bool* closed = nullptr)
{
    std::string got;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0)
            continue;
        char buffer[65536];
        const auto n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            if (closed)
                *closed = true;
            return got;
        }
        got.append(buffer, static_cast<std::size_t>(n));
    }
    if (closed)
        *closed = false;
    return got;
}

long ResidentKiB(qint64 pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

class Abuse : public ::testing::Test {
protected:
    static inline std::unique_ptr<cv::sim::SimProcess> sim;
    static inline std::unique_ptr<Daemon> daemon;
    static inline std::string state;
    static inline std::string token;
    static inline std::string before;  // what the receivers had heard when the suite began

    static std::string Wire()
    {
        std::string all;
        for (int i = 1; i <= 20; ++i)
            all += sim->wireBytes("198.18.2." + std::to_string(i));
        return all;
    }
    // Nothing but the polls' reads reached a receiver.
    static bool OnlyPolled()
    {
        const std::string wire = Wire();
        for (const char* write : {"astparam s", "e e_reconnect", "osd_on", "osd_off", "reboot"})
            if (wire.find(write) != std::string::npos)
                return false;
        return true;
    }

    static void SetUpTestSuite()
    {
        ASSERT_FALSE(cv::sim::SimProcess::lanNamespace().empty()) << "run inside scripts/testlan.sh";
        sim = std::make_unique<cv::sim::SimProcess>(std::vector<std::string>{"--tx", "2", "--rx", "20"});
        ASSERT_TRUE(sim->start()) << sim->error();
        state = (std::filesystem::temp_directory_path() / ("cv-svc-abuse-" + std::to_string(::getpid()))).string();
        std::filesystem::remove_all(state);
        std::filesystem::create_directories(state);
        token = AddToken(state, "abuse", "admin");
        ASSERT_EQ(token.size(), 64u);
        daemon = std::make_unique<Daemon>(
            state,
            std::vector<std::string>{"--http", "0.0.0.0:" + std::to_string(kHttp), "--control",
                                     "0.0.0.0:" + std::to_string(kLine)},
            std::vector<std::pair<QString, QString>>{{"CORTAVIAD_TEST_DEADLINE_SCALE", "0.1"}}, 1024);
        Client c(Base());
        c.token = token;
        ASSERT_TRUE(WaitFor([&] {
            const Reply r = c.Get("/api/v1/health");
            return Ready(r) && r.body.value("devices", 0) == 22;
        })) << "the first poll never found the fleet";
    }
    static void TearDownTestSuite()
    {
        daemon.reset();
        sim.reset();
        std::filesystem::remove_all(state);
    }
    static std::string Base() { return "http://127.0.0.1:" + std::to_string(kHttp); }

    // Every test ends here: the service alive, another client served on
    // both protocols, nothing sent to any receiver.
    void TearDown() override
    {
        ASSERT_EQ(daemon->process().state(), QProcess::Running) << "the service died";
        Client c(Base());
        c.token = token;
        const Reply health = c.Get("/api/v1/health");
        EXPECT_EQ(health.status, 200);
        EXPECT_EQ(health.body.value("online", 0), 22) << health.text;
        QTcpSocket line;
        line.connectToHost("127.0.0.1", kLine);
        ASSERT_TRUE(line.waitForConnected(10000));
        line.write(QByteArray::fromStdString("auth " + token + "\ndevices\n"));
        QByteArray got;
        EXPECT_TRUE(WaitFor([&] {
            got += line.readAll();
            return got.contains("DEVICE ") && got.endsWith("OK\r\n");
        })) << got.toStdString();
        EXPECT_TRUE(OnlyPolled());
    }
};

TEST_F(Abuse, ALineClientThatNeverReadsIsDroppedAloneWhenItsRepliesPileUp)
{
    const int fd = Connect("198.18.0.1", kLine, {}, 4096);
    ASSERT_GE(fd, 0);
    std::string flood = "auth " + token + "\r\n";
    for (int i = 0; i < 2000; ++i)
        flood += "routes\r\n";
    SendAll(fd, flood);
    // Its replies are not read: the service lets it go rather than buffer.
    bool closed = false;
    QElapsedTimer t;
    t.start();
    while (!closed && t.elapsed() < kNever) {
        pollfd p{fd, POLLRDHUP, 0};
        closed = ::poll(&p, 1, 50) > 0 && (p.revents & (POLLERR | POLLHUP | POLLRDHUP));
    }
    EXPECT_TRUE(closed);
    ::close(fd);
}

TEST_F(Abuse, AnUnauthenticatedLineFloodIsCutOffAfterAFewLines)
{
    const int fd = Connect("198.18.0.1", kLine);
    ASSERT_GE(fd, 0);
    std::string flood;
    for (int i = 0; i < 200000; ++i)
        flood += "x\n";
    SendAll(fd, flood);
    bool closed = false;
    const std::string got = ReadUntilClosed(fd, kNever, &closed);
    EXPECT_TRUE(closed);
    EXPECT_LE(got.size(), 17 * std::string("ERR auth <token> first\r\n").size()) << got.substr(0, 200);
    ::close(fd);
}

TEST_F(Abuse, ElevenHundredIdleConnectionsAreClosedAndTheFleetStaysOnline)
{
    Client c(Base());
    c.token = token;
    QNetworkReply* stream = c.Stream();
    QByteArray events;
    QObject::connect(stream, &QNetworkReply::readyRead, [&] { events += stream->readAll(); });
    ASSERT_TRUE(WaitFor([&] { return events.contains(": connected"); }));
    const auto polls = c.Get("/api/v1/health").body["polls"].get<int>();

    // From eleven addresses, a hundred each: under every per-peer bound,
    // over the total, over the descriptors.
    QElapsedTimer took;
    took.start();
    std::vector<int> idle;
    for (int from = 2; from <= 12; ++from)
        for (int i = 0; i < 100; ++i) {
            const int fd = Connect("127.0.0.1", i % 5 == 0 ? kLine : kHttp, "127.0.0." + std::to_string(from));
            if (fd >= 0)
                idle.push_back(fd);
        }
    EXPECT_EQ(idle.size(), 1100u);
    std::cout << "connected in " << took.elapsed() << " ms\n";
    // The service polls on and answers others meanwhile.
    ASSERT_TRUE(WaitFor([&] {
        const Reply r = c.Get("/api/v1/health");
        return r.status == 200 && r.body["polls"].get<int>() >= polls + 2;
    }));
    // Every idle one is closed: refused at once or after its deadline.
    std::size_t closed = 0;
    for (const int fd : idle) {
        bool gone = false;
        ReadUntilClosed(fd, 5000, &gone);
        closed += gone;
        ::close(fd);
    }
    EXPECT_EQ(closed, idle.size());
    std::cout << "all closed after " << took.elapsed() << " ms\n";
    EXPECT_FALSE(events.contains("event: offline")) << events.toStdString();
    EXPECT_FALSE(events.contains("event: failed")) << events.toStdString();
    EXPECT_TRUE(stream->isRunning()) << "the event stream was closed with the idle ones";
    stream->abort();
    stream->deleteLater();
}

TEST_F(Abuse, A300MiBBodyWithoutTheTokenGets401BeforeFiftyMiBAreSent)
{
    const long rssBefore = ResidentKiB(daemon->process().processId());
    const int fd = Connect("198.18.0.1", kHttp);
    ASSERT_GE(fd, 0);
    const std::size_t total = 300u << 20;
    SendAll(fd,
            "POST /api/v1/routes HTTP/1.1\r\nHost: 198.18.0.1:" + std::to_string(kHttp) +
                "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(total) + "\r\n\r\n");
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    const std::string chunk(64 * 1024, '[');
    std::size_t sent = 0;
    std::string answer;
    QElapsedTimer t;
    t.start();
    while (sent < total && answer.find("\r\n\r\n") == std::string::npos && t.elapsed() < kNever) {
        const auto n = ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
        if (n > 0)
            sent += static_cast<std::size_t>(n);
        else if (errno != EAGAIN)
            break;
        char buffer[4096];
        const auto got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got > 0)
            answer.append(buffer, static_cast<std::size_t>(got));
        else if (n <= 0)
            ::usleep(1000);
    }
    EXPECT_EQ(answer.rfind("HTTP/1.1 401 ", 0), 0u) << answer;
    EXPECT_LT(sent, 50u << 20);
    const long rssAfter = ResidentKiB(daemon->process().processId());
    // Nothing of the body was kept; the bound is on growth, as a sanitizer's
    // own memory puts the whole process above 64 MiB before it starts.
    EXPECT_LT(rssAfter - rssBefore, 16 * 1024) << "KiB; before " << rssBefore;
    if (rssBefore < 48 * 1024) {
        EXPECT_LT(rssAfter, 64 * 1024) << "KiB; before " << rssBefore;
    }
    std::cout << "sent " << sent / 1024 << " KiB before the 401; resident " << rssBefore << " -> " << rssAfter
              << " KiB\n";
    ::close(fd);
}

TEST_F(Abuse, AHugeContentLengthGets413AtOnceAndTheConnectionCloses)
{
    const int fd = Connect("198.18.0.1", kHttp);
    ASSERT_GE(fd, 0);
    SendAll(fd,
            "PUT /api/v1/routes/198.18.2.1 HTTP/1.1\r\nHost: 198.18.0.1\r\nAuthorization: Bearer " + token +
                "\r\nContent-Type: application/json\r\nContent-Length: 99999999999\r\n\r\n{}");
    bool closed = false;
    const std::string got = ReadUntilClosed(fd, 5000, &closed);
    EXPECT_EQ(got.rfind("HTTP/1.1 413 ", 0), 0u) << got;
    EXPECT_NE(got.find("Connection: close"), std::string::npos);
    EXPECT_TRUE(closed);
    ::close(fd);
}

TEST_F(Abuse, HeadsThatAreSlowOrBodiesThatStopAreCutOffByTheirDeadlines)
{
    // 10 s each, a tenth here.
    const int slow = Connect("198.18.0.1", kHttp);
    SendAll(slow, "GET /api/v1/health HTTP/1.1\r\nHost: 198.18.0.1\r\n");
    const int stalled = Connect("198.18.0.1", kHttp);
    SendAll(stalled,
            "PUT /api/v1/routes/198.18.2.1 HTTP/1.1\r\nHost: 198.18.0.1\r\nAuthorization: Bearer " + token +
                "\r\nContent-Type: application/json\r\nContent-Length: 100\r\n\r\n{\"tx\":");
    const int quiet = Connect("198.18.0.1", kLine);
    for (const int fd : {slow, stalled, quiet}) {
        bool closed = false;
        const std::string got = ReadUntilClosed(fd, 5000, &closed);
        EXPECT_TRUE(closed) << fd;
        EXPECT_EQ(got, "");
        ::close(fd);
    }
}

TEST_F(Abuse, ABrowsersForeignRequestsAreRefusedFromTheirHeaders)
{
    const std::string auth = "Authorization: Bearer " + token + "\r\n";
    const struct {
        std::string head;
        const char* status;
    } cases[] = {
        // DNS rebinding: a name that is not ours.
        {"GET /api/v1/devices HTTP/1.1\r\nHost: attacker.example:8500\r\n" + auth, "421"},
        // Another site's page.
        {"POST /api/v1/identify HTTP/1.1\r\nHost: 198.18.0.1:8500\r\nOrigin: http://attacker.example\r\n" + auth +
             "Content-Type: application/json\r\nContent-Length: 11\r\n\r\n{\"on\":true}",
         "403"},
        // A form or no-cors fetch: not JSON.
        {"POST /api/v1/identify HTTP/1.1\r\nHost: 198.18.0.1:8500\r\n" + auth +
             "Content-Type: text/plain\r\nContent-Length: 11\r\n\r\n{\"on\":true}",
         "415"},
        {"POST /api/v1/scenes/Pwned/capture HTTP/1.1\r\nHost: 198.18.0.1:8500\r\n" + auth + "Content-Length: 0\r\n",
         "415"},
    };
    for (const auto& c : cases) {
        const int fd = Connect("198.18.0.1", kHttp);
        SendAll(fd, c.head + (c.head.ends_with("}") ? "" : "\r\n"));
        const std::string got = ReadUntilClosed(fd, 5000);
        EXPECT_EQ(got.rfind(std::string("HTTP/1.1 ") + c.status, 0), 0u) << c.head << "\n" << got;
        EXPECT_EQ(got.find("Access-Control-Allow"), std::string::npos);
        ::close(fd);
    }
    EXPECT_FALSE(std::filesystem::exists(state + "/scenes/Pwned.json"));
}

}  // namespace
