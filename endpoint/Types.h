#pragma once
// The words every front end reports in: what an endpoint is, how a setting
// fared, which IP mode it runs, and a failed step. One to-string each.
#include "nodes/Firmware.h"

#include <tl/expected.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace cv::endpoint {

// A transmitter ("tx") or a receiver ("rx"); Unknown when the dump does not say.
enum class Kind { Unknown, Tx, Rx };
const char* ToString(Kind kind);  // "tx", "rx", ""

// How one requested setting fared.
// Unreadable: the reply holds no valid value, which says nothing of a mismatch.
enum class FieldStatus { NotSent, Sent, Pending, Confirmed, Mismatch, Failed, Unreadable };
const char* ToString(FieldStatus status);  // "not sent", "sent", "pending", ...

using nodes::IpMode;
const char* ToString(IpMode mode);  // "autoip", "dhcp", "static"
std::optional<IpMode> ParseIpMode(std::string_view text);

// A failed step: "connect", "login", "read", "hostname", ... and why.
struct StepError {
    std::string step;
    std::string detail;
    std::string text() const { return step + ": " + detail; }
};

// Success reads as success: `if (!result) ... result.error()`.
template <typename T = void>
using Result = tl::expected<T, StepError>;

inline tl::unexpected<StepError> Failure(std::string step, std::string detail)
{
    return tl::unexpected(StepError{std::move(step), std::move(detail)});
}

}  // namespace cv::endpoint
