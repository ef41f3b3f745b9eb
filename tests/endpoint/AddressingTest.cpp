// Which static triples are refused, under which --force name, and that one
// bad value is reported once rather than as every check it upsets.
#include "endpoint/Addressing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

using namespace cv::endpoint;

namespace {

const std::vector<std::string> workstation{"198.18.0.1"};

// "check/field" for each problem, in the order returned.
std::vector<std::string> Refusals(const std::string& ipaddr, const std::string& netmask, const std::string& gateway,
                                  const std::vector<std::string>& mine = workstation)
{
    std::vector<std::string> out;
    for (const AddressProblem& problem : StaticAddressProblems(ipaddr, netmask, gateway, mine))
        out.push_back(problem.check + '/' + problem.field);
    return out;
}

using List = std::vector<std::string>;

}  // namespace

TEST(StaticAddress, AcceptsAnOrdinaryHostWithAGatewayInItsSubnet)
{
    EXPECT_EQ(Refusals("198.18.2.10", "255.255.255.0", "198.18.2.254"), List{});
    EXPECT_EQ(Refusals("198.18.2.0", "255.255.0.0", "198.18.0.1"), List{}) << ".0 is a host in a /16";
    EXPECT_EQ(Refusals("198.18.0.20", "255.255.255.0", "198.18.0.1"), List{}) << "the workstation may route";
}

TEST(StaticAddress, RefusesAGatewayOutsideItsSubnet)
{
    const auto problems = StaticAddressProblems("198.18.2.2", "255.255.255.0", "198.18.0.254", workstation);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].check, "gateway");
    EXPECT_EQ(problems[0].field, "gateway");
    EXPECT_EQ(problems[0].reason,
              "gateway 198.18.0.254 is outside 198.18.2.0/24 (ipaddr 198.18.2.2, netmask 255.255.255.0)");
}

TEST(StaticAddress, RefusesAGatewayThatIsTheAddressItself)
{
    EXPECT_EQ(Refusals("198.18.2.10", "255.255.255.0", "198.18.2.10"), List{"gateway/gateway"});
}

TEST(StaticAddress, RefusesAMaskThatIsNotContiguousWithoutJudgingTheSubnet)
{
    EXPECT_EQ(Refusals("198.18.2.10", "255.0.255.0", "198.19.2.1"), List{"netmask/netmask"});
}

TEST(StaticAddress, RefusesAMaskWithNoRoomForAnAddressAndAGateway)
{
    const auto slash31 = StaticAddressProblems("198.18.2.10", "255.255.255.254", "198.18.2.11", workstation);
    ASSERT_EQ(slash31.size(), 1u);
    EXPECT_EQ(slash31[0].check, "netmask");
    EXPECT_NE(slash31[0].reason.find("/31"), std::string::npos) << slash31[0].reason;
    EXPECT_EQ(Refusals("198.18.2.10", "255.255.255.255", "198.18.2.1"), List{"netmask/netmask"});
    EXPECT_EQ(Refusals("198.18.2.9", "255.255.255.252", "198.18.2.10"), List{}) << "a /30 still fits both";
}

TEST(StaticAddress, ReportsZeroOnceUnderTheFieldThatHoldsIt)
{
    EXPECT_EQ(Refusals("0.0.0.0", "255.255.255.0", "198.18.2.254"), List{"zero/ipaddr"});
    EXPECT_EQ(Refusals("198.18.2.10", "0.0.0.0", "198.18.2.254"), List{"zero/netmask"});
    EXPECT_EQ(Refusals("198.18.2.10", "255.255.255.0", "0.0.0.0"), List{"zero/gateway"});
}

TEST(StaticAddress, RefusesTheNetworkAndBroadcastAddressesOfItsSubnet)
{
    const auto problems = StaticAddressProblems("198.18.2.0", "255.255.255.0", "198.18.2.254", workstation);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].reason, "ipaddr 198.18.2.0 is the network address of 198.18.2.0/24");
    EXPECT_EQ(Refusals("198.18.2.255", "255.255.255.0", "198.18.2.254"), List{"subnet-edge/ipaddr"});
    EXPECT_EQ(Refusals("198.18.0.0", "255.255.0.0", "198.18.2.254"), List{"subnet-edge/ipaddr"});
    EXPECT_EQ(Refusals("198.18.255.255", "255.255.0.0", "198.18.2.254"), List{"subnet-edge/ipaddr"});
    EXPECT_EQ(Refusals("198.18.2.10", "255.255.0.0", "198.18.255.255"), List{"subnet-edge/gateway"});
}

TEST(StaticAddress, RefusesTheWorkstationsOwnAddress)
{
    EXPECT_EQ(Refusals("198.18.0.1", "255.255.255.0", "198.18.0.254", {"10.0.0.5", "198.18.0.1"}),
              List{"own-address/ipaddr"});
}

TEST(StaticAddress, RefusesAnythingButAnOrdinaryUnicastHost)
{
    EXPECT_EQ(Refusals("127.0.0.1", "255.0.0.0", "127.0.0.2"), (List{"unicast/ipaddr", "unicast/gateway"}));
    EXPECT_EQ(Refusals("224.0.0.251", "255.255.255.0", "240.0.0.1"), (List{"unicast/ipaddr", "unicast/gateway"}));
    EXPECT_EQ(Refusals("198.18.2.10", "255.255.255.0", "255.255.255.255"), List{"unicast/gateway"});
}

TEST(StaticAddress, ReportsTextThatIsNotAnAddressInsteadOfFailing)
{
    EXPECT_EQ(Refusals("198.18.2", "", "198.18.2.256"), (List{"netmask/netmask", "unicast/ipaddr", "unicast/gateway"}));
}

TEST(StaticAddress, NamesOnlyChecksThatForceAcceptsAndUsesEachOfThem)
{
    const std::vector<std::vector<std::string>> triples{{"198.18.2.10", "255.0.255.0", "198.18.2.1"},
                                                        {"0.0.0.0", "0.0.0.0", "0.0.0.0"},
                                                        {"127.0.0.1", "x", "224.0.0.1"},
                                                        {"198.18.2.0", "255.255.255.0", "198.18.9.1"},
                                                        {"198.18.0.1", "255.255.255.0", "198.18.0.1"}};
    const auto& names = AddressCheckNames();
    std::set<std::string> seen;
    for (const auto& t : triples) {
        for (const AddressProblem& problem : StaticAddressProblems(t[0], t[1], t[2], workstation)) {
            EXPECT_NE(std::find(names.begin(), names.end(), problem.check), names.end()) << problem.check;
            EXPECT_FALSE(problem.reason.empty());
            seen.insert(problem.check);
        }
    }
    EXPECT_EQ(seen, std::set<std::string>(names.begin(), names.end()));
}

TEST(UnreachableFrom, AnAddressOutsideEveryCardsSubnetIsNamedWithTheSubnets)
{
    const std::vector<cv::endpoint::Card> cards{{"127.0.0.1", "255.0.0.0"}, {"198.18.0.1", "255.254.0.0"}};
    const auto far = cv::endpoint::UnreachableFrom("192.168.1.50", cards);
    ASSERT_TRUE(far);
    EXPECT_EQ(far->check, "unreachable");
    EXPECT_NE(far->reason.find("198.18.0.1/15"), std::string::npos) << far->reason;
    EXPECT_EQ(far->reason.find("127.0.0.1"), std::string::npos) << "loopback reaches no endpoint";
    EXPECT_FALSE(cv::endpoint::UnreachableFrom("198.19.2.50", cards));
    EXPECT_FALSE(
        cv::endpoint::UnreachableFrom("192.168.1.50", {{"10.0.0.1", "255.0.0.0"}, {"192.168.1.9", "255.255.255.0"}}))
        << "any one card will do";
    EXPECT_FALSE(cv::endpoint::UnreachableFrom("192.168.1.50", {})) << "nothing known, nothing refused";
}
