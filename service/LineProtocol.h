#pragma once
// The line protocol for control systems (Crestron, Q-SYS, Companion):
// one command per line, replies ending in OK or ERR. Parsing and the
// reply lines are plain functions; the server only moves bytes.
#include "service/HistoryQuery.h"
#include "service/Model.h"
#include "service/Roles.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace cv::service::line {

inline constexpr std::size_t kMaxLine = 1024;

struct Help { };
struct Devices { };
struct Routes { };
struct RouteTo {
    std::string rx;
    std::optional<std::string> tx;  // nullopt: none
};
struct Scenes { };
struct Recall {
    std::string name;
};
struct Identify {
    bool on = false;
    std::vector<std::string> rx;  // empty: every receiver
};
// With an id (0: none seen yet), every event line carries its id, and what
// was missed since that id comes first.
struct Subscribe {
    std::optional<std::uint64_t> since;
};
struct Forget {
    std::string mac;
};
struct Auth {
    std::string token;
};
// The last N records of the history, newest first.
struct ShowHistory {
    std::size_t count = 20;
};
struct Bad {
    std::string reason;
};
using Command =
    std::variant<Help, Devices, Routes, RouteTo, Scenes, Recall, Identify, Subscribe, Forget, Auth, ShowHistory, Bad>;

// One line without its end (LF or CR LF already cut off).
Command Parse(std::string_view line);
// The role a command needs, as the HTTP API's for the same act (None:
// anyone may, as help and auth).
Role Needs(const Command& command);

// Cuts whole lines off the front of `buffer` as they arrive. A line longer
// than kMaxLine is reported once, as an empty optional in `out`, and its
// bytes up to the next LF are dropped so the connection stays usable.
class LineSplitter {
public:
    // Appends bytes; complete lines go to out (nullopt marks an overlong one).
    void Feed(std::string_view bytes, std::vector<std::optional<std::string>>& out);

private:
    std::string pending_;
    bool skipping_ = false;
};

std::string HelpText();
std::string DeviceLine(const Device& d);
std::string RouteLine(const Route& r);
std::string EventLine(const Event& e);
// "EVENT <id> <type> <json>", for a subscriber that resumes by id.
std::string EventLine(std::uint64_t id, const Event& e);
// "HISTORY <time> <actor> <action> <subject|-> ok|failed <detail json>".
std::string HistoryLine(const std::string& time, const std::string& actor, const std::string& action,
                        const std::string& subject, bool ok, const Json& detail);
inline std::string Ok() { return "OK\r\n"; }
std::string Err(std::string_view reason);

}  // namespace cv::service::line
