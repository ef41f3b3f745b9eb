#include "cli/Layout.h"

#include "lan/Interfaces.h"
#include "nodes/Firmware.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cmath>

namespace cv::cli {

namespace {
std::optional<std::uint32_t> ParseU32(const std::string& s)
{
    if (s.empty() || s.size() > 10)
        return std::nullopt;
    std::uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return std::nullopt;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v > 0xFFFFFFFFull)
        return std::nullopt;
    return static_cast<std::uint32_t>(v);
}

std::optional<std::uint32_t> JsonU32(const Json* v)
{
    if (!v || !v->isNumber())
        return std::nullopt;
    const double d = v->asNumber();
    if (d < 0 || d > 4294967295.0 || d != std::floor(d))
        return std::nullopt;
    return static_cast<std::uint32_t>(d);
}

bool ValidMac(const std::string& mac)
{
    if (mac.size() != 17)
        return false;
    for (std::size_t i = 0; i < mac.size(); ++i) {
        const char c = mac[i];
        if (i % 3 == 2 ? c != ':' : !std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}
}  // namespace

std::optional<std::pair<std::uint32_t, std::uint32_t>> ParseWallSize(const std::string& text)
{
    const auto x = text.find_first_of("xX");
    if (x == std::string::npos)
        return std::nullopt;
    const auto r = ParseU32(text.substr(0, x));
    const auto c = ParseU32(text.substr(x + 1));
    if (!r || !c || *r < 1 || *r > 5 || *c < 1 || *c > 5)
        return std::nullopt;
    return std::pair{*r, *c};
}

std::optional<Bezel> ParseBezel(const std::string& text)
{
    std::vector<std::uint32_t> v;
    std::size_t start = 0;
    for (;;) {
        const auto comma = text.find(',', start);
        const auto n = ParseU32(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (!n)
            return std::nullopt;
        v.push_back(*n);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (v.size() != 4)
        return std::nullopt;
    return Bezel{v[0], v[1], v[2], v[3]};
}

std::optional<std::string> WallRefusal(std::uint32_t rows, std::uint32_t columns, const Bezel& b)
{
    const bool single = rows == 1 && columns == 1;
    if (!single && nodes::AnyBezelZero(b.ow, b.oh, b.vw, b.vh))
        return "OW, OH, VW, VH can not be 0.";
    if (!nodes::TileRule(0, 0, rows - 1, columns - 1, b.ow, b.oh, b.vw, b.vh) && !single)
        return "With these OW, OH, VW, VH values the wall is 0 wide or 0 high. Nothing was sent.";
    return std::nullopt;
}

nodes::Tile PlacedTile(std::uint32_t row, std::uint32_t column, std::uint32_t rows, std::uint32_t columns,
                       const Bezel& b)
{
    if (rows == 1 && columns == 1)
        return {};
    return nodes::TileRule(row, column, rows - 1, columns - 1, b.ow, b.oh, b.vw, b.vh).value_or(nodes::Tile{});
}

nodes::Tile QuickTile(std::uint32_t index, std::uint32_t rows, std::uint32_t columns, const Bezel& b)
{
    const nodes::Cell cell = nodes::QuickLayoutCell(index, rows - 1, columns - 1);
    return nodes::TileRule(cell.row, cell.column, rows - 1, columns - 1, b.ow, b.oh, b.vw, b.vh)
        .value_or(nodes::Tile{});
}

std::optional<std::u16string> StretchLine(const std::string& stretch)
{
    if (stretch == "fit")
        return nodes::StretchTypeLine(0);
    if (stretch == "out")
        return nodes::StretchTypeLine(1);
    return std::nullopt;
}

std::optional<std::u16string> RotateLine(unsigned degrees)
{
    switch (degrees) {
    case 0: return nodes::RotateLine(0);
    case 180: return nodes::RotateLine(1);
    case 270: return nodes::RotateLine(2);
    default: return std::nullopt;
    }
}

std::optional<Layout> LayoutFromJson(const Json& json, std::string& error)
{
    if (!json.isObject()) {
        error = "a layout is a JSON object";
        return std::nullopt;
    }
    Layout l;
    const auto rows = JsonU32(json.find("rows"));
    const auto columns = JsonU32(json.find("columns"));
    if (!rows || !columns || *rows < 1 || *rows > 5 || *columns < 1 || *columns > 5) {
        error = "\"rows\" and \"columns\" must be whole numbers from 1 to 5";
        return std::nullopt;
    }
    l.rows = *rows;
    l.columns = *columns;
    const Json* bezel = json.find("bezel");
    const auto ow = JsonU32(bezel ? bezel->find("ow") : nullptr);
    const auto oh = JsonU32(bezel ? bezel->find("oh") : nullptr);
    const auto vw = JsonU32(bezel ? bezel->find("vw") : nullptr);
    const auto vh = JsonU32(bezel ? bezel->find("vh") : nullptr);
    if (!ow || !oh || !vw || !vh) {
        error = "\"bezel\" must hold \"ow\", \"oh\", \"vw\" and \"vh\", unsigned 32-bit whole numbers";
        return std::nullopt;
    }
    l.bezel = {*ow, *oh, *vw, *vh};
    const auto readLook = [&](const Json& o, std::optional<std::string>& stretch, std::optional<unsigned>& rotate,
                              const std::string& where) {
        if (const Json* s = o.find("stretch")) {
            if (!s->isString() || !StretchLine(s->asString())) {
                error = where + "\"stretch\" must be \"fit\" or \"out\"";
                return false;
            }
            stretch = s->asString();
        }
        if (const Json* r = o.find("rotate")) {
            const auto deg = JsonU32(r);
            if (!deg || !RotateLine(*deg)) {
                error = where + "\"rotate\" must be 0, 180 or 270";
                return false;
            }
            rotate = *deg;
        }
        return true;
    };
    if (!readLook(json, l.stretch, l.rotate, ""))
        return std::nullopt;
    const Json* placements = json.find("placements");
    if (!placements || !placements->isArray()) {
        error = "\"placements\" must be a list";
        return std::nullopt;
    }
    std::size_t i = 0;
    for (const Json& p : placements->asArray()) {
        const std::string where = "placement " + std::to_string(++i) + ": ";
        if (!p.isObject()) {
            error = where + "must be an object";
            return std::nullopt;
        }
        Placement pl;
        const auto row = JsonU32(p.find("row"));
        const auto column = JsonU32(p.find("column"));
        if (!row || !column || *row >= l.rows || *column >= l.columns) {
            error = where + "\"row\" and \"column\" must name a cell of the " + std::to_string(l.rows) + " x " +
                    std::to_string(l.columns) + " wall (counted from 0)";
            return std::nullopt;
        }
        pl.row = *row;
        pl.column = *column;
        const Json* address = p.find("address");
        const Json* mac = p.find("mac");
        if ((address != nullptr) == (mac != nullptr)) {
            error = where + "needs exactly one of \"address\" and \"mac\"";
            return std::nullopt;
        }
        if (address) {
            if (!address->isString() || lan::CanonicalIpv4(address->asString()) != address->asString()) {
                error = where + "\"address\" must be a dotted IPv4 address";
                return std::nullopt;
            }
            pl.address = address->asString();
        } else {
            if (!mac->isString() || !ValidMac(mac->asString())) {
                error = where + "\"mac\" must read like 02:00:c6:12:02:01";
                return std::nullopt;
            }
            pl.mac = mac->asString();
        }
        if (!readLook(p, pl.stretch, pl.rotate, where))
            return std::nullopt;
        for (const Placement& other : l.placements)
            if ((!pl.address.empty() && other.address == pl.address) ||
                (!pl.mac.empty() && strcasecmp(other.mac.c_str(), pl.mac.c_str()) == 0)) {
                error = where + "that receiver is placed twice";
                return std::nullopt;
            }
        l.placements.push_back(std::move(pl));
    }
    if (auto refusal = WallRefusal(l.rows, l.columns, l.bezel)) {
        error = *refusal;
        return std::nullopt;
    }
    return l;
}

Json LayoutToJson(const Layout& l)
{
    Json j{Json::Object{}};
    j.set("rows", l.rows);
    j.set("columns", l.columns);
    Json b{Json::Object{}};
    b.set("ow", l.bezel.ow);
    b.set("oh", l.bezel.oh);
    b.set("vw", l.bezel.vw);
    b.set("vh", l.bezel.vh);
    j.set("bezel", std::move(b));
    if (l.stretch)
        j.set("stretch", *l.stretch);
    if (l.rotate)
        j.set("rotate", *l.rotate);
    Json::Array a;
    for (const Placement& p : l.placements) {
        Json o{Json::Object{}};
        o.set("row", p.row);
        o.set("column", p.column);
        if (!p.address.empty())
            o.set("address", p.address);
        else
            o.set("mac", p.mac);
        if (p.stretch)
            o.set("stretch", *p.stretch);
        if (p.rotate)
            o.set("rotate", *p.rotate);
        a.push_back(std::move(o));
    }
    j.set("placements", std::move(a));
    return j;
}

void Place(Layout& layout, Placement placement)
{
    auto& ps = layout.placements;
    ps.erase(std::remove_if(ps.begin(), ps.end(),
                            [&](const Placement& p) {
                                const bool same = (!placement.address.empty() && p.address == placement.address) ||
                                                  (!placement.mac.empty() && p.mac == placement.mac);
                                const bool cell = p.row == placement.row && p.column == placement.column;
                                return same || cell;
                            }),
             ps.end());
    ps.push_back(std::move(placement));
}

}  // namespace cv::cli
