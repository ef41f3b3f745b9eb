// cortavia-cli wall stretch and wall rotate: how each receiver shows its picture.
#include "cli/Wall.h"

namespace cv::cli::wall {

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
            const auto sent = SendLines(ctx, targets[i].address, {endpoint::ShortBufferedLine(*line)}, what);
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

}  // namespace cv::cli::wall
