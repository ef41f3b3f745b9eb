#include <gtest/gtest.h>

#include <string>

#include "nodes/Firmware.h"

using namespace cv::nodes;

TEST(HostnameIdRule, AcceptsLettersDigitsDashUnderscoreAndDotUpTo24Characters)
{
    EXPECT_TRUE(IsValidHostnameId(u"a"));
    EXPECT_TRUE(IsValidHostnameId(u"Lobby-2_east.A"));
    EXPECT_TRUE(IsValidHostnameId(std::u16string(24, u'x')));
}

TEST(HostnameIdRule, RefusesTextThatCouldBreakTheShellLineOrOverflowIt)
{
    EXPECT_FALSE(IsValidHostnameId(u""));
    EXPECT_FALSE(IsValidHostnameId(std::u16string(25, u'x')));
    using namespace std::string_view_literals;
    for (std::u16string_view bad :
         {u"a b"sv, u"a;reboot"sv, u"a\r\nreboot"sv, u"$(id)"sv, u"a|b"sv, u"\"a\""sv, u"caf\u00e9"sv, u"a\0b"sv}) {
        EXPECT_FALSE(IsValidHostnameId(bad)) << bad.size();
    }
}

TEST(FirmwareLines, BuildsTheUpgradeLinesForTheSelectedKind)
{
    const std::u16string tx = TftpLine(u"192.168.0.10", true);
    EXPECT_EQ(tx, u"tftp -v 192.168.0.10 -c get webfwh.bin\r\n");
    EXPECT_EQ(tx.size(), 40u);
    EXPECT_EQ(TftpLine(u"", false), u"tftp -v  -c get webfwc.bin\r\n");
    EXPECT_EQ(RenameFirmwareLine(true), u"mv webfwh.bin fw.tar.gz\r\n");
    EXPECT_EQ(RenameFirmwareLine(false), u"mv webfwc.bin fw.tar.gz\r\n");
}

TEST(FirmwareLines, MapsTheWallCombosToTheirLines)
{
    EXPECT_EQ(StretchTypeLine(0), u"e e_vw_stretch_type_2\r\n");
    EXPECT_EQ(StretchTypeLine(1), u"e e_vw_stretch_type_1\r\n");
    EXPECT_EQ(RotateLine(0), u"e e_vw_rotate_0\r\n");
    EXPECT_EQ(RotateLine(1), u"e e_vw_rotate_3\r\n");
    EXPECT_EQ(RotateLine(2), u"e e_vw_rotate_6\r\n");
}

TEST(FirmwareLines, QuotesTheOsdNumber)
{
    EXPECT_EQ(OsdOnLine(u"0"), u"big_osd_on.sh \"0\"\r\n");
    EXPECT_EQ(OsdOnLine(u"0").size(), 19u);
}

TEST(FirmwareLines, KeepsTheWireBytesAndTheSearchTextOfALiteralIdentical)
{
    EXPECT_EQ(kChannelQuery.bytes(), "lmparam g CH_SELECT_V\r\n");
    EXPECT_EQ(kChannelQuery.text(), u"lmparam g CH_SELECT_V\r\n");
    EXPECT_EQ(kReboot.bytes().size(), 8u);
    EXPECT_EQ(MulticastLine(false).size(), 27u);
}
