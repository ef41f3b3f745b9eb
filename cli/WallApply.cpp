// cortavia-cli wall apply: a saved layout, every receiver found first.
#include "cli/Wall.h"

#include <algorithm>
#include <map>

namespace cv::cli::wall {

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

}  // namespace cv::cli::wall
