#include "wall/Wall.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

struct Cell {
    uint32_t r, c;
    Tile tile;
};

}  // namespace

TEST(TileRule, ReproducesTheWorkedExampleOfATwoByThreeWall)
{
    // OW 12170, VW 12100, OH 6870, VH 6800: Wt 36440, Ht 13670.
    const std::vector<Cell> expected = {
        {0, 0, {0, 0, 3320, 4974}},     {0, 1, {3339, 0, 6660, 4974}},     {0, 2, {6679, 0, 10000, 4974}},
        {1, 0, {0, 5025, 3320, 10000}}, {1, 1, {3339, 5025, 6660, 10000}}, {1, 2, {6679, 5025, 10000, 10000}},
    };
    for (const Cell& cell : expected) {
        const auto tile = TileRule(cell.r, cell.c, 1, 2, 12170, 6870, 12100, 6800);
        ASSERT_TRUE(tile.has_value());
        EXPECT_EQ(*tile, cell.tile) << "cell " << cell.r << "_" << cell.c;
    }
}

TEST(TileRule, EndsTheLastColumnAndRowExactlyAtTheWallEdgeForEveryWallSize)
{
    // Pitches at least the visible size, small enough that no product wraps.
    const std::vector<uint32_t> visible = {1, 7, 333, 1920, 12100, 40000};
    const std::vector<uint32_t> extra = {0, 1, 3, 70, 999, 20000};
    for (uint32_t vi = 0; vi < 5; ++vi)
        for (uint32_t hi = 0; hi < 5; ++hi)
            for (uint32_t v : visible)
                for (uint32_t e : extra) {
                    const uint32_t pitch = v + e;
                    uint32_t lastRight = 0, lastBottom = 0;
                    for (uint32_t r = 0; r <= vi; ++r)
                        for (uint32_t c = 0; c <= hi; ++c) {
                            const auto t = TileRule(r, c, vi, hi, pitch, pitch, v, v);
                            ASSERT_TRUE(t.has_value());
                            ASSERT_LE(t->x0, t->x1);
                            ASSERT_LE(t->y0, t->y1);
                            ASSERT_LE(t->x1, 10000u);
                            ASSERT_LE(t->y1, 10000u);
                            if (c == 0) {
                                EXPECT_EQ(t->x0, 0u);
                            }
                            if (r == 0) {
                                EXPECT_EQ(t->y0, 0u);
                            }
                            // Neighbours never overlap: the gap only moves tiles apart.
                            if (c > 0) {
                                EXPECT_GE(t->x0, lastRight);
                            }
                            lastRight = t->x1;
                            if (c == hi) {
                                EXPECT_EQ(t->x1, 10000u) << vi << "x" << hi << " v" << v << " e" << e;
                            }
                            if (r == vi) {
                                EXPECT_EQ(t->y1, 10000u) << vi << "x" << hi << " v" << v << " e" << e;
                            }
                            if (c == hi && r > 0) {
                                EXPECT_GE(t->y0, lastBottom);
                            }
                            if (c == hi)
                                lastBottom = t->y1;
                        }
                }
}

TEST(TileRule, GivesNoTileInsteadOfDividingByZero)
{
    // A 1 x 1 wall with no visible width or height.
    EXPECT_FALSE(TileRule(0, 0, 0, 0, 5, 5, 0, 5).has_value());
    EXPECT_FALSE(TileRule(0, 0, 0, 0, 5, 5, 5, 0).has_value());
    // Wt = VW + OW * Hi wraps to exactly 2^32: 2^31 * 2 + 0, and 2^32 - 2 + 1 * 2.
    EXPECT_FALSE(TileRule(0, 0, 0, 2, 0x80000000u, 1, 0, 1).has_value());
    EXPECT_FALSE(TileRule(1, 1, 0, 1, 2, 1, 0xFFFFFFFEu, 1).has_value());
    // Ht wraps the same way.
    EXPECT_FALSE(TileRule(1, 0, 4, 0, 1, 0x40000000u, 1, 0).has_value());
    // Large values that wrap but leave a divisor are computed, not refused.
    EXPECT_TRUE(TileRule(1, 1, 1, 1, 0x80000001u, 0x80000001u, 5, 5).has_value());
}

TEST(TileRule, WrapsProductsModuloTwoToTheThirtyTwo)
{
    // OW * c * 10000 = 3 * 300000 * 10000 = 9e9, which is 9e9 mod 2^32 = 410065408.
    const auto t = TileRule(0, 3, 0, 4, 300000, 1, 1, 1);
    ASSERT_TRUE(t.has_value());
    const uint32_t wt = 1u + 300000u * 4u;
    EXPECT_EQ(t->x0, static_cast<uint32_t>(9000000000ull % 4294967296ull) / wt);
}

TEST(EnableLine, FormatsTheFourEdgesAsPlainDecimalsBeforeTheFixedTail)
{
    EXPECT_EQ(EnableLine({0, 0, 0, 0}), QStringLiteral("e e_vw_enable_0_0_0_0_2\r\n"));
    EXPECT_EQ(EnableLine({6679, 5025, 10000, 10000}), QStringLiteral("e e_vw_enable_6679_5025_10000_10000_2\r\n"));
    EXPECT_EQ(EnableLine({4294967295u, 7, 10, 0}), QStringLiteral("e e_vw_enable_4294967295_7_10_0_2\r\n"));
}
