// cortavia-cli against endpoint-sim in the test LAN: every subcommand, with
// endpoints that refuse, stay silent or never come back from a reboot, and
// the bytes each one put on the wire read from the simulator's log.
#include "cli/Cli.h"
#include "cli/Records.h"
#include "tests/cli/CliRun.h"
#include "tests/cli/TftpServer.h"
#include "tools/endpoint-sim/harness/SimProcess.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

using Json = cv::cli::Record;
using cv::cli_test::Cli;
using cv::cli_test::Result;
using cv::cli_test::TftpServer;
using cv::sim::SimProcess;
using namespace std::string_literals;
namespace fs = std::filesystem;

namespace {

const std::string kLogin = "root\r\n";
const std::string kDetailLines = "root\r\nlmparam g CH_SELECT_V\r\ncat /etc/version\r\nlmparam dump\r\n";

std::string Field(const Json& row, const char* key)
{
    const auto v = row.find(key);
    return v == row.end() ? std::string() : v->is_string() ? v->get<std::string>() : v->dump();
}

class CliLan : public ::testing::Test {
protected:
    void Start(std::vector<std::string> args)
    {
        sim = std::make_unique<SimProcess>(std::move(args));
        ASSERT_TRUE(sim->start()) << sim->error();
    }
    std::string Conn(const std::string& ip, std::size_t i) const
    {
        const auto c = sim->connectionBytes(ip);
        return i < c.size() ? c[i] : std::string();
    }
    std::unique_ptr<SimProcess> sim;
};

}  // namespace

// --- scan, inventory, show ---------------------------------------------------------

TEST_F(CliLan, InventoryKeepsEveryEndpointAndNamesTheOnesThatDoNotAnswer)
{
    Start({"--tx", "2", "--rx", "3", "--fault", "silent@198.18.2.3", "--fault", "no-discovery@198.18.2.3", "--fault",
           "refuse@198.18.1.2", "--fault", "no-discovery@198.18.1.2"});
    const Result scan = Cli({"scan", "--json"});
    ASSERT_EQ(scan.rc, 0) << scan.err;
    const auto rows = scan.json();
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(Field(rows[0], "kind"), "tx");
    EXPECT_EQ(Field(rows[0], "address"), "198.18.1.2") << "the TX list shows the newest first";
    EXPECT_EQ(Field(rows[4], "address"), "198.18.2.3");
    EXPECT_EQ(Field(rows[4], "number"), "2");
    EXPECT_EQ(Field(rows[4], "hostname_id"), "rx-003");

    const auto start = std::chrono::steady_clock::now();
    const Result inv = Cli({"inventory", "--json", "--reply-timeout", "1"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60))
        << "a silent endpoint costs its reply timeout, not forever";
    EXPECT_EQ(inv.rc, 1);
    const auto records = inv.json();
    ASSERT_EQ(records.size(), 5u);
    for (const Json& r : records) {
        const std::string a = Field(r, "address");
        if (a == "198.18.2.3") {
            EXPECT_NE(Field(r, "error").find("login"), std::string::npos) << Field(r, "error");
            EXPECT_EQ(Field(r, "hostname_id"), "rx-003") << "the node list's values stay";
        } else if (a == "198.18.1.2") {
            EXPECT_FALSE(Field(r, "error").empty());
        } else {
            EXPECT_TRUE(r["error"].is_null()) << a;
            EXPECT_EQ(Field(r, "version"), "A7.3.1");
            EXPECT_EQ(Field(r, "ip_mode"), "autoip");
            EXPECT_EQ(Field(r, "state"), "s_srv_on");
            EXPECT_EQ(Field(r, "mac").size(), 17u);
        }
    }
    EXPECT_NE(inv.err.find("198.18.2.3: login failed"), std::string::npos) << inv.err;

    const Result csv = Cli({"inventory", "--csv", "--quiet", "--reply-timeout", "1"});
    EXPECT_EQ(csv.out.substr(0, csv.out.find("\r\n")),
              "address,kind,number,hostname_id,version,mac,state,multicast,channel,ip_mode,netmask,gateway,error");
    EXPECT_EQ(std::count(csv.out.begin(), csv.out.end(), '\n'), 6);

    const Result show = Cli({"show", "198.18.2.1", "--json"});
    ASSERT_EQ(show.rc, 0) << show.err;
    ASSERT_EQ(show.json().size(), 1u) << "an array of one, as inventory's";
    EXPECT_EQ(Field(show.json()[0], "kind"), "rx");
    EXPECT_EQ(Field(show.json()[0], "channel"), "0000");
    EXPECT_EQ(Conn("198.18.2.1", sim->connectionBytes("198.18.2.1").size() - 1), kDetailLines);
    EXPECT_EQ(Cli({"show", "198.18.1.2"}).rc, 1);
}

TEST_F(CliLan, ALastResponderWhoseShellIsSilentDoesNotCostTheFleet)
{
    // It answers discovery last, but its shell never speaks: the node list
    // comes from the responder before it, and the silent one is named.
    Start({"--tx", "1", "--rx", "3", "--fault", "silent@198.18.2.3"});
    const Result scan = Cli({"scan", "--json", "--reply-timeout", "1"});
    ASSERT_EQ(scan.rc, 0) << scan.err;
    EXPECT_EQ(scan.json().size(), 4u) << scan.out;
    EXPECT_NE(scan.err.find("198.18.2.3: login failed"), std::string::npos) << scan.err;
    EXPECT_NE(scan.err.find("node list from 198.18.2.2"), std::string::npos) << scan.err;
    EXPECT_EQ(sim->wireBytes("198.18.2.2"), kLogin + "node_query --dump\r\n");
}

TEST_F(CliLan, ScanWithNoAnswerOrAnUnknownCardFails)
{
    Start({"--rx", "1", "--no-discovery"});
    const Result none = Cli({"scan"});
    EXPECT_EQ(none.rc, 1);
    EXPECT_NE(none.err.find("no endpoint answered"), std::string::npos) << none.err;
    EXPECT_EQ(Cli({"scan", "--interface", "no-such-card0"}).rc, 2);
}

// --- set -----------------------------------------------------------------------------

TEST_F(CliLan, SetSendsApplysBytesAndConfirmsHostnameAndChannelAtOnce)
{
    Start({"--node", "rx ip=198.18.2.1 hostname_id=rx-001 channel=0003"});
    const Result r = Cli({"set", "198.18.2.1", "--hostname", "lobby-1", "--channel", "0042", "--json"});
    ASSERT_EQ(r.rc, 0) << r.err;
    const auto rows = r.json();
    ASSERT_EQ(rows.size(), 2u);
    for (const Json& row : rows)
        EXPECT_EQ(Field(row, "status"), "confirmed") << row.dump();
    EXPECT_EQ(Conn("198.18.2.1", 0),
              kDetailLines + "astparam s hostname_id lobby-1\r\ne e_chg_hostname\r\nastparam save\r\n" +
                  "astparam s reset_ch_on_boot n\r\n\0astparam save\r\n\0e e_reconnect::0042\r\n\0"s);
    EXPECT_EQ(Conn("198.18.2.1", 1), kDetailLines) << "the read-back is a fresh detail query";
}

TEST_F(CliLan, CastingAndIpArePendingWithoutRebootAndConfirmedAfterIt)
{
    Start({"--node", "rx ip=198.18.2.1", "--node", "rx ip=198.18.2.2 ip_mode=dhcp", "--reboot-delay", "500"});
    const Result pending = Cli({"set", "198.18.2.1", "--unicast", "--json"});
    ASSERT_EQ(pending.rc, 0) << pending.err;
    EXPECT_EQ(Field(pending.json()[0], "status"), "pending");
    EXPECT_EQ(Conn("198.18.2.1", 0), kDetailLines + "astparam s multicast_on n\r\n\0astparam save\r\n"s);

    const Result rebooted = Cli({"set", "198.18.2.2", "--multicast", "--static", "198.18.2.2", "--netmask",
                                 "255.255.0.0", "--gateway", "198.18.0.254", "--reboot", "--json"});
    ASSERT_EQ(rebooted.rc, 0) << rebooted.err;
    const auto rows = rebooted.json();
    ASSERT_EQ(rows.size(), 5u);
    for (const Json& row : rows)
        EXPECT_EQ(Field(row, "status"), "confirmed") << row.dump();
    EXPECT_EQ(Conn("198.18.2.2", 0),
              kDetailLines + "astparam s multicast_on y\r\n\0astparam save\r\n"s +
                  "astparam s ipaddr 198.18.2.2\r\nastparam s netmask 255.255.0.0\r\n"
                  "astparam s gatewayip 198.18.0.254\r\nastparam s ip_mode static\r\nastparam save\r\n"
                  "reboot\r\n\0"s);
    EXPECT_TRUE(sim->waitForEvent("198.18.2.2", "reboot"));
}

TEST_F(CliLan, SetRefusesBadTextBeforeConnectingAndATransmitterHostnameBeforeSending)
{
    Start({"--tx", "1", "--rx", "1"});
    for (const char* bad : {"two words", "x;reboot", "caf\xC3\xA9", "aaaaaaaaaaaaaaaaaaaaaaaaa"})
        EXPECT_EQ(Cli({"set", "198.18.2.1", "--hostname", bad}).rc, 2) << bad;
    EXPECT_TRUE(sim->connectionBytes("198.18.2.1").empty());

    // Not even the channel goes out beside it: the operator named the wrong box.
    const Result tx = Cli({"set", "198.18.1.1", "--hostname", "tx1", "--channel", "0009", "--json"});
    EXPECT_EQ(tx.rc, 2);
    EXPECT_NE(tx.err.find("198.18.1.1 is a transmitter"), std::string::npos) << tx.err;
    EXPECT_EQ(sim->wireBytes("198.18.1.1"), kDetailLines);
    EXPECT_EQ(Cli({"set", "198.18.1.1", "--channel", "0009"}).rc, 0) << "a channel alone is fine";

    // A silent endpoint fails at the login, within the reply time-out.
    sim.reset();
    Start({"--rx", "1", "--fault", "silent"});
    const Result silent = Cli({"set", "198.18.2.1", "--channel", "0001", "--reply-timeout", "1"});
    EXPECT_EQ(silent.rc, 1);
    EXPECT_NE(silent.err.find("login failed"), std::string::npos) << silent.err;
}

TEST_F(CliLan, APlanKeyedByMacSetsEachEndpointAndABadPlanSendsNothingAnywhere)
{
    Start({"--tx", "1", "--rx", "3"});
    const fs::path plan = fs::temp_directory_path() / ("cv-cli-plan-" + std::to_string(::getpid()) + ".csv");
    std::ofstream(plan) << "mac,hostname_id,channel\n02:00:c6:12:02:01,hall-a,0005\n02:00:C6:12:02:03,hall-c,\n";
    const Result r = Cli({"set", "--plan", plan.string(), "--json"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.json().size(), 3u);
    EXPECT_TRUE(sim->waitForEvent("198.18.2.1", "hostname hall-a"));
    EXPECT_TRUE(sim->waitForEvent("198.18.2.1", "reconnect 0005"));
    EXPECT_TRUE(sim->waitForEvent("198.18.2.3", "hostname hall-c"));
    EXPECT_EQ(sim->events("198.18.2.2").find("astparam_set"), std::string::npos);

    const std::size_t before = sim->connectionBytes("198.18.2.1").size();
    std::ofstream(plan) << "address,channel\n198.18.2.1,0006\n198.18.2.2,0200\n";
    EXPECT_EQ(Cli({"set", "--plan", plan.string()}).rc, 2);
    EXPECT_EQ(sim->connectionBytes("198.18.2.1").size(), before);

    std::ofstream(plan) << "mac,channel\n02:00:00:00:00:99,0006\n";
    const Result missing = Cli({"set", "--plan", plan.string()});
    EXPECT_EQ(missing.rc, 1);
    EXPECT_NE(missing.err.find("02:00:00:00:00:99"), std::string::npos);
    fs::remove(plan);
}

// --- restarts --------------------------------------------------------------------------

TEST_F(CliLan, RebootWaitsForEachEndpointAndFailsTheOneThatNeverReturns)
{
    Start({"--rx", "2", "--reboot-delay", "800"});
    const Result r = Cli({"reboot", "198.18.2.1", "198.18.2.2", "--json"});
    ASSERT_EQ(r.rc, 0) << r.err;
    const Json rebooted = r.json();
    for (const Json& row : rebooted) {
        EXPECT_EQ(Field(row, "status"), "back");
        ASSERT_TRUE(row.contains("seconds"));
        EXPECT_GE(row["seconds"].get<double>(), 0.7);
    }
    // Found and read first (who it is), then the restart on a session of its own.
    const auto sessions = sim->connectionBytes("198.18.2.1");
    EXPECT_EQ(std::count(sessions.begin(), sessions.end(), kLogin + "reboot\r\n\0"s), 1);

    sim.reset();
    Start({"--rx", "2", "--reboot-delay", "600000", "--fault", "refuse@198.18.2.2"});
    const auto start = std::chrono::steady_clock::now();
    const Result gone = Cli({"reboot", "198.18.2.1", "198.18.2.2", "--timeout", "2", "--json", "--partial"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60))
        << "--timeout 2, not the 120 s default";
    EXPECT_EQ(gone.rc, 1);
    const auto rows = gone.json();
    EXPECT_NE(Field(rows[0], "error").find("come back"), std::string::npos) << rows[0].dump();
    // One that refuses is found missing before anything is restarted.
    const std::string refused = Field(rows[1], "error");
    EXPECT_TRUE(refused.starts_with("find: ")) << rows[1].dump();
    EXPECT_EQ(Field(rows[1], "status"), "failed");
}

TEST_F(CliLan, FactoryDefaultNeedsYesThenResetsRestartsAndReadsTheDefaultsBack)
{
    Start({"--rx", "1", "--reboot-delay", "300"});
    ASSERT_EQ(Cli({"set", "198.18.2.1", "--hostname", "renamed"}).rc, 0);
    const std::size_t before = sim->connectionBytes("198.18.2.1").size();
    EXPECT_EQ(Cli({"factory-default", "198.18.2.1"}).rc, 2);
    EXPECT_EQ(sim->connectionBytes("198.18.2.1").size(), before);

    const Result r = Cli({"factory-default", "198.18.2.1", "--yes"});
    ASSERT_EQ(r.rc, 0) << r.err;
    // Found first (its detail query), then the reset on a session of its own.
    EXPECT_EQ(Conn("198.18.2.1", before), kDetailLines);
    EXPECT_EQ(Conn("198.18.2.1", before + 1), kLogin + "reset_to_default.sh\r\n\0reboot\r\n\0"s);
    const Result show = Cli({"show", "198.18.2.1", "--json"});
    EXPECT_EQ(Field(show.json()[0], "hostname_id"), "rx-001");
}

// --- upgrade ------------------------------------------------------------------------------

TEST_F(CliLan, UpgradeChecksTheServerThenFetchesTheFileByteForByte)
{
    TftpServer server;
    ASSERT_TRUE(server.Start());
    const std::string image = "version=A7.3.2\nfirmware image \x01\x02\x03 for receivers";
    server.Put("webfwc.bin", image);
    Start({"--rx", "2", "--tftp", "real"});
    const Result r = Cli({"upgrade", "198.18.2.1", "198.18.2.2", "--tftp-root", server.dir(), "--json"});
    ASSERT_EQ(r.rc, 0) << r.err;
    const Json upgraded = r.json();
    for (const Json& row : upgraded) {
        EXPECT_EQ(Field(row, "status"), "upgraded") << row.dump();
        EXPECT_EQ(Field(row, "server"), "198.18.0.1");
        EXPECT_EQ(Field(row, "version_before"), "A7.3.1");
        EXPECT_EQ(Field(row, "version_after"), "A7.3.2");
    }
    EXPECT_EQ(Conn("198.18.2.1", 0),
              kDetailLines +
                  "cd /dev/shm\r\ntftp -v 198.18.0.1 -c get webfwc.bin\r\nrm -f mtdblk*\r\n"
                  "rm -f *.sh\r\nmv webfwc.bin fw.tar.gz\r\n/usr/local/bin/update_fw.sh\r\n");
    std::ifstream fetched(sim->stateDir() + "/198.18.2.2/shm/fw.tar.gz", std::ios::binary);
    std::stringstream got;
    got << fetched.rdbuf();
    EXPECT_EQ(got.str(), image);
    EXPECT_TRUE(sim->waitForEvent("198.18.2.2", "update_fw fw.tar.gz"));

    // The transmitter's file is not there: nothing past the detail query.
    sim.reset();
    Start({"--tx", "1"});
    const Result missing = Cli({"upgrade", "198.18.1.1", "--tftp-root", server.dir()});
    EXPECT_EQ(missing.rc, 1);
    EXPECT_NE(missing.err.find("tftp check failed: put webfwh.bin"), std::string::npos) << missing.err;
    server.Put("webfwh.bin", "x");  // in the directory, but the endpoint's fetch fails
    sim.reset();
    Start({"--tx", "1", "--tftp", "notfound"});
    const Result notFound = Cli({"upgrade", "198.18.1.1", "--tftp-root", server.dir()});
    EXPECT_EQ(notFound.rc, 1);
    EXPECT_NE(notFound.err.find("fetch failed"), std::string::npos) << notFound.err;
    EXPECT_EQ(sim->wireBytes("198.18.1.1"), kDetailLines + "cd /dev/shm\r\ntftp -v 198.18.0.1 -c get webfwh.bin\r\n")
        << "no update after a failed fetch";
}

TEST_F(CliLan, UpgradeWithNoServerStopsBeforeAnyUpgradeLine)
{
    Start({"--rx", "1"});
    const fs::path dir = fs::temp_directory_path() / ("cv-cli-noserver-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "webfwc.bin") << "image";
    const auto start = std::chrono::steady_clock::now();
    const Result r = Cli({"upgrade", "198.18.2.1", "--tftp-root", dir.string()});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60))
        << "the check gives up; the 600 s upgrade wait never starts";
    fs::remove_all(dir);
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find("no TFTP server answers at 198.18.0.1"), std::string::npos) << r.err;
    EXPECT_EQ(sim->wireBytes("198.18.2.1"), kDetailLines);
}

// --- wall and osd ----------------------------------------------------------------------------

TEST_F(CliLan, QuickLayoutSendsTheWorkedExampleAndASavedLayoutAppliesAgain)
{
    Start({"--rx", "6"});
    const fs::path layout = fs::temp_directory_path() / ("cv-cli-wall-" + std::to_string(::getpid()) + ".json");
    const Result r = Cli({"wall", "quick", "2x3", "--bezel", "12170,6870,12100,6800", "--save", layout.string()});
    ASSERT_EQ(r.rc, 0) << r.err;
    const char* tiles[] = {"0 0 3320 4974",     "3339 0 6660 4974",     "6679 0 10000 4974",
                           "0 5025 3320 10000", "3339 5025 6660 10000", "6679 5025 10000 10000"};
    for (int i = 0; i < 6; ++i) {
        const std::string ip = "198.18.2." + std::to_string(i + 1);
        EXPECT_TRUE(sim->waitForEvent(ip, "wall_enable "s + tiles[i] + " 2")) << ip;
        EXPECT_EQ(sim->connectionBytes(ip).back().substr(0, 6), kLogin);
    }

    // Edit the saved file as an integrator would: a stretch for everyone,
    // one receiver rotated.
    std::stringstream text;
    text << std::ifstream(layout).rdbuf();
    Json saved = Json::parse(text.str(), nullptr, false);
    ASSERT_FALSE(saved.is_discarded()) << text.str();
    saved["stretch"] = "out";
    saved["placements"][5]["rotate"] = 180u;
    std::ofstream(layout) << saved.dump(2);
    const Result applied = Cli({"wall", "apply", layout.string()});
    ASSERT_EQ(applied.rc, 0) << applied.err;
    EXPECT_EQ(sim->connectionBytes("198.18.2.6").back(),
              kLogin + "e e_vw_enable_6679_5025_10000_10000_2\r\ne e_vw_stretch_type_1\r\ne e_vw_rotate_3\r\n");
    EXPECT_TRUE(sim->waitForEvent("198.18.2.6", "wall_rotate 3"));

    // Place moves a receiver in the saved file as the grid would.
    ASSERT_EQ(Cli({"wall", "place", "198.18.2.1", "1", "2", "--size", "2x3", "--bezel", "12170,6870,12100,6800",
                   "--save", layout.string()})
                  .rc,
              0);
    EXPECT_EQ(sim->connectionBytes("198.18.2.1").back(), kLogin + "e e_vw_enable_6679_5025_10000_10000_2\r\n");
    std::stringstream s;
    s << std::ifstream(layout).rdbuf();
    const auto after = Json::parse(s.str())["placements"];
    EXPECT_EQ(after.size(), 5u) << "receiver 6 lost its cell to receiver 1";
    fs::remove(layout);

    EXPECT_EQ(Cli({"wall", "stretch", "fit", "198.18.2.2"}).rc, 0);
    EXPECT_EQ(sim->connectionBytes("198.18.2.2").back(), kLogin + "e e_vw_stretch_type_2\r\n");
    EXPECT_EQ(Cli({"wall", "rotate", "270", "198.18.2.3"}).rc, 0);
    EXPECT_EQ(sim->connectionBytes("198.18.2.3").back(), kLogin + "e e_vw_rotate_6\r\n");
}

TEST_F(CliLan, OsdUsesTheReceiverListsNumbersAndReportsStrangers)
{
    Start({"--tx", "1", "--rx", "3", "--fault", "refuse@198.18.2.2", "--fault", "no-discovery@198.18.2.2"});
    const Result on = Cli({"osd", "on", "--json"});
    EXPECT_EQ(on.rc, 1) << "one receiver refuses";
    EXPECT_EQ(sim->connectionBytes("198.18.2.3").back(), kLogin + "big_osd_on.sh \"2\"\r\n");
    EXPECT_EQ(sim->connectionBytes("198.18.2.1").back(), kLogin + "big_osd_on.sh \"0\"\r\n");
    EXPECT_EQ(Field(on.json()[1], "status"), "failed");

    // A stranger stops the run before any line; --partial lets the rest go.
    const Result refused = Cli({"osd", "off", "198.18.2.3", "198.18.9.9"});
    EXPECT_EQ(refused.rc, 1);
    EXPECT_NE(refused.err.find("198.18.9.9: find failed"), std::string::npos) << refused.err;
    EXPECT_EQ(sim->wireBytes("198.18.2.3").find("osd_off"), std::string::npos);
    const Result off = Cli({"osd", "off", "198.18.2.3", "198.18.9.9", "--partial"});
    EXPECT_EQ(off.rc, 1);
    EXPECT_EQ(sim->connectionBytes("198.18.2.3").back(), kLogin + "osd_off.sh 0\r\n");
    EXPECT_TRUE(sim->connectionBytes("198.18.1.1").size() <= 1) << "transmitters get no OSD line";
}

// --- shells that answer slowly or noisily ----------------------------------------------

TEST_F(CliLan, SlowPiecesAndTextFloodsStillEndEachReplyAtItsPrompt)
{
    Start({"--tx", "1", "--rx", "2", "--fault", "chunk=5:2"});
    const Result slow = Cli({"inventory", "--json", "--quiet"});
    ASSERT_EQ(slow.rc, 0) << slow.err;
    for (const Json& r : slow.json())
        EXPECT_EQ(Field(r, "version"), "A7.3.1") << r.dump();

    // A flood before every output leaves the last line open before the
    // prompt; the lines still go out one at a time, and a channel the flood
    // hides is not passed off as confirmed, nor as another channel.
    sim.reset();
    Start({"--rx", "1", "--fault", "flood=3000"});
    const Result noisy = Cli({"set", "198.18.2.1", "--hostname", "x1", "--channel", "0009", "--json"});
    EXPECT_EQ(noisy.rc, 1);
    const Json rows = noisy.json();
    EXPECT_EQ(Field(rows[0], "status"), "confirmed");
    EXPECT_EQ(Field(rows[1], "status"), "unreadable");
    EXPECT_TRUE(sim->waitForEvent("198.18.2.1", "reconnect 0009"));
}

TEST_F(CliLan, QuickWithAnOrderGivesSurplusReceiversTheFirstCellAndApplyFindsReceiversByMac)
{
    Start({"--rx", "3"});
    const Result r = Cli(
        {"wall", "quick", "1x2", "--bezel", "100,100,90,90", "--order", "198.18.2.3,198.18.2.1,198.18.2.2", "--json"});
    ASSERT_EQ(r.rc, 0) << r.err;
    const Json rows = r.json();
    EXPECT_EQ(Field(rows[0], "address"), "198.18.2.3");
    EXPECT_EQ(Field(rows[2], "column"), "0") << "the third receiver of a 1 x 2 wall shares cell 0,0";
    EXPECT_EQ(sim->connectionBytes("198.18.2.2").back(), kLogin + "e e_vw_enable_0_0_4736_10000_2\r\n");
    EXPECT_EQ(sim->connectionBytes("198.18.2.1").back(), kLogin + "e e_vw_enable_5263_0_10000_10000_2\r\n");

    const fs::path layout = fs::temp_directory_path() / ("cv-cli-mac-" + std::to_string(::getpid()) + ".json");
    std::ofstream(layout) << R"({"rows":1,"columns":2,"bezel":{"ow":100,"oh":100,"vw":90,"vh":90},
        "placements":[{"row":0,"column":1,"mac":"02:00:c6:12:02:02","stretch":"fit"},
                      {"row":0,"column":0,"mac":"02:00:C6:12:02:99"}]})";
    const std::size_t before = sim->connectionBytes("198.18.2.2").size();
    const Result whole = Cli({"wall", "apply", layout.string()});
    EXPECT_EQ(whole.rc, 1) << "one mac is on no endpoint";
    EXPECT_NE(whole.err.find("02:00:C6:12:02:99: find failed"), std::string::npos) << whole.err;
    EXPECT_EQ(sim->connectionBytes("198.18.2.2").size(), before + 1) << "its mac read, no wall line";
    const Result applied = Cli({"wall", "apply", layout.string(), "--partial"});
    fs::remove(layout);
    EXPECT_EQ(applied.rc, 1);
    EXPECT_EQ(sim->connectionBytes("198.18.2.2").back(),
              kLogin + "e e_vw_enable_5263_0_10000_10000_2\r\n" + "e e_vw_stretch_type_2\r\n");
}

TEST_F(CliLan, SetWithRebootFailsWhenTheEndpointNeverReturns)
{
    Start({"--rx", "1", "--reboot-delay", "600000"});
    const Result r = Cli({"set", "198.18.2.1", "--unicast", "--reboot", "--timeout", "2", "--json"});
    EXPECT_EQ(r.rc, 1);
    const Json rows = r.json();
    EXPECT_EQ(Field(rows[0], "status"), "failed");
    EXPECT_NE(Field(rows[0], "error").find("come back"), std::string::npos) << rows.dump();
}

TEST_F(CliLan, UpgradeWaitsForAnEndpointThatRestartsAfterTheUpdate)
{
    TftpServer server;
    ASSERT_TRUE(server.Start());
    server.Put("webfwc.bin", "image");
    // Three query lines and six upgrade lines: it goes down right after the
    // update script.
    Start({"--rx", "1", "--tftp", "ok", "--fault", "reboot-after=9", "--reboot-delay", "700"});
    const Result r = Cli({"upgrade", "198.18.2.1", "--tftp-root", server.dir(), "--json", "--same-version-ok"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.err.find("answers again after"), std::string::npos) << r.err;
    EXPECT_TRUE(sim->waitForEvent("198.18.2.1", "fault_reboot"));
    const Json rows = r.json();
    EXPECT_EQ(Field(rows[0], "version_after"), "A7.3.1");
}

// --- an endpoint that comes back elsewhere ------------------------------------------

TEST_F(CliLan, SetDhcpWithRebootFindsTheEndpointAtItsNewAddressByItsMac)
{
    Start({"--rx", "2", "--reboot-delay", "500", "--fault", "move=198.18.2.77@198.18.2.1"});
    const Result r = Cli({"set", "198.18.2.1", "--dhcp", "--reboot", "--timeout", "60", "--json"});
    ASSERT_EQ(r.rc, 0) << r.err;
    const auto rows = r.json();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(Field(rows[0], "status"), "confirmed") << rows[0].dump();
    EXPECT_EQ(Field(rows[0], "read_back"), "dhcp");
    EXPECT_EQ(Field(rows[0], "new_address"), "198.18.2.77");
    EXPECT_NE(r.err.find("answers again at 198.18.2.77"), std::string::npos) << r.err;
    EXPECT_TRUE(sim->waitForEvent("198.18.2.77", "moved from 198.18.2.1"));
    // Found by a detail query there, then read back on a session of its own.
    const auto there = sim->connectionBytes("198.18.2.77");
    ASSERT_GE(there.size(), 2u);
    EXPECT_EQ(there.back(), kDetailLines);
    EXPECT_EQ(sim->wireBytes("198.18.2.2").find("astparam"), std::string::npos) << "the other receiver is only read";
}

TEST_F(CliLan, FactoryDefaultReportsTheNewAddressAndNoScanFindingItIsAddressUnknown)
{
    Start({"--rx", "1", "--reboot-delay", "300", "--fault", "move=198.18.2.50"});
    const Result moved = Cli({"factory-default", "198.18.2.1", "--yes", "--json"});
    ASSERT_EQ(moved.rc, 0) << moved.err;
    EXPECT_EQ(Field(moved.json()[0], "new_address"), "198.18.2.50") << moved.out;
    EXPECT_EQ(Conn("198.18.2.1", 1), kLogin + "reset_to_default.sh\r\n\0reboot\r\n\0"s);

    // It moves and answers no discovery: nothing can find it.
    sim.reset();
    Start({"--rx", "1", "--reboot-delay", "300", "--fault", "move=198.18.2.60", "--fault", "no-discovery"});
    const auto start = std::chrono::steady_clock::now();
    const Result lost = Cli({"set", "198.18.2.1", "--autoip", "--reboot", "--timeout", "5", "--json"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60)) << "it ends with the time-out";
    EXPECT_EQ(lost.rc, 1);
    const auto rows = lost.json();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(Field(rows[0], "status"), "failed");
    EXPECT_NE(Field(rows[0], "error").find("restarted, address unknown"), std::string::npos) << rows[0].dump();
}
