#include "nodes/Wall.h"

#include <cstdio>

namespace cv::nodes {

std::optional<Tile> TileRule(std::uint32_t row, std::uint32_t column, std::uint32_t vi, std::uint32_t hi,
                             std::uint32_t ow, std::uint32_t oh, std::uint32_t vw, std::uint32_t vh)
{
    // Products wrap modulo 2^32 on purpose: the receivers were laid out with
    // exactly this arithmetic. Only the divisors need guarding.
    const std::uint32_t wt = vw + ow * hi;
    const std::uint32_t ht = vh + oh * vi;
    if (wt == 0 || ht == 0)
        return std::nullopt;
    Tile t;
    t.x0 = ow * column * 10000u / wt;
    t.y0 = oh * row * 10000u / ht;
    t.x1 = (ow * column + vw) * 10000u / wt;
    t.y1 = (oh * row + vh) * 10000u / ht;
    return t;
}

std::u16string WallEnableLine(const Tile& tile)
{
    char buf[64];
    const int n = std::snprintf(buf, sizeof buf, "e e_vw_enable_%u_%u_%u_%u_2\r\n", tile.x0, tile.y0, tile.x1, tile.y1);
    return std::u16string(buf, buf + n);
}

std::optional<UnsoundTile> FirstUnsoundTile(std::uint32_t vi, std::uint32_t hi, std::uint32_t ow, std::uint32_t oh,
                                            std::uint32_t vw, std::uint32_t vh)
{
    for (std::uint32_t r = 0; r <= vi; ++r)
        for (std::uint32_t c = 0; c <= hi; ++c) {
            const std::optional<Tile> t = TileRule(r, c, vi, hi, ow, oh, vw, vh);
            if (!t || t->x0 >= t->x1 || t->y0 >= t->y1 || t->x1 > 10000u || t->y1 > 10000u)
                return UnsoundTile{{r, c}, t.value_or(Tile{})};
        }
    return std::nullopt;
}

bool WallTilesSound(std::uint32_t vi, std::uint32_t hi, std::uint32_t ow, std::uint32_t oh, std::uint32_t vw,
                    std::uint32_t vh)
{
    return !FirstUnsoundTile(vi, hi, ow, oh, vw, vh);
}

Cell QuickLayoutCell(std::uint32_t index, std::uint32_t vi, std::uint32_t hi)
{
    const std::uint32_t columns = hi + 1;
    const std::uint64_t cells = std::uint64_t{vi + 1} * columns;
    if ((vi == 0 && hi == 0) || index >= cells)
        return {};
    return {index / columns, index % columns};
}

}  // namespace cv::nodes
