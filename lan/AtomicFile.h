#pragma once
// A file replaced whole or not at all, and on the disk once it is said to
// be: written beside under a temporary name, flushed, renamed over, and the
// directory flushed too. A crash or a full disk leaves the old file, never
// half a new one. No Qt: the command line and the service share it.
#include <optional>
#include <string>
#include <string_view>

namespace cv::lan {

// nullopt once written; otherwise why not ("cannot write ...: No space left
// on device"), the old file untouched.
std::optional<std::string> WriteFileAtomically(const std::string& dir, const std::string& name, std::string_view bytes,
                                               unsigned mode = 0644);
// The same for a path: its directory is the part before the last '/'.
std::optional<std::string> WriteFileAtomically(const std::string& path, std::string_view bytes, unsigned mode = 0644);

}  // namespace cv::lan
