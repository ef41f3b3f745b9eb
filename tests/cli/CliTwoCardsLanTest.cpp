// cortavia-cli on an integrator's workstation: an office card with the
// default route and an AV card with the endpoints (scripts/testlan.sh
// --two-cards). Discovery must reach the AV card, and an upgrade must name
// the AV card's address, not the office's or the host name's 127.0.1.1.
#include "cli/Cli.h"
#include "cli/Records.h"
#include "lan/Interfaces.h"
#include "tests/cli/TftpServer.h"
#include "tools/endpoint-sim/harness/SimProcess.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

using Json = cv::cli::Record;
using cv::sim::SimProcess;

namespace {

int Cli(std::vector<std::string> args, std::string* out = nullptr, std::string* err = nullptr)
{
    std::ostringstream o, e;
    const int rc = cv::cli::Run(args, o, e);
    if (out)
        *out = o.str();
    if (err)
        *err = e.str();
    return rc;
}

std::string CardWithAddress(const std::string& address)
{
    for (const auto& card : cv::lan::MulticastInterfaces())
        if (card.address == address)
            return card.name;
    return {};
}

class CliTwoCards : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* topology = std::getenv("CV_TOPOLOGY");
        ASSERT_TRUE(topology && std::string(topology) == "two-cards") << "run through scripts/testlan.sh --two-cards";
    }
};

}  // namespace

TEST_F(CliTwoCards, ScanFindsTheEndpointsBehindTheAvCardAndOnlyThroughIt)
{
    SimProcess sim({"--tx", "1", "--rx", "2"});
    ASSERT_TRUE(sim.start()) << sim.error();
    std::string out, err;
    ASSERT_EQ(Cli({"scan", "--json"}, &out, &err), 0) << err;
    EXPECT_EQ(Json::parse(out).size(), 3u);

    const std::string av = CardWithAddress("198.18.0.1");
    const std::string office = CardWithAddress("198.19.0.1");
    ASSERT_FALSE(av.empty());
    ASSERT_FALSE(office.empty());
    EXPECT_EQ(Cli({"scan", "--interface", av, "--quiet"}, &out), 0);
    EXPECT_EQ(Cli({"scan", "--interface", office}, &out, &err), 1);
    EXPECT_NE(err.find("no endpoint answered"), std::string::npos) << err;
}

TEST_F(CliTwoCards, UpgradeNamesTheAddressOfTheCardThatFacesTheEndpoint)
{
    cv::cli_test::TftpServer server;
    ASSERT_TRUE(server.Start());
    server.Put("webfwc.bin", "image");
    SimProcess sim({"--rx", "1", "--tftp", "ok"});
    ASSERT_TRUE(sim.start()) << sim.error();
    std::string out, err;
    ASSERT_EQ(Cli({"upgrade", "198.18.2.1", "--tftp-root", server.dir(), "--json", "--same-version-ok"}, &out, &err), 0)
        << err;
    const Json rows = Json::parse(out);
    EXPECT_EQ(rows[0]["server"].get<std::string>(), "198.18.0.1");
    EXPECT_NE(sim.wireBytes("198.18.2.1").find("tftp -v 198.18.0.1 -c get webfwc.bin\r\n"), std::string::npos);
}
