#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "nodes/Transcript.h"
#include "nodes/UpgradeCheck.h"

using cv::nodes::CheckUpgradeFailures;
using cv::nodes::Transcript;

namespace {

// Small alphabet so that literals overlap themselves and straddle arrivals.
std::u16string RandomText(std::mt19937& rng, std::size_t n)
{
    static constexpr char16_t kAlphabet[] = u"ab\r\n/";
    std::uniform_int_distribution<int> pick(0, 4);
    std::u16string s;
    for (std::size_t i = 0; i < n; ++i)
        s += kAlphabet[pick(rng)];
    return s;
}

}  // namespace

TEST(TranscriptSearch, AgreesWithPlainFindAtEveryArrivalOfRandomlySplitText)
{
    std::mt19937 rng(20240611);
    const std::vector<std::u16string> literals = {u"a", u"ab", u"aba", u"abab", u"\r\n", u"\r\n/", u"bb\r", u"aaaaa"};
    for (int round = 0; round < 200; ++round) {
        Transcript t;
        std::u16string plain;
        std::uniform_int_distribution<std::size_t> pieceSize(0, 9);
        for (int arrival = 0; arrival < 30; ++arrival) {
            const std::u16string piece = RandomText(rng, pieceSize(rng));
            t.append(piece);
            plain += piece;
            for (const auto& lit : literals) {
                ASSERT_EQ(t.find(lit), plain.find(lit));
                ASSERT_EQ(t.rfind(lit), plain.rfind(lit));
                for (std::size_t from : {std::size_t{0}, std::size_t{3}, std::size_t{17}, std::size_t{100}}) {
                    ASSERT_EQ(t.findFrom(lit, from), plain.find(lit, from));
                }
            }
        }
    }
}

TEST(TranscriptSearch, FindsALiteralSplitOneCharacterPerArrival)
{
    Transcript t;
    const std::u16string marker = u"<<<<<<<<<<\r\n/";
    for (char16_t c : marker) {
        EXPECT_EQ(t.find(marker), Transcript::npos);
        t.append(std::u16string(1, c));
    }
    EXPECT_EQ(t.find(marker), 0u);
    EXPECT_EQ(t.rfind(marker), 0u);
}

TEST(TranscriptSearch, ForgetsEverythingWhenCleared)
{
    Transcript t;
    t.append(u"xx File not found xx");
    ASSERT_TRUE(t.contains(u"File not found"));
    const auto before = t.generation();
    t.clear();
    EXPECT_NE(t.generation(), before);
    EXPECT_FALSE(t.contains(u"File not found"));
    EXPECT_EQ(t.rfind(u"x"), Transcript::npos);
    t.append(u"File");
    EXPECT_EQ(t.find(u"File"), 0u);
}

TEST(TranscriptSearch, SearchFromBeyondTheEndFindsTextThatArrivesLater)
{
    Transcript t;
    t.append(u"ab");
    EXPECT_EQ(t.findFrom(u"b", 5), Transcript::npos);
    t.append(u"bbbbb");
    EXPECT_EQ(t.findFrom(u"b", 5), 5u);
}

TEST(TranscriptSearch, CopyIsANewTextForCachedResults)
{
    Transcript a;
    a.append(u"abc");
    const Transcript b = a;
    EXPECT_NE(a.generation(), b.generation());
    EXPECT_EQ(b.find(u"c"), 2u);
}

TEST(UpgradeCheck, ReportsEachFailureTextOnItsOwnAndBoth)
{
    Transcript t;
    t.append(u"tftp -v 10.0.0.1 -c get webfwh.bin\r\n");
    EXPECT_FALSE(CheckUpgradeFailures(t).any());
    t.append(u"tftp: server error: (1) File not");
    EXPECT_FALSE(CheckUpgradeFailures(t).fileNotFound);
    t.append(u" found\r\n");
    EXPECT_EQ(CheckUpgradeFailures(t), (cv::nodes::UpgradeFailures{true, false}));
    t.append(u"tftp: Transfer timed out\r\n");
    EXPECT_EQ(CheckUpgradeFailures(t), (cv::nodes::UpgradeFailures{true, true}));
    t.clear();
    t.append(u"Transfer timed out");
    EXPECT_EQ(CheckUpgradeFailures(t), (cv::nodes::UpgradeFailures{false, true}));
}

TEST(UpgradeCheck, IgnoresTextsThatDifferInCase)
{
    Transcript t;
    t.append(u"file not found, transfer Timed Out");
    EXPECT_FALSE(CheckUpgradeFailures(t).any());
}

TEST(TranscriptGrowth, HoldsEveryArrivalInOrderWhileItMovesToABiggerBuffer)
{
    // Pieces of every size, small ones as from the socket and some bigger
    // than the room left, across several moves to a bigger buffer; copies
    // and moves taken in the middle of a move hold the same text.
    std::mt19937 rng(7);
    Transcript t;
    std::u16string plain;
    std::uniform_int_distribution<int> kind(0, 19);
    std::uniform_int_distribution<std::size_t> small(1, 1024), big(1, 300000);
    while (plain.size() < 3000000) {
        const std::size_t n = kind(rng) == 0 ? big(rng) : small(rng);
        std::u16string piece(n, u'a');
        for (std::size_t i = 0; i < n; i += 97)
            piece[i] = static_cast<char16_t>(u'b' + (plain.size() + i) % 20);
        t.append(piece);
        plain += piece;
        ASSERT_EQ(t.size(), plain.size());
        if (kind(rng) == 1) {
            ASSERT_EQ(t.text(), plain);
            const Transcript copy = t;
            ASSERT_EQ(copy.text(), plain);
        }
    }
    EXPECT_EQ(t.text(), plain);
    EXPECT_EQ(t.rfind(u"b"), plain.rfind(u"b"));
    Transcript moved = std::move(t);
    moved.append(u"end");
    EXPECT_EQ(moved.text(), plain + u"end");
    moved.clear();
    moved.append(u"again");
    EXPECT_EQ(moved.text(), u"again");
}
