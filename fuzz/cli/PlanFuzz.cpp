// Whatever a spreadsheet or an editor left in a plan file. The reader must
// never crash; a plan it takes holds only rows it would send, each within
// the window's rules; and CSV it reads comes back the same once written out.
#include "cli/Output.h"
#include "cli/Plan.h"
#include "fuzz/cli/Check.h"

#include <cstddef>
#include <cstdint>
#include <string>

using cv::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    using namespace cv::cli;

    std::vector<PlanRow> rows;
    std::vector<std::string> errors;
    const bool ok = ParsePlan(text, rows, errors);
    Check(ok == errors.empty());
    for (const PlanRow& r : rows) {
        Check(!r.key.empty() && r.line >= 2);
        Check(!ValidateRequest(r.request));
        for (const auto& line : RequestLines(r.request))
            Check(cv::nodes::WireBytes(line).has_value());
        DescribeLines(RequestLines(r.request));
    }

    CsvTable table;
    std::string error;
    if (!ParseCsv(text, table, error))
        return 0;
    Check(table.records.size() == table.lineOfRecord.size());
    // A first cell that itself starts with a byte-order mark loses it on the
    // second read, as the first one did: not a difference worth a report.
    if (!table.records.empty() && table.records[0][0].rfind("\xEF\xBB\xBF", 0) == 0)
        return 0;
    std::string written;
    for (const auto& record : table.records) {
        for (std::size_t i = 0; i < record.size(); ++i)
            written += (i ? "," : "") + CsvField(record[i]);
        written += "\r\n";
    }
    CsvTable again;
    Check(ParseCsv(written, again, error));
    Check(again.records == table.records);
    return 0;
}
