// cortavia-cli show: one endpoint's settings.
#include "cli/Command.h"

#include <algorithm>

namespace cv::cli {

void AddShowCommand(Program& p)
{
    CLI::App* c = p.Add(p.root(), "show",
                        {{"show ADDRESS [--json|--csv]"},
                         {{"show ADDRESS", "one endpoint's settings"}},
                         R"(
One endpoint's detail record, read with the window's detail query.
)"});
    auto address = std::make_shared<std::string>();
    c->add_option("ADDRESS", *address, "the endpoint")->required()->check(kAddress);
    p.Runs(c, [address](Invocation& run) {
        const Context& ctx = run.ctx;
        Details d;
        if (!ReadDetails(ctx, *address, d))
            return run.Fail(kDetailColumns);
        if (run.format != Format::Table) {
            // The same record as inventory's, so one reader takes both.
            PrintRecords(run.out, run.format, kDetailColumns, {DetailRecord(*address, d)});
            return kExitOk;
        }
        std::vector<std::string> columns = kDetailColumns;
        columns.erase(std::remove(columns.begin(), columns.end(), "number"), columns.end());
        columns.pop_back();  // error
        PrintRecord(run.out, run.format, columns, DetailRecord(*address, d));
        return kExitOk;
    });
}

}  // namespace cv::cli
