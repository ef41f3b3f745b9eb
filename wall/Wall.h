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

void ResizeWall(IMainWindow& window);
void BeginDrag(IMainWindow& window, int row);
void TrackDrag(IMainWindow& window, QPoint clientPos);
void EndDrag(IMainWindow& window, QPoint clientPos);
void Drop(IMainWindow& window, int gridButtonId);
void QuickLayout(IMainWindow& window);
void SendStretchType(IMainWindow& window);
void SendRotation(IMainWindow& window);
void ShowOsd(IMainWindow& window);
