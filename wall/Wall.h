#pragma once
// The video wall: grid, drag and drop of receivers, quick layout, stretch,
// rotation and the on-screen numbers.
#include "net/MainWindow.h"
#include "nodes/Wall.h"

#include <QPoint>
#include <QString>
#include <cstdint>
#include <optional>

// The tile rule lives with the firmware vocabulary, shared with the command line.
using cv::nodes::Tile;
using cv::nodes::TileRule;

// "e e_vw_enable_%u_%u_%u_%u_2\r\n"
QString EnableLine(const Tile& tile);

// The caption a grid button shows when no receiver is placed on it: "r_c".
QString PositionLabel(int row, int column);

void ResizeWall(IMainWindow& window);
void BeginDrag(IMainWindow& window, int row);
void TrackDrag(IMainWindow& window, QPoint clientPos);
void EndDrag(IMainWindow& window, QPoint clientPos);
void Drop(IMainWindow& window, int gridButtonId);
void QuickLayout(IMainWindow& window);
void SendStretchType(IMainWindow& window);
void SendRotation(IMainWindow& window);
void ShowOsd(IMainWindow& window);

namespace wall_text {
// The bezel texts are the firmware vocabulary's, shared with the command line.
inline constexpr const char* kBezelZero = cv::nodes::kBezelZeroMessage.data();
inline constexpr const char* kApplyFail = "Apply fail, please scan again.";
// The bezel values wrapped round to a wall that is 0 wide or high (or a
// 1 x 1 wall has VW or VH 0): there is no picture to divide.
inline constexpr const char* kWallSizeZero = cv::nodes::kWallSizeZeroMessage.data();
// In range one by one, the values still give a tile that is empty or reversed.
inline constexpr const char* kWallTilesUnsound = cv::nodes::kWallTilesUnsoundMessage.data();
}  // namespace wall_text
