#pragma once
// cortavia-cli: the window's jobs for a whole fleet, every result checked.
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace cv::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // some endpoint failed
inline constexpr int kExitUsage = 2;

// args without the program name. Results go to out, progress and errors
// to err.
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// Every command ("scan", "wall quick", ...) with the long options it takes,
// as its help lists them: what the manual page must name too.
std::vector<std::pair<std::string, std::vector<std::string>>> CommandsAndOptions();

}  // namespace cv::cli
