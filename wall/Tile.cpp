#include "wall/Wall.h"

std::optional<Tile> TileRule(uint32_t row, uint32_t column, uint32_t vi, uint32_t hi,
                             uint32_t ow, uint32_t oh, uint32_t vw, uint32_t vh)
{
    // Products wrap modulo 2^32 on purpose: the receivers were laid out with
    // exactly this arithmetic. Only the divisors need guarding.
    const uint32_t wt = vw + ow * hi;
    const uint32_t ht = vh + oh * vi;
    if (wt == 0 || ht == 0)
        return std::nullopt;
    Tile t;
    t.x0 = ow * column * 10000u / wt;
    t.y0 = oh * row * 10000u / ht;
    t.x1 = (ow * column + vw) * 10000u / wt;
    t.y1 = (oh * row + vh) * 10000u / ht;
    return t;
}

QString EnableLine(const Tile& tile)
{
    return QString::asprintf("e e_vw_enable_%u_%u_%u_%u_2\r\n", tile.x0, tile.y0, tile.x1, tile.y1);
}

QString PositionLabel(int row, int column) { return QString::asprintf("%d_%d", row, column); }
