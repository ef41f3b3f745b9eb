// cortavia-cli wall: video wall layouts, sent and saved. The commands
// themselves are in WallQuick.cpp, WallPlace.cpp, WallLook.cpp and
// WallApply.cpp.
#include "cli/Wall.h"

#include "nodes/Firmware.h"

namespace cv::cli {

namespace wall {

Record WallRecord(const WallJob& j)
{
    return {{"address", j.address}, {"number", NumberOrNull(j.number)},
            {"row", j.row},         {"column", j.column},
            {"x0", j.tile.x0},      {"y0", j.tile.y0},
            {"x1", j.tile.x1},      {"y1", j.tile.y1}};
}

namespace {
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

}  // namespace

int SendWall(Invocation& run, const std::vector<WallJob>& jobs, const std::vector<std::string>& missing)
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

void CheckWall(std::uint32_t rows, std::uint32_t columns, const Bezel& b, Reporter& reporter)
{
    if (auto refusal = WallRefusal(rows, columns, b))
        throw Usage{*refusal};
    if (auto overlap = endpoint::OverlapWarning(rows, columns, b))
        reporter.Note("warning: " + *overlap);
}

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

}  // namespace wall

namespace {
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
}  // namespace

void AddWallCommands(Program& p)
{
    using namespace wall;
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
