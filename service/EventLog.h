#pragma once
// Every event the service told, with an id, in a ring a client can resume
// from: a stream that reconnects with the last id it saw gets what it
// missed. Ids go on rising across restarts (they start from the clock), so
// an id from before a restart is never taken for one of this run.
#include "service/Model.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace cv::service {

struct LoggedEvent {
    std::uint64_t id = 0;
    Event event;
};

class EventLog {
public:
    static constexpr std::size_t kCapacity = 10000;
    explicit EventLog(std::uint64_t firstId, std::size_t capacity = kCapacity);

    const LoggedEvent& Append(Event event);
    // The events after `lastSeen`, oldest first; nullopt when the ring no
    // longer reaches back to it (or it is no id of this log).
    std::optional<std::vector<const LoggedEvent*>> Since(std::uint64_t lastSeen) const;
    std::uint64_t lastId() const { return next_ - 1; }

private:
    std::deque<LoggedEvent> ring_;
    std::size_t capacity_;
    std::uint64_t next_;
};

// An id as a client sends it back ("Last-Event-ID: 123"); nullopt when it
// is no id.
std::optional<std::uint64_t> ParseEventId(std::string_view text);

}  // namespace cv::service
