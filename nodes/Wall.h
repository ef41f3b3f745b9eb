#pragma once
// The wall picture rules shared by the window's grid and the command line:
// a receiver's tile, its e_vw_enable line, and where the quick layout puts
// the i-th receiver. Standard library only.

#include <cstdint>
#include <optional>
#include <string>

namespace cv::nodes {

struct Tile {
    std::uint32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    bool operator==(const Tile&) const = default;
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

struct Cell {
    std::uint32_t row = 0;
    std::uint32_t column = 0;
    bool operator==(const Cell&) const = default;
};

// The quick layout fills the wall row by row; on a 1 x 1 wall, and for every
// receiver past the last cell, the cell is (0, 0).
Cell QuickLayoutCell(std::uint32_t index, std::uint32_t vi, std::uint32_t hi);

}  // namespace cv::nodes
