#pragma once
// The service's state directory: scenes, labels and the API token. Every
// file is replaced whole (temporary file, fsync, rename, fsync of the
// directory), so a crash leaves the old file or the new one, never half.
#include <tl/expected.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cv::service {

// A value, or why there is none, in words for the operator.
template <typename T>
using Result = tl::expected<T, std::string>;
inline tl::unexpected<std::string> Failure(std::string why) { return tl::unexpected(std::move(why)); }

// Writes `bytes` to dir/name atomically with the given mode.
Result<void> WriteFileAtomically(const std::string& dir, const std::string& name, std::string_view bytes,
                                 unsigned mode = 0600);
// The whole file, or nullopt when it does not exist; an error otherwise.
Result<std::optional<std::string>> ReadWholeFile(const std::string& path);
Result<void> RemoveFile(const std::string& dir, const std::string& name);
// Names in dir ending in `suffix`, the suffix cut off, sorted.
Result<std::vector<std::string>> ListFiles(const std::string& dir, std::string_view suffix);
// Creates dir and its parents (mode 0700) where missing.
Result<void> MakeDirectories(const std::string& dir);

// Removes the temporary files of writes a crash interrupted; their paths.
std::vector<std::string> RemoveStaleTemporaries(const std::string& dir);

// The bearer token: dir/token, 64 hex digits from the system's random
// source, mode 0600, made on first start. An error when it can be neither
// read nor made, when others may read it, and when it is missing while the
// directory holds other state (scenes, labels): the service then stays on
// loopback.
// 32 bytes from the system's random source, as 64 hexadecimal digits.
Result<std::string> NewSecret();

Result<std::string> LoadOrCreateToken(const std::string& dir);
// Compares in time that depends only on the lengths, so a wrong token
// tells an attacker nothing about the right one.
bool SameSecret(std::string_view a, std::string_view b);

}  // namespace cv::service
