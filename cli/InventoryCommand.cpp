// cortavia-cli inventory: the as-built record of the whole fleet.
#include "cli/Command.h"

namespace cv::cli {

namespace {
Rows InventoryRow(const Context& ctx, const Record& listed)
{
    const std::string address = listed["address"].get<std::string>();
    Details d;
    Record r;
    bool failed = false;
    if (auto read = ReadDetails(ctx, address, d); !read) {
        failed = true;
        r = {{"address", address}, {"kind", listed["kind"]}};
        // What the node list knows still goes into the record.
        for (const char* k : {"hostname_id", "multicast", "channel"})
            if (listed.contains(k))
                r[k] = listed[k];
        r["error"] = read.error().text();
    } else {
        r = DetailRecord(address, d);
        if (d.kind == Kind::Unknown)
            r["kind"] = listed["kind"];
    }
    if (listed.contains("number"))
        r["number"] = listed["number"];
    // Keys in one order whatever was known.
    Record ordered = Record::object();
    for (const auto& k : kDetailColumns)
        if (r.contains(k))
            ordered[k] = r[k];
    return Row(std::move(ordered), failed);
}
}  // namespace

void AddInventoryCommand(Program& p)
{
    CLI::App* c = p.Add(p.root(), "inventory",
                        {{"inventory [--json|--csv] [--jobs N] [--interface NAME]..."},
                         {{"inventory", "scan, then read every endpoint's settings"}},
                         R"(
A scan, then the detail query of every endpoint, in parallel: the as-built
record. Keys: address, kind, number (receivers), hostname_id, version, mac,
state, multicast (y/n), channel, ip_mode, netmask, gateway. An endpoint that
does not answer keeps its record, with an "error"; the exit status is then 1.
)"});
    p.Runs(c, [](Invocation& run) {
        const auto scan = RunScan(run.ctx);
        if (!scan)
            return run.Fail(kDetailColumns);
        const std::vector<Record> listed = ScanRecords(scan->nodes);
        const Rows rows = CollectRows(
            listed.size(), run.ctx.jobs, [&](std::size_t i) { return InventoryRow(run.ctx, listed[i]); },
            [&](std::size_t i) { return Row(NotStarted(kDetailColumns, listed[i], "interrupted: not read"), true); });
        const int rc = run.Report(kDetailColumns, rows);
        run.reporter.Note("inventory: " + std::to_string(rows.rows.size()) + " endpoint(s)" +
                          (rows.failed ? ", some did not answer" : ""));
        return rc;
    });
}

}  // namespace cv::cli
