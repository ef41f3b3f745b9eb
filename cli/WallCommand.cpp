// cortavia-cli wall: video wall layouts, sent and saved.
#include "cli/Command.h"

#include "endpoint/Layout.h"
#include "nodes/Firmware.h"

#include <algorithm>
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

const char* const kWallText = R"(
quick gives every receiver of the scan (or of --order) a cell of the wall,
row by row, as the window's Quick Video Wall. A scan with more receivers
than cells is refused unless --wrap puts the rest on cell 0,0 as the window
does; with --order, receivers past the last cell share cell 0,0. Two
receivers on one cell of a layout are refused. A picture larger than its
pitch is sent with a warning. place puts one receiver on one cell (counted from 0), as a
drop on the window's grid. Bezels are in 0.1 mm: OW,OH the pitch from one
display to the next, VW,VH the visible picture. A zero bezel on a wall
larger than 1 x 1, or a wall 0 wide or high, is refused.

--save writes the layout as JSON (place adds to an existing file of the same
wall). apply sends a saved layout: {"rows", "columns", "bezel": {"ow", "oh",
"vw", "vh"}, "stretch": "fit"|"out", "rotate": 0|180|270, "placements":
[{"row", "column", "address" or "mac", optional "stretch", "rotate"}]}; any
other key is refused.

Every receiver is asked what it is before anything is sent (a detail
query; a mac needs a scan): a transmitter is refused by name, and one that
does not answer stops the run (--partial goes ahead with the others). An
address named twice is worked on once.
)";

const char* const kQuickUsage =
    "wall quick ROWSxCOLS --bezel OW,OH,VW,VH [--order ADDRESS,... [--partial] | --wrap] [--save FILE]";
const char* const kPlaceUsage = "wall place ADDRESS ROW COL --size ROWSxCOLS --bezel OW,OH,VW,VH [--save FILE]";
const char* const kStretchUsage = "wall stretch fit|out ADDRESS... [--partial]";
const char* const kRotateUsage = "wall rotate 0|180|270 ADDRESS... [--partial]";
const char* const kApplyUsage = "wall apply LAYOUT.json [--partial]";

const char* const kWallLines = "wall lines";

struct WallJob {
    std::string address;
    std::string number;
    std::uint32_t row = 0, column = 0;
    nodes::Tile tile;
    // Empty: the tile's e_vw_enable line alone.
    std::vector<BufferedLine> lines;
};

Record WallRecord(const WallJob& j)
{
    return {{"address", j.address}, {"number", NumberOrNull(j.number)},
            {"row", j.row},         {"column", j.column},
            {"x0", j.tile.x0},      {"y0", j.tile.y0},
            {"x1", j.tile.x1},      {"y1", j.tile.y1}};
}

Rows WallRow(const Context& ctx, const WallJob& j)
{
    const std::vector<BufferedLine> lines = j.lines.empty()
        ? std::vector<BufferedLine>{{{nodes::WallEnableLine(j.tile), false, true, 0}, nodes::kLineBuffer}}
        : j.lines;
    const auto sent = SendLines(ctx, j.address, lines, "wall");
    Record r = WallRecord(j);
    r["status"] = sent ? "sent" : "failed";
    if (!sent)
        r["error"] = sent.error().text();
    return Row(std::move(r), !sent);
}

// The jobs' rows, then a failed one for each receiver --partial left out.
int SendWall(Invocation& run, const std::vector<WallJob>& jobs, const std::vector<std::string>& missing = {})
{
    Rows rows = CollectRows(
        jobs.size(), run.ctx.jobs, [&](std::size_t i) { return WallRow(run.ctx, jobs[i]); },
        [&](std::size_t i) { return Row(NotStarted(kWallColumns, WallRecord(jobs[i]), kInterruptedText), false); });
    AddMissingRows(
        rows, kWallColumns, missing,
        [](const std::string& m) {
            return Record{{"address", m}};
        },
        kNoAnswer);
    return run.Report(kWallColumns, rows);
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

// A wall that gives no sound tiles is refused with its numbers; pictures
// larger than their pitch are sent, but not without a word.
void CheckWall(std::uint32_t rows, std::uint32_t columns, const Bezel& b, Reporter& reporter)
{
    if (auto refusal = WallRefusal(rows, columns, b))
        throw Usage{*refusal};
    if (auto overlap = endpoint::OverlapWarning(rows, columns, b))
        reporter.Note("warning: " + *overlap);
}

// "A,B,C": every entry a dotted address; an empty one is a usage error.
std::vector<std::string> OrderList(const std::string& s)
{
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        const auto c = s.find(',', start);
        const std::string entry = s.substr(start, c == std::string::npos ? std::string::npos : c - start);
        if (entry.empty())
            throw Usage{"--order: entry " + std::to_string(out.size() + 1) + " is empty; nothing was sent"};
        out.push_back(CheckedAddress(entry));
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
    bool wrap = false;
    CLI::Option *bezelOpt = nullptr, *orderOpt = nullptr, *saveOpt = nullptr, *sizeOpt = nullptr;
};

int Quick(const WallOptions& o, Invocation& run)
{
    const auto [rows, columns] = WallSize(o.size);
    const Bezel b = BezelOption(o.bezelOpt, o.bezel);
    CheckWall(rows, columns, b, run.reporter);
    if (rows == 1 && columns == 1 && !nodes::TileRule(0, 0, 0, 0, b.ow, b.oh, b.vw, b.vh))
        throw Usage{std::string(nodes::kWallSizeZeroMessage)};
    const std::vector<std::string> order =
        o.orderOpt->count() ? Distinct(OrderList(o.order), run.reporter) : std::vector<std::string>{};
    if (o.saveOpt->count())
        CheckWritable(o.save);
    const Context& ctx = run.ctx;
    std::vector<Listed> receivers;
    std::vector<std::string> missing;
    if (o.orderOpt->count()) {
        receivers = ReceiversOnly(Identify(ctx, order), order, kWallLines, missing);
        if (int status = 0; StopForMissing(run, missing, status))
            return run.Fail(kWallColumns, status);
    } else {
        const auto scan = RunScan(ctx);
        if (!scan)
            return run.Fail(kWallColumns);
        for (const Listed& l : ListedOf(*scan))
            if (l.kind == Kind::Rx)
                receivers.push_back(l);
        if (receivers.empty()) {
            run.reporter.Failure("workstation", "scan", "the node list has no receivers");
            return run.Fail(kWallColumns);
        }
        // The window's quick layout puts the rest on cell 0,0; a site
        // bigger than its wall must say which receivers are meant.
        if (receivers.size() > std::size_t{rows} * columns && !o.wrap)
            throw Usage{"the scan lists " + std::to_string(receivers.size()) + " receivers for a wall of " +
                        std::to_string(rows * columns) + " cells: name the wall's receivers with --order, or give " +
                        "--wrap to put the rest on cell 0,0 as the window does; nothing was sent"};
    }
    // Cells go by the place in the order given (or the scan's); the number
    // stays the receiver's own, the one "osd on" shows.
    std::vector<WallJob> jobs;
    Layout layout{rows, columns, b, std::nullopt, std::nullopt, {}};
    for (std::size_t i = 0; i < receivers.size(); ++i) {
        const nodes::Cell cell = nodes::QuickLayoutCell(static_cast<std::uint32_t>(i), rows - 1, columns - 1);
        jobs.push_back({receivers[i].address,
                        receivers[i].number,
                        cell.row,
                        cell.column,
                        QuickTile(static_cast<std::uint32_t>(i), rows, columns, b),
                        {}});
        Placement p;
        p.row = cell.row;
        p.column = cell.column;
        p.address = receivers[i].address;
        layout.placements.push_back(p);
    }
    const int rc = SendWall(run, jobs, missing);
    if (o.saveOpt->count() && !WriteFile(o.save, LayoutText(layout), run.err))
        return rc == kExitOk ? kExitFailed : rc;
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
    CheckWall(rows, columns, b, run.reporter);
    Layout layout{rows, columns, b, std::nullopt, std::nullopt, {}};
    const bool save = o.saveOpt->count() > 0;
    if (save && std::ifstream(o.save)) {
        Layout existing = LoadLayout(o.save, "");
        if (existing.rows != rows || existing.columns != columns || !(existing.bezel == b))
            throw Usage{o.save + " holds a wall of another size or other bezels"};
        layout = std::move(existing);
    }
    if (save)
        CheckWritable(o.save);
    std::vector<std::string> missing;
    const auto found = ReceiversOnly(Identify(run.ctx, {o.address}), {o.address}, kWallLines, missing);
    if (int status = 0; StopForMissing(run, missing, status))
        return run.Fail(kWallColumns, status);
    const std::vector<WallJob> jobs = {
        {o.address, found[0].number, row, column, PlacedTile(row, column, rows, columns, b), {}}};
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
    const std::string what = stretch ? "stretch" : "rotate";
    const Columns columns = {"address", what, "status", "error"};
    const std::vector<std::string> addresses = Distinct(o.addresses, run.reporter);
    std::vector<std::string> missing;
    const std::vector<Listed> targets = ReceiversOnly(Identify(ctx, addresses), addresses, kWallLines, missing);
    if (int status = 0; StopForMissing(run, missing, status))
        return run.Fail(columns, status);
    const auto record = [&](const std::string& address) {
        return Record{{"address", address}, {what, stretch ? Record(o.value) : NumberOrNull(o.value)}};
    };
    Rows rows = CollectRows(
        targets.size(), ctx.jobs,
        [&](std::size_t i) {
            const auto sent =
                SendLines(ctx, targets[i].address, {{*line, false, true, 0}}, nodes::kShortLineBuffer, what);
            Record r = record(targets[i].address);
            r["status"] = sent ? "sent" : "failed";
            if (!sent)
                r["error"] = sent.error().text();
            return Row(std::move(r), !sent);
        },
        [&](std::size_t i) { return Row(NotStarted(columns, record(targets[i].address), kInterruptedText), false); });
    AddMissingRows(rows, columns, missing, record, kNoAnswer);
    return run.Report(columns, rows);
}

int Apply(const WallOptions& o, Invocation& run)
{
    const Layout layout = LoadLayout(o.layout, "; nothing was sent");
    if (auto refusal = WallRefusal(layout.rows, layout.columns, layout.bezel))
        throw Usage{o.layout + ": " + *refusal + "; nothing was sent"};
    if (auto overlap = endpoint::OverlapWarning(layout.rows, layout.columns, layout.bezel))
        run.reporter.Note("warning: " + *overlap);
    const Context& ctx = run.ctx;
    // Receivers named by address are asked themselves; those named by mac
    // can only be found in a scan.
    std::vector<std::string> addresses;
    for (const auto& p : layout.placements)
        if (p.mac.empty())
            addresses.push_back(p.address);
    const std::vector<Listed> fleet = Identify(ctx, addresses);
    std::map<std::string, Listed> macs;
    std::vector<std::string> silent;
    if (std::any_of(layout.placements.begin(), layout.placements.end(),
                    [](const Placement& p) { return !p.mac.empty(); })) {
        const auto scan = RunScan(ctx);
        if (!scan)
            return run.Fail(kWallColumns);
        macs = MacTable(ctx, *scan, &silent);
    }
    // Every placement's receiver, found before anything is sent; one given
    // by mac and again by address is one receiver.
    std::vector<WallJob> jobs;
    std::vector<std::string> missing, transmitters;
    for (const auto& p : layout.placements) {
        const std::string named = p.mac.empty() ? p.address : p.mac;
        std::optional<Listed> l;
        if (!p.mac.empty()) {
            if (const auto it = macs.find(MacKey(p.mac)); it != macs.end())
                l = it->second;
        } else if (const Listed* found = FindListed(fleet, p.address)) {
            l = *found;
        }
        if (!l) {
            if (!p.mac.empty())
                run.reporter.Failure(named, "find", MacNotFound(silent));
            missing.push_back(named);
            continue;
        }
        if (l->kind == Kind::Tx) {
            transmitters.push_back(named == l->address ? named : named + " (" + l->address + ")");
            continue;
        }
        WallJob j{l->address,
                  l->number,
                  p.row,
                  p.column,
                  PlacedTile(p.row, p.column, layout.rows, layout.columns, layout.bezel),
                  PlacementLines(layout, p)};
        const auto same =
            std::find_if(jobs.begin(), jobs.end(), [&](const WallJob& k) { return k.address == j.address; });
        if (same == jobs.end()) {
            jobs.push_back(std::move(j));
        } else if (same->row == j.row && same->column == j.column && same->lines.size() == j.lines.size()) {
            run.reporter.Note(named + " is " + j.address + ", placed already; it is sent once");
        } else {
            throw Usage{o.layout + ": " + named + " is " + j.address +
                        ", which the layout places on another cell too; nothing was sent"};
        }
    }
    // One receiver per cell: two would show the same part of the picture.
    for (std::size_t i = 0; i < jobs.size(); ++i)
        for (std::size_t k = i + 1; k < jobs.size(); ++k)
            if (jobs[i].row == jobs[k].row && jobs[i].column == jobs[k].column)
                throw Usage{o.layout + ": cell " + std::to_string(jobs[i].row) + "," + std::to_string(jobs[i].column) +
                            " holds " + jobs[i].address + " and " + jobs[k].address +
                            ": one receiver per cell; nothing was sent"};
    if (!transmitters.empty()) {
        std::string names;
        for (const auto& t : transmitters)
            names += (names.empty() ? "" : ", ") + t;
        throw Usage{o.layout + ": " + names + (transmitters.size() == 1 ? " is a transmitter" : " are transmitters") +
                    ": " + kWallLines + " go to receivers only; nothing was sent"};
    }
    if (int status = 0; StopForMissing(run, missing, status))
        return run.Fail(kWallColumns, status);
    return SendWall(run, jobs, missing);
}

}  // namespace

void AddWallCommands(Program& p)
{
    CLI::App* wall = p.Add(p.root(), "wall",
                           {{kQuickUsage, kPlaceUsage, kStretchUsage, kRotateUsage, kApplyUsage},
                            {{"wall quick|place|stretch|rotate|apply", "video wall layouts"}},
                            kWallText},
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
    CLI::App* quick = p.Add(*wall, "quick", {{kQuickUsage}, {}, kWallText});
    quick->add_option("ROWSxCOLS", o->size, "the size of the wall, 1 to 5 each")->required();
    bezel(quick);
    o->orderOpt = quick->add_option("--order", o->order, "these receivers, in this order, not the scan's")
                      ->type_name("ADDRESS,...");
    save(quick, "write the layout to this JSON file");
    quick->add_flag("--wrap", o->wrap, "more receivers than cells: the rest on cell 0,0, as the window does")
        ->excludes(o->orderOpt);
    p.AddPartial(quick);
    p.Runs(quick, [o](Invocation& run) { return Quick(*o, run); });

    o = std::make_shared<WallOptions>();
    CLI::App* place = p.Add(*wall, "place", {{kPlaceUsage}, {}, kWallText});
    place->add_option("ADDRESS", o->address, "the receiver")->required()->check(kAddress);
    place->add_option("ROW", o->row, "its row, from 0")->required();
    place->add_option("COL", o->column, "its column, from 0")->required();
    o->sizeOpt = place->add_option("--size", o->size, "the size of the wall, 1 to 5 each")->type_name("ROWSxCOLS");
    bezel(place);
    save(place, "add the placement to this layout file (a new one if there is none)");
    p.Runs(place, [o](Invocation& run) { return Place(*o, run); });

    o = std::make_shared<WallOptions>();
    CLI::App* stretch = p.Add(*wall, "stretch", {{kStretchUsage}, {}, kWallText});
    stretch->add_option("fit|out", o->value, "how the picture fills the display")
        ->required()
        ->check(CLI::IsMember({"fit", "out"}));
    stretch->add_option("ADDRESS", o->addresses, "the receivers")->required()->check(kAddress);
    p.AddPartial(stretch);
    p.Runs(stretch, [o](Invocation& run) { return Look(*o, run, true); });

    o = std::make_shared<WallOptions>();
    CLI::App* rotate = p.Add(*wall, "rotate", {{kRotateUsage}, {}, kWallText});
    rotate->add_option("0|180|270", o->value, "the rotation in degrees")
        ->required()
        ->check(CLI::IsMember({"0", "180", "270"}));
    rotate->add_option("ADDRESS", o->addresses, "the receivers")->required()->check(kAddress);
    p.AddPartial(rotate);
    p.Runs(rotate, [o](Invocation& run) { return Look(*o, run, false); });

    o = std::make_shared<WallOptions>();
    CLI::App* apply = p.Add(*wall, "apply", {{kApplyUsage}, {}, kWallText});
    apply->add_option("LAYOUT.json", o->layout, "a saved layout")->required();
    p.AddPartial(apply);
    p.Runs(apply, [o](Invocation& run) { return Apply(*o, run); });
}

}  // namespace cv::cli
