#include "wall/Wall.h"

std::optional<Tile> TileRule(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) { return std::nullopt; }
QString EnableLine(const Tile&) { return {}; }
void ResizeWall(IMainWindow&) {}
void BeginDrag(IMainWindow&, int) {}
void TrackDrag(IMainWindow&, QPoint) {}
void EndDrag(IMainWindow&, QPoint) {}
void Drop(IMainWindow&, int) {}
void QuickLayout(IMainWindow&) {}
void SendStretchType(IMainWindow&) {}
void SendRotation(IMainWindow&) {}
void ShowOsd(IMainWindow&) {}
