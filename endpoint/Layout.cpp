#include "endpoint/Layout.h"

#include "lan/Interfaces.h"
#include "nodes/Firmware.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cmath>

namespace cv::endpoint {

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

// A whole number in 32 bits; 12 and 12.0 alike, as a spreadsheet may write.
std::optional<std::uint32_t> JsonU32(const LayoutJson* v)
{
    if (!v || !v->is_number())
        return std::nullopt;
    if (v->is_number_unsigned()) {
        const auto n = v->get<std::uint64_t>();
        return n <= 0xFFFFFFFFull ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(n)) : std::nullopt;
    }
    if (v->is_number_integer())
        return v->get<std::int64_t>() == 0 ? std::optional<std::uint32_t>(0) : std::nullopt;
    const double d = v->get<double>();
    if (!(d >= 0) || d > 4294967295.0 || d != std::floor(d))
        return std::nullopt;
    return static_cast<std::uint32_t>(d);
}

// nullptr when absent or when o is no object.
const LayoutJson* Find(const LayoutJson& o, const char* key)
{
    if (!o.is_object())
        return nullptr;
    const auto it = o.find(key);
    return it == o.end() ? nullptr : &*it;
}

bool IsString(const LayoutJson* v) { return v && v->is_string(); }

// Layouts are three levels deep; anything far deeper is no layout, and is
// refused before it costs the parser's stack.
constexpr int kMaxDepth = 16;

// A key the reader does not know is refused: a misspelt "colums" would
// otherwise be dropped without a word and the wall laid out without it.
bool OnlyKnownKeys(const LayoutJson& o, std::initializer_list<const char*> known, const std::string& where,
                   std::string& error)
{
    for (const auto& item : o.items()) {
        if (std::none_of(known.begin(), known.end(), [&](const char* k) { return item.key() == k; })) {
            std::string list;
            for (const char* k : known)
                list += (list.empty() ? "\"" : ", \"") + std::string(k) + "\"";
            error = where + "unknown key \"" + item.key() + "\" (known: " + list + ")";
            return false;
        }
    }
    return true;
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
        return std::string(nodes::kBezelZeroMessage);
    if (!nodes::TileRule(0, 0, rows - 1, columns - 1, b.ow, b.oh, b.vw, b.vh) && !single)
        return std::string(nodes::kWallSizeZeroMessage);
    if (single)
        return std::nullopt;
    if (const auto bad = nodes::FirstUnsoundTile(rows - 1, columns - 1, b.ow, b.oh, b.vw, b.vh)) {
        const nodes::Tile& t = bad->tile;
        const auto n = [](std::uint32_t v) { return std::to_string(v); };
        return std::string(nodes::kWallTilesUnsoundMessage) + " (" + n(rows) + " x " + n(columns) + " wall, OW " +
            n(b.ow) + ", OH " + n(b.oh) + ", VW " + n(b.vw) + ", VH " + n(b.vh) + ": the tile at row " +
            n(bad->cell.row) + ", column " + n(bad->cell.column) + " would run from " + n(t.x0) + "," + n(t.y0) +
            " to " + n(t.x1) + "," + n(t.y1) + " of 10000,10000)";
    }
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

std::optional<Layout> LayoutFromJson(const LayoutJson& json, std::string& error)
{
    if (!json.is_object()) {
        error = "a layout is a JSON object";
        return std::nullopt;
    }
    if (!OnlyKnownKeys(json, {"rows", "columns", "bezel", "stretch", "rotate", "placements"}, "", error))
        return std::nullopt;
    Layout l;
    const auto rows = JsonU32(Find(json, "rows"));
    const auto columns = JsonU32(Find(json, "columns"));
    if (!rows || !columns || *rows < 1 || *rows > 5 || *columns < 1 || *columns > 5) {
        error = "\"rows\" and \"columns\" must be whole numbers from 1 to 5";
        return std::nullopt;
    }
    l.rows = *rows;
    l.columns = *columns;
    const LayoutJson* bezel = Find(json, "bezel");
    if (bezel && bezel->is_object() && !OnlyKnownKeys(*bezel, {"ow", "oh", "vw", "vh"}, "\"bezel\": ", error))
        return std::nullopt;
    const auto ow = JsonU32(bezel ? Find(*bezel, "ow") : nullptr);
    const auto oh = JsonU32(bezel ? Find(*bezel, "oh") : nullptr);
    const auto vw = JsonU32(bezel ? Find(*bezel, "vw") : nullptr);
    const auto vh = JsonU32(bezel ? Find(*bezel, "vh") : nullptr);
    if (!ow || !oh || !vw || !vh) {
        error = "\"bezel\" must hold \"ow\", \"oh\", \"vw\" and \"vh\", unsigned 32-bit whole numbers";
        return std::nullopt;
    }
    l.bezel = {*ow, *oh, *vw, *vh};
    const auto readLook = [&](const LayoutJson& o, std::optional<std::string>& stretch, std::optional<unsigned>& rotate,
                              const std::string& where) {
        if (const LayoutJson* s = Find(o, "stretch")) {
            if (!IsString(s) || !StretchLine(s->get<std::string>())) {
                error = where + "\"stretch\" must be \"fit\" or \"out\"";
                return false;
            }
            stretch = s->get<std::string>();
        }
        if (const LayoutJson* r = Find(o, "rotate")) {
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
    const LayoutJson* placements = Find(json, "placements");
    if (!placements || !placements->is_array()) {
        error = "\"placements\" must be a list";
        return std::nullopt;
    }
    std::size_t i = 0;
    for (const LayoutJson& p : *placements) {
        const std::string where = "placement " + std::to_string(++i) + ": ";
        if (!p.is_object()) {
            error = where + "must be an object";
            return std::nullopt;
        }
        if (!OnlyKnownKeys(p, {"row", "column", "address", "mac", "stretch", "rotate"}, where, error))
            return std::nullopt;
        Placement pl;
        const auto row = JsonU32(Find(p, "row"));
        const auto column = JsonU32(Find(p, "column"));
        if (!row || !column || *row >= l.rows || *column >= l.columns) {
            error = where + "\"row\" and \"column\" must name a cell of the " + std::to_string(l.rows) + " x " +
                std::to_string(l.columns) + " wall (counted from 0)";
            return std::nullopt;
        }
        pl.row = *row;
        pl.column = *column;
        const LayoutJson* address = Find(p, "address");
        const LayoutJson* mac = Find(p, "mac");
        if ((address != nullptr) == (mac != nullptr)) {
            error = where + "needs exactly one of \"address\" and \"mac\"";
            return std::nullopt;
        }
        if (address) {
            if (!IsString(address) || lan::CanonicalIpv4(address->get<std::string>()) != address->get<std::string>()) {
                error = where + "\"address\" must be a dotted IPv4 address";
                return std::nullopt;
            }
            pl.address = address->get<std::string>();
        } else {
            if (!IsString(mac) || !ValidMac(mac->get<std::string>())) {
                error = where + "\"mac\" must read like 02:00:c6:12:02:01";
                return std::nullopt;
            }
            pl.mac = mac->get<std::string>();
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

LayoutJson LayoutToJson(const Layout& l)
{
    LayoutJson j = {{"rows", l.rows},
                    {"columns", l.columns},
                    {"bezel", {{"ow", l.bezel.ow}, {"oh", l.bezel.oh}, {"vw", l.bezel.vw}, {"vh", l.bezel.vh}}}};
    if (l.stretch)
        j["stretch"] = *l.stretch;
    if (l.rotate)
        j["rotate"] = *l.rotate;
    LayoutJson a = LayoutJson::array();
    for (const Placement& p : l.placements) {
        LayoutJson o = {{"row", p.row}, {"column", p.column}};
        if (!p.address.empty())
            o["address"] = p.address;
        else
            o["mac"] = p.mac;
        if (p.stretch)
            o["stretch"] = *p.stretch;
        if (p.rotate)
            o["rotate"] = *p.rotate;
        a.push_back(std::move(o));
    }
    j["placements"] = std::move(a);
    return j;
}

std::optional<Layout> ReadLayout(const std::string& text, std::string& error)
{
    bool tooDeep = false;
    const LayoutJson::parser_callback_t depth = [&](int d, LayoutJson::parse_event_t, LayoutJson&) {
        tooDeep = tooDeep || d > kMaxDepth;
        return !tooDeep;
    };
    LayoutJson json;
    try {
        json = LayoutJson::parse(text, depth);
    } catch (const LayoutJson::exception& e) {
        // A syntax error, or a number past a double ("1e999"), which nlohmann
        // reports as out of range rather than as a parse error.
        // "[json.exception.parse_error.101] parse error at line 3, column 5: ..." without its tag.
        std::string what = e.what();
        if (const auto tag = what.find("] "); what.rfind("[json.exception.", 0) == 0 && tag != std::string::npos)
            what.erase(0, tag + 2);
        error = what;
        return std::nullopt;
    }
    if (tooDeep) {
        error = "nested more than " + std::to_string(kMaxDepth) + " levels deep: not a layout";
        return std::nullopt;
    }
    return LayoutFromJson(json, error);
}

std::string LayoutText(const Layout& layout)
{
    return LayoutToJson(layout).dump(2, ' ', false, LayoutJson::error_handler_t::replace) + "\n";
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

std::vector<BufferedLine> PlacementLines(const Layout& layout, const Placement& placement)
{
    const nodes::Tile tile = PlacedTile(placement.row, placement.column, layout.rows, layout.columns, layout.bezel);
    std::vector<BufferedLine> lines = {{{nodes::WallEnableLine(tile), false, true, 0}, nodes::kLineBuffer}};
    if (const auto& s = placement.stretch ? placement.stretch : layout.stretch)
        if (const auto line = StretchLine(*s))
            lines.push_back(ShortBufferedLine(*line));
    if (const auto& r = placement.rotate ? placement.rotate : layout.rotate)
        if (const auto line = RotateLine(*r))
            lines.push_back(ShortBufferedLine(*line));
    return lines;
}

std::optional<std::string> OverlapWarning(std::uint32_t rows, std::uint32_t columns, const Bezel& b)
{
    if (!((columns > 1 && b.vw > b.ow) || (rows > 1 && b.vh > b.oh)))
        return std::nullopt;
    return "the visible picture (VW " + std::to_string(b.vw) + ", VH " + std::to_string(b.vh) +
        ") is larger than the pitch (OW " + std::to_string(b.ow) + ", OH " + std::to_string(b.oh) +
        "): neighbouring tiles overlap";
}

}  // namespace cv::endpoint
