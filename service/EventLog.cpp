#include "service/EventLog.h"

#include <charconv>

namespace cv::service {

EventLog::EventLog(std::uint64_t firstId, std::size_t capacity)
    : capacity_(std::max<std::size_t>(1, capacity)),
      next_(std::max<std::uint64_t>(1, firstId))
{ }

const LoggedEvent& EventLog::Append(Event event)
{
    if (ring_.size() == capacity_)
        ring_.pop_front();
    ring_.push_back({next_++, std::move(event)});
    return ring_.back();
}

std::optional<std::vector<const LoggedEvent*>> EventLog::Since(std::uint64_t lastSeen) const
{
    // The first id the ring still holds, or the next one when it is empty.
    const std::uint64_t oldest = ring_.empty() ? next_ : ring_.front().id;
    if (lastSeen + 1 < oldest || lastSeen >= next_)
        return std::nullopt;
    std::vector<const LoggedEvent*> out;
    for (auto it = ring_.begin() + static_cast<std::ptrdiff_t>(lastSeen + 1 - oldest); it != ring_.end(); ++it)
        out.push_back(&*it);
    return out;
}

std::optional<std::uint64_t> ParseEventId(std::string_view text)
{
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    std::uint64_t id = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return id;
}

}  // namespace cv::service
