// Whatever an editor left in a wall layout file. The reader must never
// crash; a layout it takes fits its wall; and what it writes reads back as
// the same layout.
#include "endpoint/Layout.h"
#include "fuzz/cli/Check.h"

#include <cstddef>
#include <cstdint>
#include <string>

using cv::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace cv::endpoint;
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;
    const auto layout = ReadLayout(text, error);
    Check(layout.has_value() == error.empty());
    if (!layout)
        return 0;
    Check(layout->rows >= 1 && layout->rows <= 5 && layout->columns >= 1 && layout->columns <= 5);
    Check(!WallRefusal(layout->rows, layout->columns, layout->bezel));
    for (const Placement& p : layout->placements) {
        Check(p.row < layout->rows && p.column < layout->columns);
        Check(p.address.empty() != p.mac.empty());
        PlacedTile(p.row, p.column, layout->rows, layout->columns, layout->bezel);
    }
    const std::string written = LayoutText(*layout);
    const auto again = ReadLayout(written, error);
    Check(again.has_value());
    Check(LayoutText(*again) == written);
    return 0;
}
