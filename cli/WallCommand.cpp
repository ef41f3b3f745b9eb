// cortavia-cli wall: video wall layouts, sent and saved.
#include "cli/Command.h"

#include "endpoint/Layout.h"
#include "nodes/Firmware.h"

#include <fstream>

namespace cv::cli {

namespace {

// The layout, its tiles and its lines live in the endpoint core.
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

const char* const kText = R"(
quick gives every receiver of the scan (or of --order) a cell of the wall,
row by row, as the window's Quick Video Wall; receivers past the last cell
share cell 0,0. place puts one receiver on one cell (counted from 0), as a
drop on the window's grid. Bezels are in 0.1 mm: OW,OH the pitch from one
display to the next, VW,VH the visible picture. A zero bezel on a wall
larger than 1 x 1, or a wall 0 wide or high, is refused.

--save writes the layout as JSON (place adds to an existing file of the same
wall). apply sends a saved layout: {"rows", "columns", "bezel": {"ow", "oh",
"vw", "vh"}, "stretch": "fit"|"out", "rotate": 0|180|270, "placements":
[{"row", "column", "address" or "mac", optional "stretch", "rotate"}]}.
)";

const char* const kQuickUsage = "wall quick ROWSxCOLS --bezel OW,OH,VW,VH [--order ADDRESS,...] [--save FILE]";
const char* const kPlaceUsage = "wall place ADDRESS ROW COL --size ROWSxCOLS --bezel OW,OH,VW,VH [--save FILE]";
const char* const kStretchUsage = "wall stretch fit|out ADDRESS...";
const char* const kRotateUsage = "wall rotate 0|180|270 ADDRESS...";
const char* const kApplyUsage = "wall apply LAYOUT.json";

const std::vector<std::string> kWallColumns = {"address", "number", "row", "column", "x0",
                                               "y0",      "x1",     "y1",  "status", "error"};

struct WallJob {
    std::string address;
    std::string number;
    std::uint32_t row = 0, column = 0;
    nodes::Tile tile;
    // Empty: the tile's e_vw_enable line alone.
    std::vector<BufferedLine> lines;
};

Rows WallRow(const Context& ctx, const WallJob& j)
{
    const std::vector<BufferedLine> lines = j.lines.empty()
        ? std::vector<BufferedLine>{{{nodes::WallEnableLine(j.tile), false, true, 0}, nodes::kLineBuffer}}
        : j.lines;
    const auto sent = SendLines(ctx, j.address, lines, "wall");
    Record r = {{"address", j.address}, {"number", j.number}, {"row", j.row},
                {"column", j.column},   {"x0", j.tile.x0},    {"y0", j.tile.y0},
                {"x1", j.tile.x1},      {"y1", j.tile.y1},    {"status", sent ? "sent" : "failed"}};
    if (!sent)
        r["error"] = sent.error().text();
    return Row(std::move(r), !sent);
}

int SendWall(Invocation& run, const std::vector<WallJob>& jobs)
{
    return run.Report(kWallColumns,
                      CollectRows(jobs.size(), run.ctx.jobs, [&](std::size_t i) { return WallRow(run.ctx, jobs[i]); }));
}

std::pair<std::uint32_t, std::uint32_t> WallSize(const std::string& text)
{
    const auto s = ParseWallSize(text);
    if (!s)
        throw Usage{"wall size '" + text + "': ROWSxCOLS, 1 to 5 each (e.g. 2x3)"};
    return *s;
}

Bezel BezelOption(const CLI::Option* option, const std::string& text)
{
    if (!option->count())
        throw Usage{"--bezel OW,OH,VW,VH is needed (pitch and visible size, 0.1 mm)"};
    const auto b = ParseBezel(text);
    if (!b)
        throw Usage{"--bezel '" + text + "': four unsigned whole numbers OW,OH,VW,VH"};
    return *b;
}

std::vector<std::string> SplitCommas(const std::string& s)
{
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        const auto c = s.find(',', start);
        out.push_back(s.substr(start, c == std::string::npos ? std::string::npos : c - start));
        if (c == std::string::npos)
            return out;
        start = c + 1;
    }
}

Layout LoadLayout(const std::string& path, const std::string& after)
{
    std::string error;
    auto layout = ReadLayout(ReadFile(path), error);
    if (!layout)
        throw Usage{path + ": " + error + after};
    return std::move(*layout);
}

struct WallOptions {
    std::string size, bezel, order, save, address, row, column, value, layout;
    std::vector<std::string> addresses;
    CLI::Option *bezelOpt = nullptr, *orderOpt = nullptr, *saveOpt = nullptr, *sizeOpt = nullptr;
};

int Quick(const WallOptions& o, Invocation& run)
{
    const auto [rows, columns] = WallSize(o.size);
    const Bezel b = BezelOption(o.bezelOpt, o.bezel);
    if (auto refusal = WallRefusal(rows, columns, b))
        throw Usage{*refusal};
    if (rows == 1 && columns == 1 && !nodes::TileRule(0, 0, 0, 0, b.ow, b.oh, b.vw, b.vh))
        throw Usage{"With these OW, OH, VW, VH values the wall is 0 wide or 0 high. Nothing was sent."};
    const Context& ctx = run.ctx;
    std::vector<WallJob> jobs;
    if (o.orderOpt->count()) {
        for (const auto& addr : SplitCommas(o.order))
            jobs.push_back({CheckedAddress(addr), std::to_string(jobs.size()), 0, 0, {}, {}});
    } else {
        const auto scan = RunScan(ctx);
        if (!scan)
            return kExitFailed;
        for (const auto& r : scan->nodes.receivers)
            jobs.push_back({Narrow(r.address), Narrow(r.number), 0, 0, {}, {}});
        if (jobs.empty()) {
            run.reporter.Failure("workstation", "scan", "the node list has no receivers");
            return kExitFailed;
        }
    }
    Layout layout{rows, columns, b, std::nullopt, std::nullopt, {}};
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        const nodes::Cell cell = nodes::QuickLayoutCell(static_cast<std::uint32_t>(i), rows - 1, columns - 1);
        jobs[i].row = cell.row;
        jobs[i].column = cell.column;
        jobs[i].tile = QuickTile(static_cast<std::uint32_t>(i), rows, columns, b);
        Placement p;
        p.row = cell.row;
        p.column = cell.column;
        p.address = jobs[i].address;
        layout.placements.push_back(p);
    }
    const int rc = SendWall(run, jobs);
    if (o.saveOpt->count() && !WriteFile(o.save, LayoutText(layout), run.err))
        return kExitFailed;
    return rc;
}

int Place(const WallOptions& o, Invocation& run)
{
    if (!o.sizeOpt->count())
        throw Usage{"wall place needs --size ROWSxCOLS"};
    const auto [rows, columns] = WallSize(o.size);
    const Bezel b = BezelOption(o.bezelOpt, o.bezel);
    const auto cellNumber = [&](const std::string& t, std::uint32_t limit, const char* what) {
        char* end = nullptr;
        const long v = std::strtol(t.c_str(), &end, 10);
        if (end == t.c_str() || *end != '\0' || v < 0 || v >= static_cast<long>(limit))
            throw Usage{std::string(what) + " '" + t + "': from 0 to " + std::to_string(limit - 1)};
        return static_cast<std::uint32_t>(v);
    };
    const std::uint32_t row = cellNumber(o.row, rows, "ROW");
    const std::uint32_t column = cellNumber(o.column, columns, "COL");
    if (auto refusal = WallRefusal(rows, columns, b))
        throw Usage{*refusal};
    Layout layout{rows, columns, b, std::nullopt, std::nullopt, {}};
    const bool save = o.saveOpt->count() > 0;
    if (save && std::ifstream(o.save)) {
        Layout existing = LoadLayout(o.save, "");
        if (existing.rows != rows || existing.columns != columns || !(existing.bezel == b))
            throw Usage{o.save + " holds a wall of another size or other bezels"};
        layout = std::move(existing);
    }
    const std::vector<WallJob> jobs = {{o.address, "", row, column, PlacedTile(row, column, rows, columns, b), {}}};
    const int rc = SendWall(run, jobs);
    if (save && rc == kExitOk) {
        Placement p;
        p.row = row;
        p.column = column;
        p.address = o.address;
        endpoint::Place(layout, p);
        if (!WriteFile(o.save, LayoutText(layout), run.err))
            return kExitFailed;
    }
    return rc;
}

int Look(const WallOptions& o, Invocation& run, bool stretch)
{
    const std::optional<std::u16string> line =
        stretch ? StretchLine(o.value) : RotateLine(static_cast<unsigned>(std::stoul(o.value)));
    const Context& ctx = run.ctx;
    const char* what = stretch ? "stretch" : "rotate";
    const Rows rows = CollectRows(o.addresses.size(), ctx.jobs, [&](std::size_t i) {
        const auto sent = SendLines(ctx, o.addresses[i], {{*line, false, true, 0}}, nodes::kShortLineBuffer, what);
        Record r = {{"address", o.addresses[i]}, {what, o.value}, {"status", sent ? "sent" : "failed"}};
        if (!sent)
            r["error"] = sent.error().text();
        return Row(std::move(r), !sent);
    });
    return run.Report({"address", what, "status", "error"}, rows);
}

int Apply(const WallOptions& o, Invocation& run)
{
    const Layout layout = LoadLayout(o.layout, "; nothing was sent");
    const Context& ctx = run.ctx;
    std::map<std::string, std::string> macs;
    bool anyMac = false;
    for (const auto& p : layout.placements)
        anyMac = anyMac || !p.mac.empty();
    if (anyMac) {
        bool scanned = false;
        macs = MacTable(ctx, scanned);
        if (!scanned)
            return kExitFailed;
    }
    std::vector<WallJob> jobs;
    bool missing = false;
    for (const auto& p : layout.placements) {
        WallJob j;
        j.address = p.address;
        if (!p.mac.empty()) {
            const auto it = macs.find(Lower(p.mac));
            if (it == macs.end()) {
                run.reporter.Failure(p.mac, "find", "no endpoint with this mac answered the scan");
                missing = true;
                continue;
            }
            j.address = it->second;
        }
        j.row = p.row;
        j.column = p.column;
        j.tile = PlacedTile(p.row, p.column, layout.rows, layout.columns, layout.bezel);
        j.lines = PlacementLines(layout, p);
        jobs.push_back(std::move(j));
    }
    const int rc = SendWall(run, jobs);
    return missing ? kExitFailed : rc;
}

}  // namespace

void AddWallCommands(Program& p)
{
    CLI::App* wall = p.Add(p.root(), "wall",
                           {{kQuickUsage, kPlaceUsage, kStretchUsage, kRotateUsage, kApplyUsage},
                            {{"wall quick|place|stretch|rotate|apply", "video wall layouts"}},
                            kText},
                           false);
    wall->require_subcommand(1);
    // Each command its own options, so that "given" means given to it.
    std::shared_ptr<WallOptions> o;
    const auto bezel = [&](CLI::App* c) {
        o->bezelOpt =
            c->add_option("--bezel", o->bezel, "pitch and visible size of a display, 0.1 mm")->type_name("OW,OH,VW,VH");
    };
    const auto save = [&](CLI::App* c, const char* what) {
        o->saveOpt = c->add_option("--save", o->save, what)->type_name("FILE");
    };

    o = std::make_shared<WallOptions>();
    CLI::App* quick = p.Add(*wall, "quick", {{kQuickUsage}, {}, kText});
    quick->add_option("ROWSxCOLS", o->size, "the size of the wall, 1 to 5 each")->required();
    bezel(quick);
    o->orderOpt = quick->add_option("--order", o->order, "these receivers, in this order, not the scan's")
                      ->type_name("ADDRESS,...");
    save(quick, "write the layout to this JSON file");
    p.Runs(quick, [o](Invocation& run) { return Quick(*o, run); });

    o = std::make_shared<WallOptions>();
    CLI::App* place = p.Add(*wall, "place", {{kPlaceUsage}, {}, kText});
    place->add_option("ADDRESS", o->address, "the receiver")->required()->check(kAddress);
    place->add_option("ROW", o->row, "its row, from 0")->required();
    place->add_option("COL", o->column, "its column, from 0")->required();
    o->sizeOpt = place->add_option("--size", o->size, "the size of the wall, 1 to 5 each")->type_name("ROWSxCOLS");
    bezel(place);
    save(place, "add the placement to this layout file (a new one if there is none)");
    p.Runs(place, [o](Invocation& run) { return Place(*o, run); });

    o = std::make_shared<WallOptions>();
    CLI::App* stretch = p.Add(*wall, "stretch", {{kStretchUsage}, {}, kText});
    stretch->add_option("fit|out", o->value, "how the picture fills the display")
        ->required()
        ->check(CLI::IsMember({"fit", "out"}));
    stretch->add_option("ADDRESS", o->addresses, "the receivers")->required()->check(kAddress);
    p.Runs(stretch, [o](Invocation& run) { return Look(*o, run, true); });

    o = std::make_shared<WallOptions>();
    CLI::App* rotate = p.Add(*wall, "rotate", {{kRotateUsage}, {}, kText});
    rotate->add_option("0|180|270", o->value, "the rotation in degrees")
        ->required()
        ->check(CLI::IsMember({"0", "180", "270"}));
    rotate->add_option("ADDRESS", o->addresses, "the receivers")->required()->check(kAddress);
    p.Runs(rotate, [o](Invocation& run) { return Look(*o, run, false); });

    o = std::make_shared<WallOptions>();
    CLI::App* apply = p.Add(*wall, "apply", {{kApplyUsage}, {}, kText});
    apply->add_option("LAYOUT.json", o->layout, "a saved layout")->required();
    p.Runs(apply, [o](Invocation& run) { return Apply(*o, run); });
}

}  // namespace cv::cli
