// Every subcommand against endpoints that answer in 1-byte pieces and in
// 7-byte pieces 30 ms apart (the simulator's chunk fault): however TCP cuts
// the replies, each result is what the endpoint did, and the wire carries
// the same lines.
#include "cli/Cli.h"
#include "tests/cli/TftpServer.h"
#include "tools/endpoint-sim/harness/SimProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using cv::cli_test::TftpServer;
using cv::sim::SimProcess;
using nlohmann::json;
using namespace std::string_literals;
namespace fs = std::filesystem;

namespace {

const std::string kLogin = "root\r\n";
const std::string kDetailLines = "root\r\nlmparam g CH_SELECT_V\r\ncat /etc/version\r\nlmparam dump\r\n";

struct Ran {
    int rc;
    std::string out, err;
    json rows() const { return json::parse(out, nullptr, false); }
};

Ran Cli(std::vector<std::string> args)
{
    args.push_back("--json");
    std::ostringstream out, err;
    const int rc = cv::cli::Run(args, out, err);
    return {rc, out.str(), err.str()};
}

class CliPieces : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override
    {
        sim = std::make_unique<SimProcess>(std::vector<std::string>{"--tx", "1", "--rx", "2", "--reboot-delay", "300",
                                                                    "--tftp", "ok", "--fault", GetParam()});
        ASSERT_TRUE(sim->start()) << sim->error();
    }
    std::string Last(const std::string& ip) const
    {
        const auto c = sim->connectionBytes(ip);
        return c.empty() ? std::string() : c.back();
    }
    std::unique_ptr<SimProcess> sim;
};

}  // namespace

TEST_P(CliPieces, EverySubcommandReadsWholeRepliesHoweverTheyArePieced)
{
    const Ran scan = Cli({"scan"});
    ASSERT_EQ(scan.rc, 0) << scan.err;
    EXPECT_EQ(scan.rows().size(), 3u) << scan.out;

    const Ran inventory = Cli({"inventory"});
    ASSERT_EQ(inventory.rc, 0) << inventory.err;
    for (const auto& r : inventory.rows())
        EXPECT_EQ(r.value("version", ""), "A7.3.1") << r.dump();

    const Ran show = Cli({"show", "198.18.2.1"});
    ASSERT_EQ(show.rc, 0) << show.err;
    EXPECT_EQ(show.rows()[0].value("kind", ""), "rx");
    EXPECT_EQ(show.rows()[0].value("channel", ""), "0000");
    EXPECT_EQ(Last("198.18.2.1"), kDetailLines);

    const Ran set = Cli({"set", "198.18.2.1", "--hostname", "hall-1", "--channel", "0004"});
    ASSERT_EQ(set.rc, 0) << set.err;
    for (const auto& r : set.rows())
        EXPECT_EQ(r.value("status", ""), "confirmed") << r.dump();
    EXPECT_TRUE(sim->waitForEvent("198.18.2.1", "reconnect 0004"));

    const fs::path plan = fs::temp_directory_path() / ("cv-pieces-plan-" + std::to_string(::getpid()) + ".csv");
    std::ofstream(plan) << "address,hostname_id,multicast\n198.18.2.2,hall-2,n\n";
    const Ran planned = Cli({"set", "--plan", plan.string()});
    fs::remove(plan);
    ASSERT_EQ(planned.rc, 0) << planned.err;
    EXPECT_EQ(planned.rows()[0].value("status", ""), "confirmed") << planned.out;
    EXPECT_EQ(planned.rows()[1].value("status", ""), "pending") << planned.out;

    const Ran reboot = Cli({"reboot", "198.18.2.2"});
    ASSERT_EQ(reboot.rc, 0) << reboot.err;
    EXPECT_EQ(reboot.rows()[0].value("status", ""), "back");

    const Ran reset = Cli({"factory-default", "198.18.2.2", "--yes"});
    ASSERT_EQ(reset.rc, 0) << reset.err;
    EXPECT_TRUE(sim->waitForEvent("198.18.2.2", "reset_to_default"));

    TftpServer server;
    ASSERT_TRUE(server.Start());
    server.Put("webfwh.bin", "image");
    const std::size_t before = sim->connectionBytes("198.18.1.1").size();
    const Ran upgrade = Cli({"upgrade", "198.18.1.1", "--tftp-root", server.dir(), "--same-version-ok"});
    ASSERT_EQ(upgrade.rc, 0) << upgrade.err;
    EXPECT_EQ(upgrade.rows()[0].value("status", ""), "upgraded");
    EXPECT_EQ(sim->connectionBytes("198.18.1.1").at(before),
              kDetailLines +
                  "cd /dev/shm\r\ntftp -v 198.18.0.1 -c get webfwh.bin\r\nrm -f mtdblk*\r\n"
                  "rm -f *.sh\r\nmv webfwh.bin fw.tar.gz\r\n/usr/local/bin/update_fw.sh\r\n");

    const fs::path layout = fs::temp_directory_path() / ("cv-pieces-wall-" + std::to_string(::getpid()) + ".json");
    const Ran quick = Cli({"wall", "quick", "1x2", "--bezel", "100,100,90,90", "--save", layout.string()});
    ASSERT_EQ(quick.rc, 0) << quick.err;
    for (const auto& r : quick.rows())
        EXPECT_EQ(r.value("status", ""), "sent") << r.dump();
    const Ran place = Cli({"wall", "place", "198.18.2.1", "0", "1", "--size", "1x2", "--bezel", "100,100,90,90"});
    ASSERT_EQ(place.rc, 0) << place.err;
    EXPECT_EQ(Last("198.18.2.1"), kLogin + "e e_vw_enable_5263_0_10000_10000_2\r\n");
    const Ran stretch = Cli({"wall", "stretch", "fit", "198.18.2.1"});
    ASSERT_EQ(stretch.rc, 0) << stretch.err;
    EXPECT_EQ(stretch.rows()[0].value("status", ""), "sent");
    EXPECT_EQ(Last("198.18.2.1"), kLogin + "e e_vw_stretch_type_2\r\n");
    const Ran rotate = Cli({"wall", "rotate", "180", "198.18.2.2"});
    ASSERT_EQ(rotate.rc, 0) << rotate.err;
    EXPECT_EQ(Last("198.18.2.2"), kLogin + "e e_vw_rotate_3\r\n");
    const Ran apply = Cli({"wall", "apply", layout.string()});
    fs::remove(layout);
    ASSERT_EQ(apply.rc, 0) << apply.err;

    const Ran on = Cli({"osd", "on"});
    ASSERT_EQ(on.rc, 0) << on.err;
    for (const auto& r : on.rows())
        EXPECT_EQ(r.value("status", ""), "sent") << r.dump();
    EXPECT_EQ(Last("198.18.2.2"), kLogin + "big_osd_on.sh \"1\"\r\n");
    const Ran off = Cli({"osd", "off"});
    ASSERT_EQ(off.rc, 0) << off.err;
    EXPECT_EQ(Last("198.18.2.1"), kLogin + "osd_off.sh 0\r\n");
}

INSTANTIATE_TEST_SUITE_P(Pieces, CliPieces, ::testing::Values("chunk=1", "chunk=7:30"),
                         [](const auto& info) { return info.index == 0 ? "OneByte" : "SevenBytes30msApart"; });
