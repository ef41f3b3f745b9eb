// The wall rules below the widgets: the quick layout's cell choice and the
// enable line in the parsers' text type (the tile rule itself is checked
// with the window in tests/wall).
#include "nodes/Wall.h"

#include <gtest/gtest.h>

using cv::nodes::Cell;
using cv::nodes::QuickLayoutCell;

TEST(QuickLayoutCell, FillsRowByRowAndSendsSurplusReceiversToTheFirstCell)
{
    // 2 rows x 3 columns: vi 1, hi 2.
    const Cell expected[] = {{0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 1}, {1, 2}, {0, 0}, {0, 0}};
    for (std::uint32_t i = 0; i < 8; ++i)
        EXPECT_EQ(QuickLayoutCell(i, 1, 2), expected[i]) << i;
    // 1 x 1: always the only cell.
    EXPECT_EQ(QuickLayoutCell(0, 0, 0), (Cell{0, 0}));
    EXPECT_EQ(QuickLayoutCell(5, 0, 0), (Cell{0, 0}));
    // A 5 x 1 wall is one column.
    EXPECT_EQ(QuickLayoutCell(4, 4, 0), (Cell{4, 0}));
}

TEST(EnableLineText, MatchesTheFormatWithPlainUnsignedDecimals)
{
    EXPECT_EQ(cv::nodes::WallEnableLine({6679, 5025, 10000, 10000}), u"e e_vw_enable_6679_5025_10000_10000_2\r\n");
    EXPECT_EQ(cv::nodes::WallEnableLine({4294967295u, 0, 1, 2}), u"e e_vw_enable_4294967295_0_1_2_2\r\n");
}

TEST(WallTilesSound, HoldsForEveryCellOfASensibleWall)
{
    EXPECT_TRUE(cv::nodes::WallTilesSound(1, 2, 12170, 6870, 12100, 6800));
    EXPECT_TRUE(cv::nodes::WallTilesSound(4, 4, 1, 1, 1, 1));
    EXPECT_TRUE(cv::nodes::WallTilesSound(0, 0, 5, 5, 5, 5));
}

TEST(WallTilesSound, RefusesWallsWhoseProductsWrapIntoEmptyOrReversedTiles)
{
    // Each value fits 32 bits, yet OW x column wraps past the wall width.
    EXPECT_FALSE(cv::nodes::WallTilesSound(0, 2, 3000000000u, 1, 12100, 1));
    // OW saturated to the maximum gave a left edge past the right.
    EXPECT_FALSE(cv::nodes::WallTilesSound(1, 2, 4294967295u, 6870, 12100, 6800));
    // A zero divisor has no tiles at all.
    EXPECT_FALSE(cv::nodes::WallTilesSound(0, 1, 2, 5, 4294967294u, 5));
    // A visible width of 0 gives tiles with no width.
    EXPECT_FALSE(cv::nodes::WallTilesSound(0, 1, 100, 100, 0, 100));
}

TEST(WallTilesSound, NamesTheFirstTileThatBreaksTheRuleSoARefusalCanShowIt)
{
    // 2 x 3, OW at its maximum: the first tile already runs past the picture.
    const auto bad = cv::nodes::FirstUnsoundTile(1, 2, 4294967295u, 6870, 12100, 6800);
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->cell, (cv::nodes::Cell{0, 0}));
    EXPECT_GT(bad->tile.x1, 10000u);
    // A wrapped product is found in a one-row wall too.
    const auto last = cv::nodes::FirstUnsoundTile(0, 2, 3000000000u, 1, 12100, 1);
    ASSERT_TRUE(last);
    EXPECT_EQ(last->cell.row, 0u);
    EXPECT_FALSE(cv::nodes::FirstUnsoundTile(1, 2, 12170, 6870, 12100, 6800));
}
