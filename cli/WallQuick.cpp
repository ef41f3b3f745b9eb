// cortavia-cli wall quick: every receiver of the scan or of --order a cell, row by row.
#include "cli/Wall.h"

#include "nodes/Firmware.h"

namespace cv::cli::wall {

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

}  // namespace cv::cli::wall
