// cortavia-cli on one shared site where endpoints are not what they seem:
// another endpoint at the address a restart should come back at, console
// noise and binary bytes around the replies, addresses that would lose an
// endpoint. Each case is checked on the simulator's wire log. One fleet
// serves every case, each on endpoints of its own.
#include "cli/Records.h"
#include "tests/cli/CliRun.h"
#include "tests/cli/TftpServer.h"
#include "lan/WorkstationLock.h"
#include "tools/endpoint-sim/harness/SimProcess.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

using Json = cv::cli::Record;
using cv::cli_test::Cli;
using cv::sim::SimProcess;
namespace fs = std::filesystem;

namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string Temp(const std::string& name, const std::string& text)
{
    const fs::path p = fs::temp_directory_path() / ("cv-site-" + std::to_string(::getpid()) + "-" + name);
    std::ofstream(p, std::ios::binary) << text;
    return p.string();
}

// Nothing a terminal obeys: no C0 control but the line feed, no DEL, no
// byte that is not UTF-8.
void ExpectTerminalSafe(const std::string& text, const char* stream)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool control = (c < 0x20 && c != '\n' && c != '\r') || c == 0x7F;
        ASSERT_FALSE(control) << stream << " byte " << i << " is " << int(c) << ":\n" << text;
        ASSERT_LT(c, 0x80) << stream << " byte " << i << ": the noise's bytes are escaped, all of them";
    }
}

class CliSite : public ::testing::Test {
protected:
    // 198.18.1.1 is a transmitter; receivers 198.18.2.1 to .9. Noise before
    // every echo at .5, 64 binary bytes before every reply at .6, 3000
    // bytes of flood before every reply at .7; .9 takes connections and
    // never answers.
    static void SetUpTestSuite()
    {
        sim = new SimProcess({"--tx", "1", "--rx", "9", "--reboot-delay", "300", "--fault", "noise=64@198.18.2.5",
                              "--fault", "garbage=64@198.18.2.6", "--fault", "flood=3000@198.18.2.7", "--fault",
                              "silent@198.18.2.9"});
        if (!sim->start())
            GTEST_FAIL() << sim->error();
    }
    static void TearDownTestSuite()
    {
        delete sim;
        sim = nullptr;
    }
    static bool Changed(const std::string& ip)
    {
        const std::string wire = sim->wireBytes(ip);
        return Has(wire, "astparam s") || Has(wire, "reboot");
    }
    static inline SimProcess* sim = nullptr;
};

}  // namespace

TEST_F(CliSite, AnotherEndpointAtTheAddressIsRefusedAndForcedIsNeverTakenForTheOneRestarted)
{
    const std::vector<std::string> set = {"set",         "198.18.2.3", "--static",     "198.18.2.2", "--netmask",
                                          "255.255.0.0", "--gateway",  "198.18.0.254", "--reboot",   "--csv"};
    const auto refused = Cli(set);
    EXPECT_EQ(refused.rc, 2) << refused.err;
    EXPECT_TRUE(Has(refused.err, "another endpoint (MAC 02:00:C6:12:02:02) already answers at 198.18.2.2"))
        << refused.err;
    EXPECT_TRUE(Has(refused.err, "--force in-use")) << refused.err;
    EXPECT_FALSE(Changed("198.18.2.3"));

    auto forcedArgs = set;
    forcedArgs.insert(forcedArgs.end(), {"--force", "in-use"});
    const auto forced = Cli(forcedArgs);
    EXPECT_EQ(forced.rc, 1) << forced.out << forced.err;
    EXPECT_FALSE(Has(forced.out, ",confirmed,")) << forced.out;
    EXPECT_TRUE(Has(forced.out, "another endpoint (MAC 02:00:C6:12:02:02) answers at 198.18.2.2")) << forced.out;
    EXPECT_TRUE(Has(sim->wireBytes("198.18.2.3"), "astparam s ipaddr 198.18.2.2\r\n"));
    EXPECT_TRUE(Has(sim->wireBytes("198.18.2.3"), "reboot\r\n"));
    EXPECT_FALSE(Changed("198.18.2.2")) << "the other endpoint is only read";

    // A plan by MAC looks in the scan it made.
    const std::string plan = Temp("inuse.csv",
                                  "mac,ip_mode,ipaddr,netmask,gateway\n"
                                  "02:00:c6:12:02:04,static,198.18.2.1,255.255.0.0,198.18.0.254\n");
    const auto byMac = Cli({"set", "--plan", plan, "--reboot", "--reply-timeout", "1"});
    EXPECT_EQ(byMac.rc, 2) << byMac.err;
    EXPECT_TRUE(
        Has(byMac.err, "line 2: ipaddr: another endpoint (MAC 02:00:c6:12:02:01) already answers at 198.18.2.1"))
        << byMac.err;
    EXPECT_FALSE(Changed("198.18.2.4"));
    fs::remove(plan);
}

TEST_F(CliSite, AnAddressNoCardOfThisWorkstationReachesIsRefusedBeforeAnythingIsSent)
{
    const auto far = Cli({"set", "198.18.2.1", "--static", "192.168.1.50", "--netmask", "255.255.255.0", "--gateway",
                          "192.168.1.1", "--reboot"});
    EXPECT_EQ(far.rc, 2);
    EXPECT_TRUE(Has(far.err, "outside every subnet of this workstation (198.18.0.1/16")) << far.err;
    EXPECT_TRUE(Has(far.err, "this workstation cannot reach it (--force unreachable")) << far.err;
    EXPECT_FALSE(Changed("198.18.2.1"));
}

TEST_F(CliSite, AStaticMoveReportsTheNewAddressItWasConfirmedAt)
{
    const auto moved = Cli({"set", "198.18.2.4", "--static", "198.18.2.44", "--netmask", "255.255.0.0", "--gateway",
                            "198.18.0.254", "--reboot", "--json"});
    ASSERT_EQ(moved.rc, 0) << moved.err;
    const Json rows = moved.json();
    ASSERT_EQ(rows.size(), 4u) << moved.out;
    for (const Json& row : rows) {
        EXPECT_EQ(row["status"], "confirmed") << row.dump();
        EXPECT_EQ(row["new_address"], "198.18.2.44") << row.dump();
    }
    EXPECT_TRUE(sim->waitForEvent("198.18.2.44", "moved from 198.18.2.4", std::chrono::seconds(1)));
}

TEST_F(CliSite, NoiseAroundTheRepliesNeverLandsInAValueNorOnTheTerminal)
{
    // Noise before the echo: the channel line is read whole, and holds.
    const auto clean = Cli({"set", "198.18.2.5", "--channel", "0007", "--json"});
    EXPECT_EQ(clean.rc, 0) << clean.err;
    EXPECT_EQ(clean.json()[0]["status"], "confirmed") << clean.out;
    // Binary bytes or a flood glued to the value: no channel can be read,
    // which says nothing of a mismatch.
    for (const char* ip : {"198.18.2.6", "198.18.2.7"}) {
        const auto glued = Cli({"set", ip, "--channel", "0007", "--json"});
        EXPECT_EQ(glued.rc, 1) << ip;
        EXPECT_EQ(glued.json()[0]["status"], "unreadable") << glued.out;
        EXPECT_FALSE(Has(glued.err, "mismatch")) << glued.err;
        EXPECT_TRUE(Has(sim->wireBytes(ip), "e e_reconnect::0007\r\n")) << "it was sent";
        ExpectTerminalSafe(glued.err, "stderr");
    }
    const auto table = Cli({"set", "198.18.2.6", "--channel", "0007"});
    ExpectTerminalSafe(table.out, "stdout");
    ExpectTerminalSafe(table.err, "stderr");
    const auto inventory = Cli({"inventory", "--csv", "--reply-timeout", "1"});
    EXPECT_LT(inventory.out.size(), 4000u) << "no flood in a cell";
    ExpectTerminalSafe(inventory.out, "stdout");
    ExpectTerminalSafe(inventory.err, "stderr");
    EXPECT_TRUE(Has(inventory.out, "198.18.2.5,rx,")) << inventory.out;
    for (const std::string line : {"198.18.2.5,", "198.18.2.6,", "198.18.2.7,"}) {
        const std::size_t at = inventory.out.find("\n" + line);
        ASSERT_NE(at, std::string::npos) << line;
        const std::string row = inventory.out.substr(at + 1, inventory.out.find('\n', at + 1) - at - 1);
        EXPECT_TRUE(line == "198.18.2.5," ? Has(row, ",0007,") : !Has(row, "0007")) << row;
    }
}

TEST_F(CliSite, AWallTooSmallForTheSiteSharedCellsAndOverlapsAreSaidBeforeAnythingIsSent)
{
    const auto wallLines = [] {
        int n = 0;
        for (int i = 1; i <= 8; ++i)
            n += Has(sim->wireBytes("198.18.2." + std::to_string(i)), "e_vw_enable");
        return n;
    };
    const auto tooSmall = Cli({"wall", "quick", "2x2", "--bezel", "12170,6870,12100,6800", "--reply-timeout", "1"});
    EXPECT_EQ(tooSmall.rc, 2);
    EXPECT_TRUE(Has(tooSmall.err, "lists 9 receivers for a wall of 4 cells")) << tooSmall.err;
    EXPECT_TRUE(Has(tooSmall.err, "--wrap")) << tooSmall.err;
    EXPECT_EQ(wallLines(), 0);
    EXPECT_EQ(Cli({"wall", "quick", "2x2", "--bezel", "12170,6870,12100,6800", "--wrap", "--order", "198.18.2.1"}).rc,
              2)
        << "--wrap is for a scan's receivers";

    const std::string shared = Temp("shared.json", R"({"rows": 1, "columns": 2,
        "bezel": {"ow": 12170, "oh": 6870, "vw": 12100, "vh": 6800},
        "placements": [{"row": 0, "column": 1, "address": "198.18.2.1"},
                       {"row": 0, "column": 1, "address": "198.18.2.2"}]})");
    const auto twoInOne = Cli({"wall", "apply", shared});
    EXPECT_EQ(twoInOne.rc, 2);
    EXPECT_TRUE(Has(twoInOne.err, "cell 0,1 holds 198.18.2.1 and 198.18.2.2")) << twoInOne.err;
    EXPECT_EQ(wallLines(), 0);

    // The same overlap rule and words for quick and apply.
    const std::string overlap = Temp("overlap.json", R"({"rows": 1, "columns": 2,
        "bezel": {"ow": 12000, "oh": 6870, "vw": 12100, "vh": 6800},
        "placements": [{"row": 0, "column": 1, "address": "198.18.2.1"}]})");
    const auto applied = Cli({"wall", "apply", overlap});
    EXPECT_EQ(applied.rc, 0) << applied.err;
    const std::string warning = "warning: the visible picture (VW 12100, VH 6800) is larger than the pitch (OW 12000, "
                                "OH 6870): neighbouring tiles overlap";
    EXPECT_TRUE(Has(applied.err, warning)) << applied.err;
    const auto quick =
        Cli({"wall", "quick", "1x2", "--bezel", "12000,6870,12100,6800", "--order", "198.18.2.2", "--json"});
    EXPECT_EQ(quick.rc, 0) << quick.err;
    EXPECT_TRUE(Has(quick.err, warning)) << quick.err;
    EXPECT_EQ(wallLines(), 2);
    fs::remove(shared);
    fs::remove(overlap);
}

TEST_F(CliSite, AnUpgradeSendsOnlyTheFileUnderTftpRootAndTheSameVersionIsNoUpgrade)
{
    cv::cli_test::TftpServer server;
    ASSERT_TRUE(server.Start());
    // The server gives out its own 300,000-byte image; --tftp-root names a
    // folder with a 1,234-byte one.
    server.Put("webfwc.bin", "version=A7.3.9\n" + std::string(300000 - 15, 'x'));
    const fs::path other = fs::temp_directory_path() / ("cv-site-root-" + std::to_string(::getpid()));
    fs::create_directories(other);
    std::ofstream(other / "webfwc.bin", std::ios::binary) << std::string(1234, 'y');
    const auto wrong = Cli({"upgrade", "198.18.2.8", "--tftp-root", other.string(), "--json"});
    EXPECT_EQ(wrong.rc, 1);
    EXPECT_TRUE(Has(wrong.err, "gives out a webfwc.bin of 300000 bytes, not the")) << wrong.err;
    EXPECT_TRUE(Has(wrong.err, "of 1234 bytes")) << wrong.err;
    // Same size, other bytes: the checksum tells.
    std::ofstream(other / "webfwc.bin", std::ios::binary) << "version=A7.3.9\n" + std::string(300000 - 15, 'z');
    const auto sameSize = Cli({"upgrade", "198.18.2.8", "--tftp-root", other.string()});
    EXPECT_EQ(sameSize.rc, 1);
    EXPECT_TRUE(Has(sameSize.err, "(checksums differ)")) << sameSize.err;
    EXPECT_FALSE(Has(sim->wireBytes("198.18.2.8"), "tftp")) << "refused before anything was sent";
    fs::remove_all(other);

    // The server's own folder: sent. The same version after is no upgrade.
    server.Put("webfwc.bin", "same image, no version line");
    const auto same = Cli({"upgrade", "198.18.2.8", "--tftp-root", server.dir(), "--json"});
    EXPECT_EQ(same.rc, 1) << same.err;
    EXPECT_EQ(same.json()[0]["status"], "unchanged") << same.out;
    EXPECT_TRUE(Has(same.err, "--same-version-ok")) << same.err;
    EXPECT_TRUE(Has(sim->wireBytes("198.18.2.8"), "/usr/local/bin/update_fw.sh\r\n"));
    EXPECT_EQ(Cli({"upgrade", "198.18.2.8", "--tftp-root", server.dir(), "--same-version-ok"}).rc, 0);
    server.Put("webfwc.bin", "version=A7.3.9\nnew");
    const auto upgraded = Cli({"upgrade", "198.18.2.8", "--tftp-root", server.dir(), "--json"});
    EXPECT_EQ(upgraded.rc, 0) << upgraded.err;
    EXPECT_EQ(upgraded.json()[0]["status"], "upgraded");
    EXPECT_EQ(upgraded.json()[0]["version_after"], "A7.3.9");
}

TEST_F(CliSite, ARunChangingAnEndpointMakesAnotherWaitOrWithNoWaitRefuseNamingItsProcess)
{
    // Another run (this test, here) is changing 198.18.2.2.
    auto held = cv::lan::WorkstationLock::TryTake(cv::lan::EndpointLockName("02:00:c6:12:02:02"));
    ASSERT_TRUE(held);
    const std::size_t before = sim->wireBytes("198.18.2.2").size();
    const auto refused = Cli({"set", "198.18.2.2", "--channel", "0011", "--no-wait", "--json"});
    EXPECT_EQ(refused.rc, 1);
    EXPECT_TRUE(Has(refused.err, "lock failed: another run (")) << refused.err;
    EXPECT_TRUE(Has(refused.err, "pid " + std::to_string(::getpid()))) << refused.err;
    EXPECT_FALSE(Has(sim->wireBytes("198.18.2.2").substr(before), "astparam s")) << "only its detail query";

    // Without --no-wait it waits, says for whom, and goes on once let go.
    auto waiting = std::async(std::launch::async, [] { return Cli({"set", "198.18.2.2", "--channel", "0011"}); });
    EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(800)), std::future_status::timeout);
    EXPECT_FALSE(Has(sim->wireBytes("198.18.2.2").substr(before), "astparam s")) << "nothing while it waits";
    held->Release();
    const auto done = waiting.get();
    EXPECT_EQ(done.rc, 0) << done.err;
    EXPECT_TRUE(Has(done.err, "198.18.2.2: waiting: another run (")) << done.err;
    EXPECT_TRUE(Has(sim->wireBytes("198.18.2.2"), "e e_reconnect::0011"));
}

TEST_F(CliSite, SmallThingsAnIntegratorMet)
{
    // A silent endpoint of the scan is not "not in the scan".
    const std::string plan = Temp("silent.csv", "mac,channel\n02:00:c6:12:02:09,0005\n02:00:c6:12:02:01,0005\n");
    const auto silent = Cli({"set", "--plan", plan, "--reply-timeout", "1"});
    EXPECT_EQ(silent.rc, 1);
    EXPECT_TRUE(Has(silent.err, "not found: 1 endpoint(s) of the scan did not answer their detail query (198.18.2.9)"))
        << silent.err;
    fs::remove(plan);

    // reboot and factory-default find every endpoint first, as set does.
    for (const std::vector<std::string>& restart :
         {std::vector<std::string>{"reboot", "198.18.2.1", "198.18.2.9", "--reply-timeout", "1"},
          {"factory-default", "198.18.2.1", "198.18.2.9", "--yes", "--reply-timeout", "1"}}) {
        const auto r = Cli(restart);
        EXPECT_EQ(r.rc, 1) << restart[0];
        EXPECT_TRUE(Has(r.err, "--partial")) << r.err;
    }
    EXPECT_FALSE(Changed("198.18.2.1")) << "nothing restarted";

    // An unknown card is said once.
    const auto card = Cli({"scan", "--interface", "nope0"});
    EXPECT_EQ(card.rc, 2);
    const std::string said = "no usable network card named nope0";
    EXPECT_EQ(card.err.find(said), card.err.rfind(said)) << card.err;
}
