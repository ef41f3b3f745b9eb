// cortavia-cli wall place: one receiver on one cell.
#include "cli/Wall.h"

#include <fstream>

namespace cv::cli::wall {

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

}  // namespace cv::cli::wall
