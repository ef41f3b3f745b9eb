#pragma once
// What a client asks of the history (GET /api/v1/history, `history [N]`),
// read into values before the database is touched, and the history's
// times as clients write them. Plain functions, no database, no Qt.
#include "service/StateFiles.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace cv::service {

struct HistoryQuery {
    std::optional<std::int64_t> since;  // ms since the epoch, inclusive
    std::optional<std::string> device;  // a MAC, normalised
    std::optional<std::string> actor;
    std::size_t limit = 100;
};

inline constexpr std::size_t kHistoryMaxLimit = 1000;

// Each parameter as sent (nullopt: not sent). A bad one is an error that
// names it.
Result<HistoryQuery> ParseHistoryQuery(const std::optional<std::string>& since,
                                       const std::optional<std::string>& device,
                                       const std::optional<std::string>& actor,
                                       const std::optional<std::string>& limit);
// The line protocol's count: 1 to kHistoryMaxLimit.
std::optional<std::size_t> ParseHistoryLimit(std::string_view text);

// "2024-05-01T20:15:00.250Z" (UTC, milliseconds).
std::string FormatTime(std::int64_t ms);
// That form (fraction optional), or whole seconds since the epoch.
std::optional<std::int64_t> ParseTime(std::string_view text);

}  // namespace cv::service
