#pragma once
// Named tokens with roles, kept in the state directory as tokens.json
// (mode 0600) and only as hashes: whoever reads the file cannot use what
// is in it. `cortaviad token ...` changes the file under a lock; a running
// service sees each change within a second, without a restart.
#include "service/Roles.h"
#include "service/StateFiles.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace cv::service {

struct TokenEntry {
    std::string name;
    Role role = Role::None;
    std::string sha256;  // of the token, lower-case hex
    std::int64_t created = 0;  // ms since the epoch
};

// The file's text and back; a file that does not read is an error (and
// no token of it is taken).
Result<std::vector<TokenEntry>> ParseTokens(std::string_view json);
std::string TokensJson(const std::vector<TokenEntry>& tokens);
std::string HashToken(std::string_view token);

class TokenStore {
public:
    explicit TokenStore(std::string dir);

    // Reads the file again when it changed since the last read. A file that
    // cannot be read, or that others may read, takes every token away until
    // it is fixed: a revocation must never be lost to a broken file.
    // Returns a problem to tell the operator, once per change.
    std::optional<std::string> Refresh();
    std::optional<Identity> Find(std::string_view token) const;
    const std::vector<TokenEntry>& entries() const { return tokens_; }

    // For the command line, each under the directory's lock: the new
    // token; whether a token went; the old single token made an admin
    // token named "token" (false when there was none).
    Result<std::string> Add(const std::string& name, Role role);
    Result<bool> Revoke(const std::string& name);
    Result<bool> ImportLegacy();

private:
    Result<std::vector<TokenEntry>> Load() const;
    Result<void> Save(const std::vector<TokenEntry>& tokens) const;

    std::string dir_;
    std::vector<TokenEntry> tokens_;
    std::unordered_map<std::string, std::size_t> byHash_;
    std::string seen_;  // what the file was when last read: inode, size, time
};

}  // namespace cv::service
