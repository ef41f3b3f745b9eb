// The operations' line lists: the byte counts the window's wire shows,
// zero bytes included, and the refusals that keep a line from going out cut.
#include "nodes/Operations.h"

#include <gtest/gtest.h>

using namespace cv::nodes;

namespace {
std::string Wire(const std::vector<WireLine>& lines)
{
    std::string out;
    for (const WireLine& l : lines)
        out += *WireBytes(l);
    return out;
}
}  // namespace

TEST(OperationLines, ApplyGroupsCarryTheirZeroBytesExactlyWhereTheWindowSendsThem)
{
    using namespace std::string_literals;
    EXPECT_EQ(Wire(HostnameGroupLines(u"lobby-1")),
              "astparam s hostname_id lobby-1\r\ne e_chg_hostname\r\nastparam save\r\n"s);
    const std::string casting = Wire(CastingGroupLines(false));
    EXPECT_EQ(casting, "astparam s multicast_on n\r\n\0astparam save\r\n"s);
    EXPECT_EQ(casting.size(), 28u + 15u);
    EXPECT_EQ(Wire(ChannelGroupLines(u"0042")),
              "astparam s reset_ch_on_boot n\r\n\0astparam save\r\n\0e e_reconnect::0042\r\n\0"s);
    EXPECT_EQ(Wire(IpGroupLines(IpMode::Dhcp)), "astparam s ip_mode dhcp\r\nastparam save\r\n"s);
    EXPECT_EQ(Wire(IpGroupLines(IpMode::Static, u"10.0.0.5", u"255.255.255.0", u"10.0.0.1")),
              "astparam s ipaddr 10.0.0.5\r\nastparam s netmask 255.255.255.0\r\n"
              "astparam s gatewayip 10.0.0.1\r\nastparam s ip_mode static\r\nastparam save\r\n"s);
    // The saves whose result the window ignores are the untested ones.
    EXPECT_FALSE(CastingGroupLines(true)[1].tested);
    EXPECT_FALSE(IpGroupLines(IpMode::AutoIp)[1].tested);
    EXPECT_TRUE(IpGroupLines(IpMode::Static, u"a", u"b", u"c")[4].tested);
}

TEST(OperationLines, RestartAndUpgradeLinesMatchTheWindowsBytes)
{
    using namespace std::string_literals;
    EXPECT_EQ(Wire(RebootLines()), "reboot\r\n\0"s);
    EXPECT_EQ(Wire(FactoryDefaultLines()), "reset_to_default.sh\r\n\0reboot\r\n\0"s);
    EXPECT_EQ(Wire(FactoryDefaultLines()).size(), 31u);
    const auto up = UpgradeLines(u"192.168.0.10", true);
    ASSERT_EQ(up.size(), 6u);
    EXPECT_EQ(*WireBytes(up[1]), "tftp -v 192.168.0.10 -c get webfwh.bin\r\n");
    EXPECT_EQ(WireBytes(up[1])->size(), 40u);
    EXPECT_EQ(*WireBytes(UpgradeLines(u"1.2.3.4", false)[4]), "mv webfwc.bin fw.tar.gz\r\n");
    // The longest tftp line (15-character address) still fits its buffer.
    EXPECT_EQ(WireBytes(UpgradeLines(u"255.255.255.255", false)[1])->size(), 43u);
}

TEST(OperationLines, RefusesLinesThatWouldGoOutCutOrNotAsAscii)
{
    EXPECT_TRUE(WireBytes({std::u16string(49, u'a'), false, true, 0}).has_value());
    EXPECT_FALSE(WireBytes({std::u16string(50, u'a'), false, true, 0}).has_value());
    EXPECT_FALSE(WireBytes({u"big_osd_on.sh \"12345678901234\"\r\n", false, true, 0}, kShortLineBuffer).has_value());
    EXPECT_FALSE(WireBytes({u"caf\u00e9\r\n", false, true, 0}).has_value());
    EXPECT_FALSE(WireBytes({std::u16string(u"a\0b", 3), false, true, 0}).has_value());
}

TEST(OperationLines, ShortLinesGoOutWithoutTheirZeroAndFitTheShortBufferUpToAnElevenDigitNumber)
{
    using namespace std::string_literals;
    EXPECT_EQ(WireBytes(OsdLine(true, u"42"), kShortLineBuffer), "big_osd_on.sh \"42\"\r\n"s);
    EXPECT_EQ(WireBytes(OsdLine(false, u"42"), kShortLineBuffer), "osd_off.sh 0\r\n"s);
    // With its zero the buffer holds 29 characters: 11 digits, not 12.
    EXPECT_TRUE(WireBytes(OsdLine(true, u"12345678901"), kShortLineBuffer));
    EXPECT_FALSE(WireBytes(OsdLine(true, u"123456789012"), kShortLineBuffer));
    for (int combo = 0; combo < 3; ++combo) {
        EXPECT_TRUE(WireBytes(ShortLine(StretchTypeLine(combo)), kShortLineBuffer)) << combo;
        EXPECT_TRUE(WireBytes(ShortLine(RotateLine(combo)), kShortLineBuffer)) << combo;
    }
}

TEST(OperationLines, ChannelsAreTheFourDigitTextsOfTheWindowsList)
{
    for (const char16_t* ok : {u"0000", u"0042", u"0099"})
        EXPECT_TRUE(IsValidChannel(ok)) << std::string(ok, ok + 4);
    for (const char16_t* bad : {u"", u"42", u"0100", u"00a1", u"00420", u" 042", u"-001"})
        EXPECT_FALSE(IsValidChannel(bad));
}
