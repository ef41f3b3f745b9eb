// cortavia-cli on a live site: what an integrator's scripts and slips of
// the hand did to it, each checked on the simulator's wire log, so that
// nothing reaches an endpoint that should not.
#include "cli/Cli.h"
#include "cli/Interrupt.h"
#include "cli/Records.h"
#include "lan/Interfaces.h"
#include "tests/cli/CliRun.h"
#include "tests/cli/TftpServer.h"
#include "tools/endpoint-sim/harness/SimProcess.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using Json = cv::cli::Record;
using cv::cli_test::TftpServer;
using cv::sim::SimProcess;
namespace fs = std::filesystem;

namespace {

// Every run's JSON here is an array.
struct Result : cv::cli_test::Result {
    Json json() const
    {
        Json j = Json::parse(out, nullptr, false);
        EXPECT_TRUE(j.is_array()) << out;
        return j.is_array() ? j : Json::array();
    }
};

Result Cli(std::vector<std::string> args) { return {cv::cli_test::Cli(std::move(args))}; }

std::string Temp(const std::string& name, const std::string& text)
{
    const fs::path p = fs::temp_directory_path() / ("cv-trust-" + std::to_string(::getpid()) + "-" + name);
    std::ofstream(p, std::ios::binary) << text;
    return p.string();
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class CliTrust : public ::testing::Test {
protected:
    void Start(std::vector<std::string> args)
    {
        sim = std::make_unique<SimProcess>(std::move(args));
        ASSERT_TRUE(sim->start()) << sim->error();
    }
    // Nothing but reading and the scan's node list reached it.
    void OnlyRead(const std::string& ip) const
    {
        const std::string wire = sim->wireBytes(ip);
        for (const char* change : {"astparam s", "reboot", "e e_", "osd", "tftp", "update_fw", "reset_to_default"})
            EXPECT_FALSE(Has(wire, change)) << ip << " got " << change << ":\n" << wire;
    }
    std::unique_ptr<SimProcess> sim;
};

}  // namespace

TEST_F(CliTrust, AnEndpointNamedTwiceIsWorkedOnOnce)
{
    TftpServer server;
    ASSERT_TRUE(server.Start());
    server.Put("webfwc.bin", "image");
    Start({"--rx", "2", "--tftp", "ok", "--reboot-delay", "300"});
    const Result up =
        Cli({"upgrade", "198.18.2.1", "198.18.2.1", "--tftp-root", server.dir(), "--json", "--same-version-ok"});
    EXPECT_EQ(up.rc, 0) << up.err;
    EXPECT_EQ(up.json().size(), 1u);
    EXPECT_TRUE(Has(up.err, "198.18.2.1 is named more than once"));
    const std::string wire = sim->wireBytes("198.18.2.1");
    EXPECT_EQ(wire.find("update_fw.sh"), wire.rfind("update_fw.sh")) << "one update script";

    const Result reboot = Cli({"reboot", "198.18.2.2", "198.18.2.2", "--json"});
    EXPECT_EQ(reboot.rc, 0) << reboot.err;
    EXPECT_EQ(reboot.json().size(), 1u);
    // One restart, on a session of its own; the rest is reading who it is.
    const auto sessions = sim->connectionBytes("198.18.2.2");
    EXPECT_EQ(std::count(sessions.begin(), sessions.end(), "root\r\nreboot\r\n" + std::string(1, '\0')), 1);
    const std::string rebootWire = sim->wireBytes("198.18.2.2");
    EXPECT_EQ(rebootWire.find("reboot\r\n"), rebootWire.rfind("reboot\r\n"));

    const Result osd = Cli({"osd", "on", "198.18.2.2", "198.18.2.2", "--json"});
    EXPECT_EQ(osd.json().size(), 1u);
    const std::string osdWire = sim->wireBytes("198.18.2.2");
    EXPECT_EQ(osdWire.find("big_osd_on"), osdWire.rfind("big_osd_on"));
}

TEST_F(CliTrust, AddressesThatWouldStrandAnEndpointAreRefusedUnlessForcedByName)
{
    Start({"--rx", "3", "--reboot-delay", "300"});
    const std::string ws = cv::lan::MulticastInterfaces().at(0).address;
    const std::vector<std::vector<std::string>> refused = {
        {"198.18.2.9", "255.0.255.0", "198.18.0.1", "netmask"},
        {"198.18.2.9", "255.255.255.0", "198.18.0.254", "gateway"},
        {"0.0.0.0", "255.255.0.0", "198.18.0.254", "zero"},
        {"198.18.2.9", "0.0.0.0", "198.18.0.254", "zero"},
        {"198.18.255.255", "255.255.0.0", "198.18.0.254", "subnet-edge"},
        {ws, "255.255.0.0", "198.18.0.254", "own-address"},
    };
    for (const auto& r : refused) {
        const Result set = Cli({"set", "198.18.2.1", "--static", r[0], "--netmask", r[1], "--gateway", r[2]});
        EXPECT_EQ(set.rc, 2) << r[0] << " " << r[1] << " " << r[2];
        EXPECT_TRUE(Has(set.err, "--force " + r[3])) << set.err;
    }
    const std::string plan = Temp("twice.csv",
                                  "address,ip_mode,ipaddr,netmask,gateway\n"
                                  "198.18.2.1,static,198.18.2.50,255.255.0.0,198.18.0.254\n"
                                  "198.18.2.2,static,198.18.2.50,255.255.0.0,198.18.0.254\n");
    for (const char* dry : {"--reboot", "--dry-run"}) {
        const Result twice = Cli({"set", "--plan", plan, dry});
        EXPECT_EQ(twice.rc, 2) << dry;
        EXPECT_TRUE(Has(twice.err, "line 3: ipaddr 198.18.2.50 is given to line 2 too")) << twice.err;
    }
    for (const char* ip : {"198.18.2.1", "198.18.2.2", "198.18.2.3"})
        OnlyRead(ip);
    // Two receivers with one hostname ID may be meant: said, not refused.
    const std::string names = Temp("names.csv", "address,hostname_id\n198.18.2.1,lobby\n198.18.2.2,lobby\n");
    const Result same = Cli({"set", "--plan", names, "--dry-run"});
    EXPECT_EQ(same.rc, 0) << same.err;
    EXPECT_TRUE(Has(same.err, "warning: line 3: hostname_id lobby is given to line 2 too")) << same.err;
    fs::remove(names);

    // Deliberately: the check named, and only that one, is let through.
    const Result forced = Cli({"set", "198.18.2.3", "--static", "198.18.2.3", "--netmask", "255.255.255.0", "--gateway",
                               "198.18.0.254", "--force", "gateway", "--json"});
    EXPECT_EQ(forced.rc, 0) << forced.err;
    EXPECT_TRUE(Has(sim->wireBytes("198.18.2.3"), "astparam s gatewayip 198.18.0.254"));
    EXPECT_EQ(Cli({"set", "198.18.2.3", "--static", "198.18.2.3", "--netmask", "255.0.255.0", "--gateway",
                   "198.18.0.254", "--force", "gateway"})
                  .rc,
              2);
    fs::remove(plan);
}

TEST_F(CliTrust, APlanOrLayoutGoesWholeOrNotAtAll)
{
    Start({"--tx", "1", "--rx", "3"});
    const auto nothingChanged = [&] {
        for (const char* ip : {"198.18.1.1", "198.18.2.1", "198.18.2.2", "198.18.2.3"})
            OnlyRead(ip);
    };
    const std::string unknownMac = Temp("mac.csv", "mac,channel\n02:00:c6:12:02:01,0005\n02:00:00:00:00:99,0006\n");
    const Result missing = Cli({"set", "--plan", unknownMac, "--json"});
    EXPECT_EQ(missing.rc, 1);
    EXPECT_TRUE(missing.json().empty()) << missing.out;
    EXPECT_TRUE(Has(missing.err, "02:00:00:00:00:99 (line 3): find failed")) << missing.err;
    const std::string shortRow = Temp("short.csv", "address,channel,multicast\n198.18.2.1,0005\n");
    EXPECT_EQ(Cli({"set", "--plan", shortRow}).rc, 2);
    const std::string typo = Temp("typo.json", R"({"rows":1,"colums":2,"columns":2,
        "bezel":{"ow":100,"oh":100,"vw":90,"vh":90},"placements":[{"row":0,"column":0,"address":"198.18.2.1"}]})");
    const Result misspelt = Cli({"wall", "apply", typo});
    EXPECT_EQ(misspelt.rc, 2);
    EXPECT_TRUE(Has(misspelt.err, "unknown key \"colums\"")) << misspelt.err;
    EXPECT_EQ(Cli({"wall", "quick", "1x2", "--bezel", "100,100,90,90", "--save", "/nonexistent/dir/x.json"}).rc, 2);
    EXPECT_EQ(Cli({"wall", "quick", "1x2", "--bezel", "100,100,90,90", "--order", "198.18.2.1,,198.18.2.2"}).rc, 2);
    nothingChanged();

    // A byte-order mark is nothing; --partial lets the rows that were found go.
    const std::string bom = Temp("bom.json",
                                 "\xEF\xBB\xBF"
                                 R"({"rows":1,"columns":2,
        "bezel":{"ow":100,"oh":100,"vw":90,"vh":90},"placements":[{"row":0,"column":1,"address":"198.18.2.2"}]})");
    EXPECT_EQ(Cli({"wall", "apply", bom}).rc, 0);
    EXPECT_TRUE(sim->waitForEvent("198.18.2.2", "wall_enable 5263 0 10000 10000 2"));
    const Result partial = Cli({"set", "--plan", unknownMac, "--partial", "--json"});
    EXPECT_EQ(partial.rc, 1);
    ASSERT_EQ(partial.json().size(), 2u);
    EXPECT_EQ(partial.json()[0]["status"], "confirmed");
    EXPECT_EQ(partial.json()[1]["status"], "failed");
    for (const auto& f : {unknownMac, shortRow, typo, bom})
        fs::remove(f);
}

TEST_F(CliTrust, WallAndOnScreenLinesNeverReachATransmitter)
{
    Start({"--tx", "1", "--rx", "2"});
    const std::string layout = Temp("tx.json", R"({"rows":1,"columns":2,"bezel":{"ow":100,"oh":100,"vw":90,"vh":90},
        "placements":[{"row":0,"column":0,"address":"198.18.2.1"},{"row":0,"column":1,"mac":"02:00:c6:12:01:01"}]})");
    const std::vector<std::vector<std::string>> commands = {
        {"wall", "place", "198.18.1.1", "0", "0", "--size", "1x2", "--bezel", "100,100,90,90"},
        {"wall", "stretch", "fit", "198.18.2.1", "198.18.1.1"},
        {"wall", "rotate", "180", "198.18.1.1"},
        {"wall", "quick", "1x2", "--bezel", "100,100,90,90", "--order", "198.18.2.1,198.18.1.1"},
        {"wall", "apply", layout},
        {"osd", "on", "198.18.1.1"},
    };
    for (const auto& c : commands) {
        const Result r = Cli(c);
        EXPECT_EQ(r.rc, 2) << c[1];
        EXPECT_TRUE(Has(r.err, "198.18.1.1")) << r.err;
    }
    for (const char* ip : {"198.18.1.1", "198.18.2.1", "198.18.2.2"})
        OnlyRead(ip);
    fs::remove(layout);
}

TEST_F(CliTrust, BezelsThatOverflowAreRefusedWithTheWallsNumbersAndOverlapIsSaid)
{
    Start({"--rx", "2"});
    const Result wrap = Cli({"wall", "quick", "2x3", "--bezel", "4294967295,6870,12100,6800"});
    EXPECT_EQ(wrap.rc, 2);
    EXPECT_TRUE(Has(wrap.err, "2 x 3 wall, OW 4294967295, OH 6870, VW 12100, VH 6800")) << wrap.err;
    OnlyRead("198.18.2.1");
    const Result overlap = Cli({"wall", "quick", "1x2", "--bezel", "100,100,120,100"});
    EXPECT_EQ(overlap.rc, 0) << overlap.err;
    EXPECT_TRUE(Has(overlap.err, "neighbouring tiles overlap")) << overlap.err;
}

TEST_F(CliTrust, ATransmitterRowWithAHostnameFailsTheDryRunToo)
{
    Start({"--tx", "1", "--rx", "1"});
    const std::string plan = Temp("tx.csv", "address,hostname_id,channel\n198.18.2.1,hall,0003\n198.18.1.1,tx1,0009\n");
    for (const char* mode : {"--dry-run", "--reboot"}) {
        const Result r = Cli({"set", "--plan", plan, mode});
        EXPECT_EQ(r.rc, 2) << mode;
        EXPECT_TRUE(Has(r.err, "line 3: 198.18.1.1 is a transmitter")) << r.err;
    }
    OnlyRead("198.18.1.1");
    OnlyRead("198.18.2.1");
    fs::remove(plan);
}

TEST_F(CliTrust, JsonKeepsOneShapeAndDryRunBytesAreExact)
{
    Start({"--tx", "1", "--rx", "2", "--fault", "flood=3000@198.18.2.2"});
    // One key set across receivers and transmitters, numbers as numbers.
    const Result scan = Cli({"scan", "--json"});
    ASSERT_EQ(scan.json().size(), 3u);
    for (const Json& r : scan.json())
        EXPECT_EQ(r.size(), 6u) << r.dump();
    EXPECT_TRUE(scan.json()[0]["number"].is_null());
    EXPECT_EQ(scan.json()[2]["number"], 1);
    // A flood glued to the value: unreadable, and it says why.
    const Result noisy = Cli({"set", "198.18.2.2", "--channel", "0009", "--json"});
    ASSERT_EQ(noisy.json().size(), 1u);
    EXPECT_EQ(noisy.json()[0]["status"], "unreadable");
    EXPECT_TRUE(Has(noisy.json()[0]["error"].get<std::string>(), "holds no channel")) << noisy.out;
    EXPECT_TRUE(noisy.json()[0].contains("key"));

    const std::string plan = Temp("dry.csv", "address,hostname_id,multicast,channel\n198.18.2.1,hall,n,0042\n");
    const Result text = Cli({"set", "--plan", plan, "--dry-run", "--reboot"});
    EXPECT_EQ(text.rc, 0) << text.err;
    std::size_t at = 0;
    for (const char* line : {"astparam s hostname_id hall\\r\\n", "28 bytes  astparam s multicast_on n\\r\\n\\0",
                             "16 bytes  astparam save\\r\\n\\0", "9 bytes  reboot\\r\\n\\0"}) {
        at = text.out.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << "\n" << text.out;
    }
    const Result json = Cli({"set", "--plan", plan, "--dry-run", "--reboot", "--json"});
    ASSERT_EQ(json.json().size(), 1u) << json.out;
    const Json lines = json.json()[0]["lines"];
    EXPECT_EQ(lines.back()["text"], std::string("reboot\r\n", 8) + std::string(1, '\0'));
    EXPECT_EQ(lines.back()["bytes"], 9);
    EXPECT_EQ(json.json()[0]["address"], "198.18.2.1");
    OnlyRead("198.18.2.1");
    fs::remove(plan);

    sim.reset();
    Start({"--rx", "1", "--no-discovery"});
    const Result none = Cli({"inventory", "--json"});
    EXPECT_EQ(none.rc, 1);
    EXPECT_EQ(none.out, "[]\n");
}

TEST_F(CliTrust, SmallThingsAScriptTripsOver)
{
    Start({"--tx", "1", "--rx", "2"});
    EXPECT_EQ(Cli({"inventory", "198.18.2.1"}).rc, 2) << "an extra argument is no filter";
    // A card named twice is asked once: each endpoint answers once.
    const std::string card = cv::lan::MulticastInterfaces().at(0).name;
    const Result twice = Cli({"scan", "--interface", card, "--interface", card});
    EXPECT_EQ(twice.rc, 0) << twice.err;
    EXPECT_TRUE(Has(twice.err, "discovery: 3 answer(s)")) << twice.err;
    EXPECT_TRUE(Has(Cli({"--version"}).out, "cortavia-cli "));
    EXPECT_TRUE(Has(Cli({"help", "set"}).out, "usage: cortavia-cli set ADDRESS"));
    EXPECT_EQ(Cli({"upgrade", "198.18.2.1", "--tftp-root", "/nonexistent"}).rc, 2);
    OnlyRead("198.18.2.1");
}
