// cortavia-cli scan: who is there.
#include "cli/Command.h"

namespace cv::cli {

void AddScanCommand(Program& p)
{
    CLI::App* c = p.Add(p.root(), "scan",
                        {{"scan [--json|--csv] [--interface NAME]..."},
                         {{"scan", "find the endpoints (discovery, then the node list)"}},
                         R"(
Sends the discovery query on every network card (or only on those named),
then asks the last endpoint that answered for the node list. One record per
endpoint: address, kind (tx or rx), multicast, channel; for a receiver also
hostname_id and number (the number its screen shows with "osd on").
)"});
    p.Runs(c, [](Invocation& run) {
        const auto scan = RunScan(run.ctx);
        if (!scan)
            return run.Fail(kScanColumns);
        PrintRecords(run.out, run.format, kScanColumns, ScanRecords(scan->nodes));
        return kExitOk;
    });
}

}  // namespace cv::cli
