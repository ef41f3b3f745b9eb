// Command handling and line splitting of the simulated shell; no sockets.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "Fleet.h"
#include "Options.h"
#include "Shell.h"

using namespace esim;
using namespace std::string_literals;

namespace {

struct ShellFixture : ::testing::Test {
    Fleet fleet;
    std::vector<std::string> events;
    ShellOptions opts;

    void SetUp() override
    {
        SimConfig cfg;
        ASSERT_EQ(parseArgs({"--tx", "1", "--rx", "1", "--tftp", "notfound"}, cfg), "");
        for (auto& n : cfg.nodes)
            fleet.add(n);
        opts = cfg.shell;
    }
    Session session(int node)
    {
        return Session(fleet, node, opts, [this](const std::string& e) { events.push_back(e); });
    }
    static std::string run(Session& s, std::string_view bytes)
    {
        s.receive(bytes, 0);
        return s.takeOutput();
    }
};

}  // namespace

TEST(LineSplitter, DropsZeroBytesAndKeepsTheLineEnd)
{
    LineSplitter s;
    auto lines = s.feed("reboot\r\n\0"s);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "reboot\r\n");
    EXPECT_EQ(s.partial(), "");
}

TEST(LineSplitter, JoinsALineSplitOverSeveralReads)
{
    LineSplitter s;
    EXPECT_TRUE(s.feed("node_qu").empty());
    EXPECT_TRUE(s.feed("ery --dump\r").empty());
    auto lines = s.feed("\nroot");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "node_query --dump\r\n");
    EXPECT_EQ(s.partial(), "root");
}

TEST(LineSplitter, CutsSeveralLinesOutOfOneRead)
{
    LineSplitter s;
    auto lines = s.feed("root\r\nlmparam g CH_SELECT_V\r\n\0cat /etc/version\r\n"s);
    EXPECT_EQ(lines, (std::vector<std::string>{"root\r\n", "lmparam g CH_SELECT_V\r\n", "cat /etc/version\r\n"}));
}

TEST(LineSplitter, BoundsALineThatNeverEnds)
{
    LineSplitter s;
    auto lines = s.feed(std::string(LineSplitter::kMaxLine + 10, 'x'));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), LineSplitter::kMaxLine);
    EXPECT_EQ(s.partial().size(), 10u);
}

TEST_F(ShellFixture, LoginEchoesTheLineAndPrintsThePrompt)
{
    auto s = session(0);
    EXPECT_EQ(run(s, "root\r\n"), "root\r\n/ # ");
    EXPECT_EQ(events, (std::vector<std::string>{"login root"}));
}

TEST_F(ShellFixture, CommandsBeforeLoginAreRefused)
{
    auto s = session(0);
    std::string out = run(s, "admin\r\n");
    EXPECT_NE(out.find("Login incorrect"), std::string::npos);
    EXPECT_EQ(out.find("/ #"), std::string::npos);
}

TEST_F(ShellFixture, NodeDumpEndsEachRecordWithItsMacAndEndsWithTheMarker)
{
    auto s = session(0);
    std::string out = run(s, "root\r\nnode_query --dump\r\n");
    const std::string expected =
        "root\r\n/ # node_query --dump\r\n"
        "HOSTNAME=ast-gateway0200C6120101\r\nMY_IP=198.18.1.1\r\nIS_HOST=y\r\nMULTICAST_ON=y\r\n"
        "CH_SELECT=0000\r\nMY_MAC=02:00:C6:12:01:01\r\n"
        "HOSTNAME=ast-clientrx-001\r\nMY_IP=198.18.2.1\r\nIS_HOST=n\r\nMULTICAST_ON=y\r\n"
        "CH_SELECT_V=0000\r\nMY_MAC=02:00:C6:12:02:01\r\n"
        "<<<<<<<<<<\r\n/ # ";
    EXPECT_EQ(out, expected);
}

TEST_F(ShellFixture, DumpRecordsNeverMixTheTransmitterAndReceiverWords)
{
    SimConfig cfg;
    ASSERT_EQ(parseArgs({"--tx", "3", "--rx", "3", "--gateway", "198.18.0.1"}, cfg), "");
    Fleet f;
    for (auto& n : cfg.nodes)
        f.add(n);
    std::string dump = f.nodeDump(0);
    size_t start = 0;
    int tx = 0, rx = 0;
    for (size_t at; (at = dump.find("MY_MAC", start)) != std::string::npos; start = at + 6) {
        std::string rec = dump.substr(start, at - start);
        bool g = rec.find("gateway") != std::string::npos, c = rec.find("client") != std::string::npos;
        EXPECT_NE(g, c) << rec;
        tx += g;
        rx += c;
    }
    EXPECT_EQ(tx, 3);
    EXPECT_EQ(rx, 3);
}

TEST_F(ShellFixture, DetailQueryAnswersChannelVersionAndParameters)
{
    auto s = session(1);
    std::string out = run(s, "root\r\nlmparam g CH_SELECT_V\r\ncat /etc/version\r\nlmparam dump\r\n");
    EXPECT_NE(out.find("lmparam g CH_SELECT_V\r\n0000\r\n/ # "), std::string::npos);
    EXPECT_NE(out.find("cat /etc/version\r\nast2500 initrd2m: A7.3.1\r\n/ # "), std::string::npos);
    for (const char* key :
         {"HOSTNAME_ID=rx-001\r\n", "STATE=s_srv_on\r\n", "MY_MAC=02:00:C6:12:02:01\r\n", "MY_NETMASK=255.255.0.0\r\n",
          "MY_GATEWAYIP=198.18.0.1\r\n", "IP_MODE=autoip\r\n", "MULTICAST_ON=y\r\n", "CH_SELECT_V=0000\r\n"})
        EXPECT_NE(out.find(key), std::string::npos) << key;
    EXPECT_NE(out.find("IS_HOST=n\r\n/ # "), std::string::npos);
}

TEST_F(ShellFixture, SavedSettingsSurviveARebootAndUnsavedOnesDoNot)
{
    auto s = session(1);
    run(s, "root\r\nastparam s multicast_on n\r\n");
    run(s, "astparam save\r\n\0astparam s ip_mode dhcp\r\n"s);
    std::string before = run(s, "lmparam dump\r\n");
    EXPECT_NE(before.find("MULTICAST_ON=n"), std::string::npos);
    EXPECT_NE(before.find("IP_MODE=dhcp"), std::string::npos);
    fleet.nodes[1].boot();
    auto after = session(1);
    std::string dump = run(after, "root\r\nlmparam dump\r\n");
    EXPECT_NE(dump.find("MULTICAST_ON=n"), std::string::npos);
    EXPECT_NE(dump.find("IP_MODE=autoip"), std::string::npos);
}

TEST_F(ShellFixture, HostnameAndChannelTakeEffectThroughTheirEvents)
{
    auto s = session(1);
    run(s, "root\r\nastparam s hostname_id lobby\r\n");
    EXPECT_EQ(fleet.nodes[1].runningHostnameId, "rx-001");
    run(s, "e e_chg_hostname\r\nastparam s reset_ch_on_boot n\r\n\0e e_reconnect::0042\r\n\0"s);
    EXPECT_EQ(fleet.nodes[1].runningHostnameId, "lobby");
    std::string dump = run(s, "node_query --dump\r\n");
    EXPECT_NE(dump.find("HOSTNAME=ast-clientlobby\r\n"), std::string::npos);
    EXPECT_NE(dump.find("CH_SELECT_V=0042\r\n"), std::string::npos);
    fleet.nodes[1].boot();
    EXPECT_EQ(fleet.nodes[1].runningChannel, "0042");
}

TEST_F(ShellFixture, ResetRestoresFactorySettingsAtTheNextBoot)
{
    auto s = session(1);
    run(s, "root\r\nastparam s multicast_on n\r\nastparam save\r\ne e_reconnect::0007\r\n");
    run(s, "reset_to_default.sh\r\n\0reboot\r\n\0"s);
    EXPECT_TRUE(s.rebootRequested());
    EXPECT_TRUE(s.closeRequested());
    fleet.nodes[1].boot();
    EXPECT_EQ(fleet.nodes[1].param("multicast_on"), "y");
    EXPECT_EQ(fleet.nodes[1].runningChannel, "0000");
    EXPECT_EQ(events.back(), "reboot");
}

TEST_F(ShellFixture, LinesAfterRebootAreNotRun)
{
    auto s = session(1);
    std::string out = run(s, "root\r\nreboot\r\nastparam s multicast_on n\r\n");
    EXPECT_EQ(out, "root\r\n/ # reboot\r\n");
    EXPECT_EQ(fleet.nodes[1].param("multicast_on"), "y");
}

TEST_F(ShellFixture, WallAndOsdLinesAreRecordedAsEvents)
{
    auto s = session(1);
    run(s, "root\r\ne e_vw_enable_0_0_5000_10000_2\r\ne e_vw_stretch_type_1\r\ne e_vw_rotate_6\r\n");
    run(s, "big_osd_on.sh \"3\"\r\nosd_off.sh 0\r\n");
    std::vector<std::string> kinds;
    for (auto& e : events)
        if (e.rfind("cmd ", 0) != 0)
            kinds.push_back(e);
    EXPECT_EQ(kinds,
              (std::vector<std::string>{"login root", "wall_enable 0 0 5000 10000 2", "wall_stretch 1", "wall_rotate 6",
                                        "osd_on 3", "osd_off 0"}));
}

TEST_F(ShellFixture, UnknownCommandsAnswerLikeAShell)
{
    auto s = session(0);
    EXPECT_EQ(run(s, "root\r\nfrobnicate now\r\n"), "root\r\n/ # frobnicate now\r\nsh: frobnicate: not found\r\n/ # ");
}

TEST_F(ShellFixture, UpgradeWithAMissingFileReportsTheTftpError)
{
    auto s = session(0);
    std::string out = run(s,
                          "root\r\ncd /dev/shm\r\ntftp -v 198.18.0.1 -c get webfwh.bin\r\nrm -f mtdblk*\r\n"
                          "rm -f *.sh\r\nmv webfwh.bin fw.tar.gz\r\n/usr/local/bin/update_fw.sh\r\n");
    EXPECT_NE(out.find("Error code 1: File not found\r\n"), std::string::npos);
    EXPECT_NE(out.find("mv: can't rename 'webfwh.bin'"), std::string::npos);
    EXPECT_NE(out.find("fw.tar.gz is missing"), std::string::npos);
}

TEST_F(ShellFixture, RealTftpHoldsLaterLinesUntilTheClientEnds)
{
    opts.tftp = TftpMode::Real;
    opts.workDir = "/tmp";
    auto s = session(0);
    std::string out = run(s, "root\r\ntftp -v 198.18.0.1 -c get webfwh.bin\r\nrm -f *.sh\r\n");
    EXPECT_EQ(out, "root\r\n/ # tftp -v 198.18.0.1 -c get webfwh.bin\r\n");
    auto job = s.takeTftpJob();
    ASSERT_TRUE(job);
    EXPECT_EQ(job->argv,
              (std::vector<std::string>{"/usr/bin/tftp", "-v", "198.18.0.1", "-c", "get", "webfwh.bin", "webfwh.bin"}));
    s.tftpOutput("Transfer timed out.\n");
    s.tftpFinished(1, 0);
    EXPECT_EQ(s.takeOutput(), "Transfer timed out.\r\n/ # rm -f *.sh\r\n/ # ");
}

TEST_F(ShellFixture, TftpRefusesAFileNameOutsideItsDirectory)
{
    opts.tftp = TftpMode::Real;
    opts.workDir = "/tmp";
    auto s = session(0);
    std::string out = run(s, "root\r\ntftp -v 198.18.0.1 -c get ../../etc/passwd\r\n");
    EXPECT_FALSE(s.takeTftpJob());
    EXPECT_NE(out.find("Permission denied"), std::string::npos);
}

TEST_F(ShellFixture, InjectedGarbageCarriesZeroBytesBeforeTheOutput)
{
    fleet.nodes[0].faults.garbage = 64;
    auto s = session(0);
    std::string out = run(s, "root\r\ncat /etc/version\r\n");
    size_t echo = out.find("cat /etc/version\r\n");
    ASSERT_NE(echo, std::string::npos);
    std::string noise = out.substr(echo + 18, 64);
    EXPECT_NE(noise.find('\0'), std::string::npos);
    EXPECT_NE(out.find("initrd2m", echo + 18 + 64), std::string::npos);
}

TEST_F(ShellFixture, InjectedNoiseComesBeforeEveryEchoAfterTheLogin)
{
    fleet.nodes[0].faults.noise = 64;
    auto s = session(0);
    std::string out = run(s, "root\r\nlmparam g CH_SELECT_V\r\n");
    const size_t echo = out.find("lmparam g CH_SELECT_V\r\n");
    ASSERT_NE(echo, std::string::npos);
    const size_t prompt = out.find("/ # ");
    ASSERT_LT(prompt, echo);
    EXPECT_EQ(echo - (prompt + 4), 64u) << "the noise sits between the login's prompt and the echo";
    EXPECT_EQ(out.substr(echo + 23, 6), "0000\r\n");
}

TEST_F(ShellFixture, CutDumpClosesPartWayThrough)
{
    fleet.nodes[0].faults.cutDump = 30;
    auto s = session(0);
    std::string out = run(s, "root\r\nnode_query --dump\r\n");
    EXPECT_TRUE(s.closeRequested());
    EXPECT_EQ(out.size(), std::string("root\r\n/ # node_query --dump\r\n").size() + 30);
}

TEST(Options, AddressesSpillIntoTheNextSubnetAfter250)
{
    SimConfig cfg;
    ASSERT_EQ(parseArgs({"--tx", "0", "--rx", "252"}, cfg), "");
    EXPECT_EQ(formatIp(cfg.nodes[249].addr), "198.18.2.250");
    EXPECT_EQ(formatIp(cfg.nodes[250].addr), "198.18.3.1");
    EXPECT_EQ(formatIp(cfg.nodes[251].addr), "198.18.3.2");
}

TEST(Options, ReceiversStartAfterMoreThan250Transmitters)
{
    SimConfig cfg;
    ASSERT_EQ(parseArgs({"--tx", "500", "--rx", "1"}, cfg), "");
    EXPECT_EQ(formatIp(cfg.nodes[499].addr), "198.18.2.250");
    EXPECT_EQ(formatIp(cfg.nodes[500].addr), "198.18.3.1");
}

TEST(Options, FaultsApplyToAllOrToOneAddressInOrder)
{
    SimConfig cfg;
    ASSERT_EQ(parseArgs({"--tx", "2", "--rx", "0", "--fault", "chunk=8:20", "--fault", "silent@198.18.1.2"}, cfg), "");
    Faults a = faultsFor(cfg, *parseIp("198.18.1.1")), b = faultsFor(cfg, *parseIp("198.18.1.2"));
    EXPECT_EQ(a.chunk, 8u);
    EXPECT_EQ(a.chunkDelayMs, 20);
    EXPECT_FALSE(a.silent);
    EXPECT_TRUE(b.silent);
    EXPECT_EQ(b.chunk, 8u);
}

TEST(Options, AMoveGoesToATestLanAddressOnly)
{
    Faults f;
    EXPECT_EQ(applyFault(f, "move=198.18.2.77"), "");
    EXPECT_EQ(formatIp(f.moveTo), "198.18.2.77");
    EXPECT_NE(applyFault(f, "move=192.168.0.80"), "") << "that address would leave the test LAN";
    EXPECT_NE(applyFault(f, "move=nowhere"), "");
}

TEST(Options, RejectsBadInputWithAReason)
{
    SimConfig cfg;
    EXPECT_NE(parseArgs({"--node", "rx ip=198.18.2.9 channel=0100"}, cfg), "");
    EXPECT_NE(parseArgs({"--fault", "explode"}, cfg), "");
    EXPECT_NE(parseArgs({"--tx", "1", "--node", "tx ip=198.18.1.1"}, cfg), "");
    EXPECT_NE(parseArgs({"--fault", "silent@198.18.9.9"}, cfg), "");
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{{"--tx", "5001"},
                                                                                      {"--tx"},
                                                                                      {"--bogus"},
                                                                                      {"stray"},
                                                                                      {"--answer-gap", "1001"},
                                                                                      {"--shell-port", "0"},
                                                                                      {"--tftp", "fast"},
                                                                                      {"--multicast", "maybe"},
                                                                                      {"--rx-base", "198.18.2"}}) {
        SimConfig fresh;
        EXPECT_NE(parseArgs(args, fresh), "") << args[0];
    }
}

TEST(Options, ErrorsNameTheOptionTheyAreAbout)
{
    SimConfig cfg;
    EXPECT_EQ(parseArgs({"--tx", "1", "--fault", "silent@nowhere"}, cfg), "--fault: bad fault address: nowhere");
    SimConfig other;
    EXPECT_EQ(parseArgs({"--answer-gap", "2000"}, other).rfind("--answer-gap: ", 0), 0u);
}

TEST(Options, CountsAreDecimalAndTheLastOfARepeatedOptionWins)
{
    SimConfig cfg;
    // CLI11 on its own would read 010 as octal.
    ASSERT_EQ(
        parseArgs({"--tx", "010", "--rx", "0", "--reboot-delay", "0500", "--tftp", "ok", "--tftp", "timeout"}, cfg),
        "");
    EXPECT_EQ(cfg.nodes.size(), 10u);
    EXPECT_EQ(cfg.rebootDelayMs, 500);
    EXPECT_EQ(cfg.shell.tftp, TftpMode::Timeout);
}

TEST(Options, NodesAndFleetFilesKeepTheirCommandLineOrder)
{
    std::string path = ::testing::TempDir() + "/esim-order.fleet";
    {
        std::ofstream out(path);
        out << "# two\nrx ip=198.18.2.2  # trailing\n\ntx ip=198.18.1.2 hostname_id=cam\n";
    }
    SimConfig cfg;
    ASSERT_EQ(parseArgs({"--node", "rx ip=198.18.2.1", "--fleet", path, "--node", "tx ip=198.18.1.1"}, cfg), "");
    std::vector<std::string> order;
    for (auto& n : cfg.nodes)
        order.push_back(n.hostnameId);
    EXPECT_EQ(order, (std::vector<std::string>{"198.18.2.1", "198.18.2.2", "cam", "198.18.1.1"}));
    std::remove(path.c_str());
}

TEST(Options, HelpIsAskedForAnywhereOnTheLine)
{
    SimConfig cfg;
    EXPECT_EQ(parseArgs({"--tx", "2", "-h"}, cfg), "");
    EXPECT_TRUE(cfg.help);
    EXPECT_NE(usageText().find("--fault KIND[=ARG][@ADDR]"), std::string::npos);
}

TEST(Options, ExplicitNodesCarryTheirOwnSettings)
{
    SimConfig cfg;
    ASSERT_EQ(parseArgs({"--node", "rx ip=198.18.2.7 hostname_id=lobby channel=0012 multicast=n ip_mode=static"}, cfg),
              "");
    ASSERT_EQ(cfg.nodes.size(), 1u);
    Fleet f;
    f.add(cfg.nodes[0]);
    std::string d = f.nodes[0].lmparamDump();
    EXPECT_NE(d.find("HOSTNAME_ID=lobby\r\n"), std::string::npos);
    EXPECT_NE(d.find("CH_SELECT_V=0012\r\n"), std::string::npos);
    EXPECT_NE(d.find("MULTICAST_ON=n\r\n"), std::string::npos);
    EXPECT_NE(d.find("IP_MODE=static\r\n"), std::string::npos);
}
