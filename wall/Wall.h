#pragma once
// The video wall: grid, drag and drop of receivers, quick layout, stretch,
// rotation and the on-screen numbers.
#include "net/MainWindow.h"

#include <QPoint>
#include <QString>
#include <cstdint>
#include <optional>

struct Tile {
    uint32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    bool operator==(const Tile&) const = default;
};

// A receiver's section of the wall picture, in ten-thousandths, in unsigned
// 32-bit arithmetic. nullopt when a divisor is 0 (never divides by zero).
std::optional<Tile> TileRule(uint32_t row, uint32_t column, uint32_t vi, uint32_t hi,
                             uint32_t ow, uint32_t oh, uint32_t vw, uint32_t vh);
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
inline constexpr const char* kBezelZero = "OW, OH, VW, VH can not be 0.";
inline constexpr const char* kApplyFail = "Apply fail, please scan again.";
// The bezel values wrapped round to a wall that is 0 wide or high (or a
// 1 x 1 wall has VW or VH 0): there is no picture to divide.
inline constexpr const char* kWallSizeZero =
    "With these OW, OH, VW, VH values the wall is 0 wide or 0 high. Nothing was sent.";
}  // namespace wall_text
