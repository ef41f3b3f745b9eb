#include "service/Roles.h"

#include <algorithm>
#include <cctype>

namespace cv::service {

std::string_view ToString(Role role)
{
    switch (role) {
    case Role::None: return "none";
    case Role::Viewer: return "viewer";
    case Role::Operator: return "operator";
    case Role::Admin: return "admin";
    }
    return "none";
}

std::optional<Role> ParseRole(std::string_view text, bool allowNone)
{
    for (const Role r : {Role::Viewer, Role::Operator, Role::Admin})
        if (text == ToString(r))
            return r;
    if (allowNone && text == "none")
        return Role::None;
    return std::nullopt;
}

Role NeededFor(std::string_view method, const std::vector<std::string>& path)
{
    if (method == "GET" || method == "HEAD" || method == "OPTIONS")
        return Role::Viewer;
    const bool api = path.size() >= 3 && path[0] == "api" && path[1] == "v1";
    if (api) {
        const std::string& what = path[2];
        if (what == "routes" && (path.size() == 3 || path.size() == 4))
            return Role::Operator;
        if (what == "identify" && path.size() == 3)
            return Role::Operator;
        if (what == "scenes" && path.size() == 5 && path[4] == "recall")
            return Role::Operator;
    }
    // Any other write, known or not: an unknown one must not tell a viewer
    // more than a known one does.
    return Role::Admin;
}

std::string RoleRefusal(Role needed, const Identity& who)
{
    std::string out = "role: this needs the " + std::string(ToString(needed)) + " role; ";
    if (who.role == Role::None)
        return out + "a token with it is needed";
    // A line client without a token is named line:PEER for the history, but
    // what it holds is loopback's trust, not a token.
    return out + (IsTokenName(who.name) ? "token '" + who.name + "'" : std::string("loopback")) + " has " +
        std::string(ToString(who.role));
}

bool IsTokenName(std::string_view name)
{
    // As a scene name's characters, without spaces: it goes into logs,
    // history lines and command lines unquoted.
    // "loopback" is who asks without a token.
    return name != "loopback" && !name.empty() && name.size() <= 64 && name.front() != '.' && name.front() != '-' &&
        std::all_of(name.begin(), name.end(), [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
           });
}

}  // namespace cv::service
