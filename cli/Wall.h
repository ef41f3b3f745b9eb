#pragma once
// What the wall commands share: a receiver's job (its cell, tile and lines),
// the options, and the checks every wall command makes before it sends.
// Each subcommand has its own file.
#include "cli/Command.h"

#include "endpoint/Layout.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace cv::cli::wall {

using endpoint::Bezel;
using endpoint::Layout;
using endpoint::LayoutText;
using endpoint::ParseBezel;
using endpoint::ParseWallSize;
using endpoint::PlacedTile;
using endpoint::Placement;
using endpoint::PlacementLines;
using endpoint::QuickTile;
using endpoint::ReadLayout;
using endpoint::RotateLine;
using endpoint::StretchLine;
using endpoint::WallRefusal;

inline constexpr const char* kWallLines = "wall lines";

struct WallJob {
    std::string address;
    std::string number;
    std::uint32_t row = 0, column = 0;
    nodes::Tile tile;
    // Empty: the tile's e_vw_enable line alone.
    std::vector<BufferedLine> lines;
};

struct WallOptions {
    std::string size, bezel, order, save, address, row, column, value, layout;
    std::vector<std::string> addresses;
    bool wrap = false;
    CLI::Option *bezelOpt = nullptr, *orderOpt = nullptr, *saveOpt = nullptr, *sizeOpt = nullptr;
};

Record WallRecord(const WallJob& j);
// The jobs' rows, then a failed one for each receiver --partial left out.
int SendWall(Invocation& run, const std::vector<WallJob>& jobs, const std::vector<std::string>& missing = {});
std::pair<std::uint32_t, std::uint32_t> WallSize(const std::string& text);
Bezel BezelOption(const CLI::Option* option, const std::string& text);
// A wall that gives no sound tiles is refused with its numbers; pictures
// larger than their pitch are sent, but not without a word.
void CheckWall(std::uint32_t rows, std::uint32_t columns, const Bezel& b, Reporter& reporter);
// "A,B,C": every entry a dotted address; an empty one is a usage error.
std::vector<std::string> OrderList(const std::string& s);
Layout LoadLayout(const std::string& path, const std::string& after);

int Quick(const WallOptions& o, Invocation& run);
int Place(const WallOptions& o, Invocation& run);
// stretch (true) or rotate
int Look(const WallOptions& o, Invocation& run, bool stretch);
int Apply(const WallOptions& o, Invocation& run);

}  // namespace cv::cli::wall
