#pragma once
// The wall picture rules shared by the window's grid and the command line:
// a receiver's tile, its e_vw_enable line, and where the quick layout puts
// the i-th receiver. Standard library only.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace cv::nodes {

struct Tile {
    std::uint32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    bool operator==(const Tile&) const = default;
};

struct Cell {
    std::uint32_t row = 0;
    std::uint32_t column = 0;
    bool operator==(const Cell&) const = default;
};

// A receiver's section of the wall picture, in ten-thousandths, in unsigned
// 32-bit arithmetic. nullopt when a divisor is 0 (never divides by zero).
// vi and hi are the last row and column index (rows - 1, columns - 1).
std::optional<Tile> TileRule(std::uint32_t row, std::uint32_t column, std::uint32_t vi, std::uint32_t hi,
                             std::uint32_t ow, std::uint32_t oh, std::uint32_t vw, std::uint32_t vh);

// "e e_vw_enable_%u_%u_%u_%u_2\r\n"
std::u16string WallEnableLine(const Tile& tile);

// A wall larger than 1 x 1 refuses a zero bezel value before anything is sent.
inline bool AnyBezelZero(std::uint32_t ow, std::uint32_t oh, std::uint32_t vw, std::uint32_t vh)
{
    return ow == 0 || oh == 0 || vw == 0 || vh == 0;
}

// Every tile of the wall comes out non-empty, in order and within the
// picture (0 <= left < right <= 10000, the same for top and bottom).
// Bezels that are each in range can still wrap the products into tiles
// that are empty or reversed; such a wall is refused before anything goes
// out.
bool WallTilesSound(std::uint32_t vi, std::uint32_t hi, std::uint32_t ow, std::uint32_t oh, std::uint32_t vw,
                    std::uint32_t vh);
// The first tile, row by row, that breaks that rule (nullopt when none
// does): what a refusal shows the operator.
struct UnsoundTile {
    Cell cell;
    Tile tile;  // all zeros when the wall is 0 wide or 0 high
};
std::optional<UnsoundTile> FirstUnsoundTile(std::uint32_t vi, std::uint32_t hi, std::uint32_t ow, std::uint32_t oh,
                                            std::uint32_t vw, std::uint32_t vh);

// What the operator is told when the bezel values give no wall to send.
inline constexpr std::string_view kBezelZeroMessage = "OW, OH, VW, VH can not be 0.";
inline constexpr std::string_view kWallSizeZeroMessage =
    "With these OW, OH, VW, VH values the wall is 0 wide or 0 high. Nothing was sent.";
inline constexpr std::string_view kWallTilesUnsoundMessage =
    "With these OW, OH, VW, VH values a tile of the wall would be empty or reversed. Nothing was sent.";

// The quick layout fills the wall row by row; on a 1 x 1 wall, and for every
// receiver past the last cell, the cell is (0, 0).
Cell QuickLayoutCell(std::uint32_t index, std::uint32_t vi, std::uint32_t hi);

}  // namespace cv::nodes
