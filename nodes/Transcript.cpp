#include "nodes/Transcript.h"

#include <algorithm>
#include <atomic>

namespace cv::nodes {

namespace {

std::uint64_t NextGeneration()
{
    static std::atomic<std::uint64_t> counter{0};
    return ++counter;
}

}  // namespace

Transcript::Transcript() : generation_(NextGeneration()) { }

Transcript::Transcript(const Transcript& other) : text_(other.text_), generation_(NextGeneration()) { }

Transcript& Transcript::operator=(const Transcript& other)
{
    if (this != &other) {
        text_ = other.text_;
        dropNext();
        generation_ = NextGeneration();
        resetCaches();
    }
    return *this;
}

Transcript::Transcript(Transcript&& other) noexcept
    : text_(std::move(other.text_)),
      next_(std::move(other.next_)),
      copied_(other.copied_),
      moving_(other.moving_),
      generation_(other.generation_),
      entries_(std::move(other.entries_)),
      useClock_(other.useClock_)
{
    other.dropNext();
    other.text_.clear();
    other.generation_ = NextGeneration();
    other.resetCaches();
}

Transcript& Transcript::operator=(Transcript&& other) noexcept
{
    if (this != &other) {
        text_ = std::move(other.text_);
        next_ = std::move(other.next_);
        copied_ = other.copied_;
        moving_ = other.moving_;
        other.dropNext();
        generation_ = other.generation_;
        entries_ = std::move(other.entries_);
        useClock_ = other.useClock_;
        other.text_.clear();
        other.generation_ = NextGeneration();
        other.resetCaches();
    }
    return *this;
}

void Transcript::dropNext()
{
    std::u16string().swap(next_);
    copied_ = 0;
    moving_ = false;
}

void Transcript::finishMove()
{
    next_.append(std::u16string_view(text_).substr(copied_));
    text_.swap(next_);
    dropNext();  // gives back the old buffer
}

void Transcript::append(std::u16string_view piece)
{
    if (text_.capacity() < kMoveInSteps) {
        text_.append(piece);
        return;
    }
    if (!moving_ && text_.size() + piece.size() > text_.capacity() / 2) {
        next_.reserve(2 * text_.capacity());
        copied_ = 0;
        moving_ = true;
    }
    if (moving_ && text_.size() + piece.size() > text_.capacity()) {
        finishMove();  // a piece too big for the room left: the rest in one go
    }
    text_.append(piece);
    if (moving_) {
        // Three times the piece: done before the old buffer fills up.
        const std::size_t step = std::max(kMinStep, 3 * piece.size());
        const std::size_t n = std::min(step, text_.size() - copied_);
        next_.append(std::u16string_view(text_).substr(copied_, n));
        copied_ += n;
        if (copied_ == text_.size()) {
            text_.swap(next_);
            dropNext();
        }
    }
}

void Transcript::clear()
{
    // A flood of text would otherwise stay allocated for the window's whole
    // life; an ordinary dump's buffer is kept for the next operation.
    if (text_.capacity() > kKeptCapacity)
        std::u16string().swap(text_);
    else
        text_.clear();
    dropNext();
    generation_ = NextGeneration();
    resetCaches();
}

void Transcript::resetCaches()
{
    entries_.clear();
    useClock_ = 0;
}

Transcript::Entry& Transcript::entryFor(std::u16string_view literal, std::size_t from, Kind kind) const
{
    ++useClock_;
    for (Entry& e : entries_) {
        if (e.kind == kind && e.from == from && e.literal == literal) {
            e.lastUse = useClock_;
            return e;
        }
    }
    if (entries_.size() >= kMaxEntries) {
        auto oldest = std::min_element(entries_.begin(), entries_.end(),
                                       [](const Entry& a, const Entry& b) { return a.lastUse < b.lastUse; });
        entries_.erase(oldest);
    }
    Entry& e = entries_.emplace_back();
    e.literal.assign(literal);
    e.from = from;
    e.kind = kind;
    e.lastUse = useClock_;
    return e;
}

// Occurrences lying wholly inside the part scanned before were seen then;
// one that straddles the old end starts at most len-1 characters before it.
static std::size_t TailStart(std::size_t scanned, std::size_t len, std::size_t from)
{
    const std::size_t overlap = len - 1;
    const std::size_t start = scanned > overlap ? scanned - overlap : 0;
    return std::max(start, from);
}

std::size_t Transcript::findFrom(std::u16string_view literal, std::size_t from) const
{
    if (literal.empty())
        return from <= text_.size() ? from : npos;
    Entry& e = entryFor(literal, from, Kind::First);
    if (e.found != npos)
        return e.found;  // text only grows: the first stays first
    const std::size_t start = TailStart(e.scanned, literal.size(), from);
    if (start < text_.size()) {
        const std::size_t hit = std::u16string_view(text_).substr(start).find(literal);
        if (hit != npos)
            e.found = start + hit;
    }
    e.scanned = text_.size();
    return e.found;
}

std::size_t Transcript::rfind(std::u16string_view literal) const
{
    if (literal.empty())
        return text_.size();
    Entry& e = entryFor(literal, 0, Kind::Last);
    const std::size_t start = TailStart(e.scanned, literal.size(), 0);
    if (start < text_.size()) {
        // Any hit in the new tail lies after every earlier one.
        const std::size_t hit = std::u16string_view(text_).substr(start).rfind(literal);
        if (hit != npos)
            e.found = start + hit;
    }
    e.scanned = text_.size();
    return e.found;
}

}  // namespace cv::nodes
