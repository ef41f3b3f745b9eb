#pragma once
// The session transcript: everything received since an operation last
// emptied it. The parsers re-read it after every arrival, so its searches
// remember how far they have looked and only look at what arrived since.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cv::nodes {

class Transcript {
public:
    static constexpr std::size_t npos = std::u16string::npos;

    Transcript();
    // A copy is a new text as far as cached parse results are concerned.
    Transcript(const Transcript& other);
    Transcript& operator=(const Transcript& other);
    Transcript(Transcript&& other) noexcept;
    Transcript& operator=(Transcript&& other) noexcept;
    ~Transcript() = default;

    void append(std::u16string_view piece);
    void clear();

    const std::u16string& text() const { return text_; }
    std::size_t size() const { return text_.size(); }
    bool empty() const { return text_.empty(); }

    // Changes whenever the text stops being an extension of what it was
    // (clear, assignment), never on append. Unique across all transcripts,
    // so a parser can tell "same text, grown" from "different text".
    std::uint64_t generation() const { return generation_; }

    // Same results as text().find(literal), text().find(literal, from) and
    // text().rfind(literal), at the cost of the text appended since the
    // previous call with the same arguments.
    std::size_t find(std::u16string_view literal) const { return findFrom(literal, 0); }
    std::size_t findFrom(std::u16string_view literal, std::size_t from) const;
    std::size_t rfind(std::u16string_view literal) const;
    bool contains(std::u16string_view literal) const { return find(literal) != npos; }

private:
    enum class Kind : std::uint8_t { First, Last };
    struct Entry {
        std::u16string literal;
        std::size_t from = 0;
        Kind kind = Kind::First;
        std::size_t scanned = 0;  // text size at the last scan
        std::size_t found = npos;
        std::uint64_t lastUse = 0;
    };

    Entry& entryFor(std::u16string_view literal, std::size_t from, Kind kind) const;
    void resetCaches();
    void dropNext();
    void finishMove();

    // A large text does not move to a bigger buffer in one go: that copy
    // would hold the window for the whole transcript (tens of megabytes in a
    // flood). From half full on, every append also copies a few times its
    // own size into next_, which takes over once it holds everything.
    static constexpr std::size_t kMoveInSteps = std::size_t{1} << 16;  // characters
    static constexpr std::size_t kMinStep = 4096;

    // Largest buffer clear() keeps for reuse (characters).
    static constexpr std::size_t kKeptCapacity = std::size_t{1} << 20;

    std::u16string text_;
    std::u16string next_;  // the first copied_ characters of text_, in a buffer twice as big
    std::size_t copied_ = 0;
    bool moving_ = false;
    std::uint64_t generation_;
    // A handful of literals are searched for; the bound only matters for
    // callers that search from many different positions.
    static constexpr std::size_t kMaxEntries = 64;
    mutable std::vector<Entry> entries_;
    mutable std::uint64_t useClock_ = 0;
};

}  // namespace cv::nodes
