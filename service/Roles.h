#pragma once
// Who may do what. Every request and every line is decided from what the
// client names (method and path, or the command) before it is handled, so
// a refused one never reaches an endpoint. Plain functions, no Qt.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cv::service {

// In order: each role may do all that the one before it may.
enum class Role { None, Viewer, Operator, Admin };

std::string_view ToString(Role role);
// "viewer", "operator", "admin" (and "none" when allowNone).
std::optional<Role> ParseRole(std::string_view text, bool allowNone = false);
inline bool Allows(Role held, Role needed) { return static_cast<int>(held) >= static_cast<int>(needed); }

// Who asks: a token's name and role, or the trust given to loopback.
struct Identity {
    std::string name;
    Role role = Role::None;
};

// The role an HTTP request needs, from its method and decoded path.
// Reading is for viewers; switching displays (routes, recall, identify)
// for operators; every other write (scenes, labels, forgetting) for admins.
Role NeededFor(std::string_view method, const std::vector<std::string>& path);

// The answer's text for a client refused for its role: names what it needs.
std::string RoleRefusal(Role needed, const Identity& who);

// A token's name: what `token add` accepts and the history shows.
bool IsTokenName(std::string_view name);

}  // namespace cv::service
