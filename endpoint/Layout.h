#pragma once
// Wall layouts: the size and bezels of a wall and which receiver shows which
// cell, as the JSON that `cortavia-cli wall apply` sends, `wall quick
// --save` / `wall place --save` write and a scene of cortaviad may hold;
// and the lines that put one receiver onto its cell.
#include "endpoint/Steps.h"
#include "nodes/Wall.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cv::endpoint {

using LayoutJson = nlohmann::ordered_json;

struct Bezel {
    std::uint32_t ow = 0, oh = 0, vw = 0, vh = 0;
    bool operator==(const Bezel&) const = default;
};

struct Placement {
    std::uint32_t row = 0, column = 0;
    std::string address;  // one of address and mac
    std::string mac;
    std::optional<std::string> stretch;  // "fit" or "out"
    std::optional<unsigned> rotate;  // 0, 180 or 270
};

struct Layout {
    std::uint32_t rows = 1, columns = 1;
    Bezel bezel;
    std::optional<std::string> stretch;
    std::optional<unsigned> rotate;
    std::vector<Placement> placements;
};

// "2x3" (rows first, as the window's button caption), 1 to 5 each.
std::optional<std::pair<std::uint32_t, std::uint32_t>> ParseWallSize(const std::string& text);
// "OW,OH,VW,VH", unsigned 32-bit decimals.
std::optional<Bezel> ParseBezel(const std::string& text);

// Why a wall of this size and these bezels cannot be laid out, or nullopt:
// a zero bezel on a wall larger than 1 x 1, a width or height of 0, or
// tiles that would come out empty or reversed.
std::optional<std::string> WallRefusal(std::uint32_t rows, std::uint32_t columns, const Bezel& b);

// A picture larger than its pitch: sent, but neighbouring tiles overlap.
// The warning, or nullopt; one rule for every wall command.
std::optional<std::string> OverlapWarning(std::uint32_t rows, std::uint32_t columns, const Bezel& b);

// The tile of a placement, as a drop on the window's grid computes it: a
// 1 x 1 wall gets all zeros.
nodes::Tile PlacedTile(std::uint32_t row, std::uint32_t column, std::uint32_t rows, std::uint32_t columns,
                       const Bezel& b);
// The tile the quick layout gives the i-th receiver.
nodes::Tile QuickTile(std::uint32_t index, std::uint32_t rows, std::uint32_t columns, const Bezel& b);

std::optional<Layout> LayoutFromJson(const LayoutJson& json, std::string& error);
LayoutJson LayoutToJson(const Layout& layout);
// The text of a layout file: nullopt with error set (the line and byte of a
// syntax error, or which key is wrong) when it is not a layout.
std::optional<Layout> ReadLayout(const std::string& text, std::string& error);
std::string LayoutText(const Layout& layout);

// Puts a receiver on a cell as the grid does: off any cell it was on, and
// whoever was on that cell is taken off.
void Place(Layout& layout, Placement placement);

// The stretch / rotation lines for a placement (its own value, else the
// layout's), each present only when set.
std::optional<std::u16string> StretchLine(const std::string& stretch);  // nullopt for other words
std::optional<std::u16string> RotateLine(unsigned degrees);  // nullopt for other angles

// What puts a placed receiver onto its cell: the e_vw_enable line of its
// tile, then its stretch and rotation lines (its own, else the layout's),
// on one session.
std::vector<BufferedLine> PlacementLines(const Layout& layout, const Placement& placement);

}  // namespace cv::endpoint
