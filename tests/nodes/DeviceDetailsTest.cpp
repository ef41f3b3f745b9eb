#include <gtest/gtest.h>

#include <string>

#include "nodes/DeviceDetails.h"

using cv::nodes::DeviceDetails;
using cv::nodes::DeviceDetailsParser;
using cv::nodes::ParseDeviceDetails;
using cv::nodes::Transcript;

namespace {

// What a receiver answers to the detail query: login, channel, version and
// the parameter dump, each echoed and followed by the prompt.
std::u16string Answer(std::u16string ipMode = u"dhcp", std::u16string multicast = u"y",
                      std::u16string channelOutput = u"0003")
{
    return u"root\r\n/ # lmparam g CH_SELECT_V\r\n" + channelOutput +
        u"/ # cat /etc/version\r\n"
        u"initrd2m: A7.2.1 20231005\r\n"
        u"/ # lmparam dump\r\n"
        u"HOSTNAME_ID=Lobby-2\r\n"
        u"STATE=s_srv_on\r\n"
        u"MY_MAC=02:C7:1A:00:00:2B\r\n"
        u"MY_NETMASK=255.255.0.0\r\n"
        u"MY_GATEWAYIP=169.254.0.254\r\n"
        u"IP_MODE=" +
        ipMode +
        u"\r\n"
        u"MULTICAST_ON=" +
        multicast +
        u"\r\n"
        u"IS_HOST=n\r\n"
        u"/ # ";
}

DeviceDetails Parse(const std::u16string& text)
{
    Transcript t;
    t.append(text);
    auto d = ParseDeviceDetails(t);
    EXPECT_TRUE(d.has_value());
    return d.value_or(DeviceDetails{});
}

}  // namespace

TEST(DeviceDetailsParse, ReadsEveryValueOfACompleteAnswer)
{
    const DeviceDetails d = Parse(Answer());
    EXPECT_EQ(d.hostnameId, u"Lobby-2");
    EXPECT_EQ(d.lanStatus, u"s_srv_on");
    EXPECT_EQ(d.macAddress, u"02:C7:1A:00:00:2B");
    EXPECT_EQ(d.netmask, u"255.255.0.0");
    EXPECT_EQ(d.gateway, u"169.254.0.254");
    EXPECT_EQ(d.ipMode, u"dhcp");
    EXPECT_EQ(d.channel, u"0003");
    EXPECT_EQ(d.version, u"A7.2.1 20231005");  // two characters after "initrd2m" skipped
    EXPECT_EQ(d.castingChoice, 0);
}

TEST(DeviceDetailsParse, WaitsForThePromptAfterTheParameterDump)
{
    Transcript t;
    t.append(u"root\r\n/ # lmparam dump\r\nHOSTNAME_ID=x\r\nIS_HOST=n\r\n");
    EXPECT_FALSE(ParseDeviceDetails(t));  // a "/" before IS_HOST does not count
    t.append(u"/");
    EXPECT_TRUE(ParseDeviceDetails(t));

    Transcript none;
    none.append(u"HOSTNAME_ID=x\r\n/ # ");
    EXPECT_FALSE(ParseDeviceDetails(none));
}

TEST(DeviceDetailsParse, TakesEachValueFromTheFirstOccurrenceOfItsKey)
{
    const DeviceDetails d = Parse(Answer() + u"HOSTNAME_ID=Second\r\n");
    EXPECT_EQ(d.hostnameId, u"Lobby-2");
}

TEST(DeviceDetailsParse, GivesEmptyValuesForMissingKeysOrUnfinishedLines)
{
    const DeviceDetails d = Parse(u"IS_HOST=n\r\n/ # HOSTNAME_ID=no-line-end");
    EXPECT_EQ(d, DeviceDetails{});
}

TEST(DeviceDetailsParse, ChoosesTheIpModeAndTheStateOfTheAddressControls)
{
    struct Case {
        std::u16string mode;
        std::optional<int> choice;
        std::optional<bool> enabled;
    };
    for (const Case& c : {Case{u"autoip", 0, false}, Case{u"dhcp", 1, false}, Case{u"static", 2, true},
                          Case{u"x_autoip_dhcp", 0, false}, Case{u"manual", std::nullopt, std::nullopt},
                          Case{u"STATIC", std::nullopt, std::nullopt}}) {
        const DeviceDetails d = Parse(Answer(c.mode));
        EXPECT_EQ(d.ipModeChoice, c.choice) << std::string(c.mode.begin(), c.mode.end());
        EXPECT_EQ(d.addressControlsEnabled, c.enabled);
    }
}

TEST(DeviceDetailsParse, ChoosesACastingModeOnlyForExactlyYOrN)
{
    EXPECT_EQ(Parse(Answer(u"dhcp", u"y")).castingChoice, 0);
    EXPECT_EQ(Parse(Answer(u"dhcp", u"n")).castingChoice, 1);
    EXPECT_EQ(Parse(Answer(u"dhcp", u"yes")).castingChoice, std::nullopt);
    EXPECT_EQ(Parse(Answer(u"dhcp", u"")).castingChoice, std::nullopt);
}

TEST(DeviceDetailsParse, ReadsTheChannelAfterTheLastEchoUpToThePromptTrimmed)
{
    // A firmware that ends the value with CR LF before its prompt.
    EXPECT_EQ(Parse(Answer(u"dhcp", u"y", u"0012\r\n")).channel, u"0012");
    // Only the last echo counts.
    EXPECT_EQ(Parse(Answer(u"dhcp", u"y", u"0001/ # lmparam g CH_SELECT_V\r\n 0009 ")).channel, u"0009");
    // No output: nothing to select.
    EXPECT_EQ(Parse(Answer(u"dhcp", u"y", u"")).channel, u"");
}

TEST(DeviceDetailsParse, LeavesTheChannelEmptyWithoutAnEchoOrWithoutAPromptAfterIt)
{
    EXPECT_EQ(Parse(u"IS_HOST=n\r\n/ # 0001/").channel, u"");
    EXPECT_EQ(Parse(u"IS_HOST=n\r\n/ # lmparam g CH_SELECT_V\r\n0001").channel, u"");
}

TEST(DeviceDetailsParse, ReadsTheVersionOnlyWhenItsLineIsComplete)
{
    EXPECT_EQ(Parse(u"initrd2m\r\nv1\r\nIS_HOST/").version, u"v1");
    EXPECT_EQ(Parse(u"IS_HOST/ initrd2m: v2").version, u"");
    EXPECT_EQ(Parse(u"IS_HOST/ initrd2m").version, u"");  // fewer than two characters after
}

TEST(DeviceDetailsParser, AgreesWithAFreshParseAtEveryArrivalAndReusesUnchangedResults)
{
    const std::u16string text = Answer(u"static", u"n", u"00\r\n07\r\n") + u"more\r\n";
    Transcript t;
    DeviceDetailsParser parser;
    std::shared_ptr<const DeviceDetails> previous;
    for (std::size_t i = 0; i < text.size(); i += 5) {
        t.append(std::u16string_view(text).substr(i, 5));
        const auto cached = parser.parse(t);
        const auto fresh = ParseDeviceDetails(t);
        ASSERT_EQ(cached != nullptr, fresh.has_value());
        if (cached) {
            EXPECT_EQ(*cached, *fresh);
        }
        previous = cached;
    }
    t.append(u"nothing new\r\n");
    EXPECT_EQ(parser.parse(t), previous);
}

TEST(DeviceDetails, TheChannelIsTheLineBeforeThePromptAndNoiseBeforeItIsNoPartOfIt)
{
    std::u16string noise = u"\x1b[2J\xfffd";
    noise += u'\0';
    noise += u"\x01 kernel: eth0 up\r\n0042 \r\n0007\r\n";
    EXPECT_EQ(Parse(Answer(u"dhcp", u"y", noise)).channel, u"0007");
    EXPECT_EQ(Parse(Answer(u"dhcp", u"y", u"flood flood\r\nflood 0007")).channel, u"")
        << "a channel shares its line with nothing";
    EXPECT_EQ(Parse(Answer(u"dhcp", u"y", u"\x1b]0;x\x07\r\n")).channel, u"") << "no channel line: unread";
}
