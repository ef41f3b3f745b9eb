#include "service/HistoryQuery.h"

#include "service/Model.h"
#include "service/Roles.h"

#include <algorithm>
#include <ctime>

namespace cv::service {

namespace {
bool Digits(std::string_view s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}
}  // namespace

std::optional<std::size_t> ParseHistoryLimit(std::string_view text)
{
    if (!Digits(text) || text.size() > 4)
        return std::nullopt;
    const std::size_t n = std::stoul(std::string(text));
    if (n < 1 || n > kHistoryMaxLimit)
        return std::nullopt;
    return n;
}

std::string FormatTime(std::int64_t ms)
{
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    ::gmtime_r(&seconds, &tm);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03dZ", static_cast<int>(ms % 1000));
    return std::string(text, n) + fraction;
}

std::optional<std::int64_t> ParseTime(std::string_view text)
{
    if (Digits(text)) {
        if (text.size() > 12)
            return std::nullopt;
        return std::stoll(std::string(text)) * 1000;
    }
    // strptime reads the calendar; the fraction and the zone are ours.
    const std::string s(text.substr(0, 64));
    std::tm tm{};
    const char* end = ::strptime(s.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
    if (!end)
        return std::nullopt;
    std::string_view rest(end);
    std::int64_t ms = 0;
    if (!rest.empty() && rest.front() == '.') {
        rest.remove_prefix(1);
        std::size_t n = 0;
        while (n < rest.size() && rest[n] >= '0' && rest[n] <= '9')
            ++n;
        if (n == 0 || n > 9)
            return std::nullopt;
        std::string digits(rest.substr(0, n));
        digits.resize(3, '0');
        ms = std::stoll(digits.substr(0, 3));
        rest.remove_prefix(n);
    }
    if (rest != "Z" && rest != "+00:00")
        return std::nullopt;
    const std::time_t t = ::timegm(&tm);
    if (t < 0)
        return std::nullopt;
    return static_cast<std::int64_t>(t) * 1000 + ms;
}

Result<HistoryQuery> ParseHistoryQuery(const std::optional<std::string>& since,
                                       const std::optional<std::string>& device,
                                       const std::optional<std::string>& actor, const std::optional<std::string>& limit)
{
    HistoryQuery q;
    if (since) {
        q.since = ParseTime(*since);
        if (!q.since)
            return Failure("since: a time such as 2024-05-01T20:00:00Z, or seconds since 1970");
    }
    if (device) {
        q.device = NormalMac(*device);
        if (!q.device)
            return Failure("device: not a MAC address (aa:bb:cc:dd:ee:ff)");
    }
    if (actor) {
        // A token's name, loopback, or line:ADDRESS:PORT.
        const bool line = actor->starts_with("line:") && actor->size() <= 64 &&
            actor->find_first_not_of("0123456789abcdefABCDEF.:[]", 5) == std::string::npos;
        if (*actor != "loopback" && *actor != "device" && *actor != "service" && !line &&
            !(actor->starts_with("cli:") && IsTokenName(actor->substr(4))) && !IsTokenName(*actor))
            return Failure("actor: a token's name, loopback, device, service, cli:USER or line:ADDRESS");
        q.actor = *actor;
    }
    if (limit) {
        const auto n = ParseHistoryLimit(*limit);
        if (!n)
            return Failure("limit: a number from 1 to " + std::to_string(kHistoryMaxLimit));
        q.limit = *n;
    }
    return q;
}

}  // namespace cv::service
