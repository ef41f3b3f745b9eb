#include "service/PairingCode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace cv::service {
namespace {

const std::string kFull = "\u2588", kUpper = "\u2580", kLower = "\u2584", kBlank = " ";

// One string per terminal cell of a line.
std::vector<std::string> Cells(const std::string& line)
{
    std::vector<std::string> out;
    for (std::size_t i = 0; i < line.size();) {
        std::size_t n = 1;
        while (i + n < line.size() && (static_cast<unsigned char>(line[i + n]) & 0xC0) == 0x80)
            ++n;
        out.push_back(line.substr(i, n));
        i += n;
    }
    return out;
}

TEST(PairingCode, IsASquareOfHalfBlocksInsideItsQuietZoneWithTheFinderWhereReadersLook)
{
    const std::string link = "http://venue-control:8470/#token=" + std::string(64, 'a');
    const auto lines = QrLines(link);
    ASSERT_FALSE(lines.empty());
    const std::size_t side = Cells(lines[0]).size();
    // Versions are 21 + 4k modules; two rows of them per line.
    ASSERT_EQ((side - 2 * kQrQuietZone - 21) % 4, 0u) << side;
    EXPECT_EQ(lines.size(), (side + 1) / 2);
    for (const auto& line : lines) {
        const auto cells = Cells(line);
        ASSERT_EQ(cells.size(), side);
        for (const auto& c : cells)
            EXPECT_TRUE(c == kFull || c == kUpper || c == kLower || c == kBlank) << c;
        // The quiet zone on both sides is light.
        for (int i = 0; i < kQrQuietZone; ++i) {
            EXPECT_EQ(cells[static_cast<std::size_t>(i)], kFull);
            EXPECT_EQ(cells[side - 1 - static_cast<std::size_t>(i)], kFull);
        }
    }
    for (int i = 0; i < kQrQuietZone / 2; ++i)
        EXPECT_EQ(lines[static_cast<std::size_t>(i)], lines.back()) << "quiet rows are all light";
    // The top-left finder: a dark ring, a light ring, a dark core, and the
    // light separator beside it; the upper half of a cell is the upper row.
    const auto first = Cells(lines[kQrQuietZone / 2]), second = Cells(lines[kQrQuietZone / 2 + 1]);
    const std::size_t q = kQrQuietZone;
    EXPECT_EQ(first[q], kBlank);  // dark over dark
    EXPECT_EQ(first[q + 1], kLower);  // dark over light
    EXPECT_EQ(first[q + 6], kBlank);
    EXPECT_EQ(first[q + 7], kFull);  // separator
    EXPECT_EQ(second[q + 1], kFull);  // the light ring
    EXPECT_EQ(second[q + 2], kBlank);  // the core
}

TEST(PairingCode, DiffersWithTheLinkGrowsWithItAndIsNothingForNothing)
{
    const std::string a = "http://a:8470/#token=" + std::string(64, '0');
    std::string b = a;
    b.back() = '1';
    EXPECT_EQ(QrLines(a), QrLines(a));
    EXPECT_NE(QrLines(a), QrLines(b));
    EXPECT_GT(QrLines(a + std::string(200, 'x')).size(), QrLines(a).size());
    EXPECT_TRUE(QrLines("").empty());
    EXPECT_TRUE(QrLines(std::string(5000, 'x')).empty()) << "beyond the largest symbol";
}

}  // namespace
}  // namespace cv::service
