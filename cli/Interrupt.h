#pragma once
// A clean stop. The first SIGINT or SIGTERM asks the run to start nothing
// new: endpoints already past their point of no return (settings saved, a
// restart or an update script sent) are seen through to their result, and
// every endpoint is reported. A second signal ends the process at once,
// after a one-line summary of what was left running.
#include <cstddef>

namespace cv::cli {

inline constexpr int kExitInterrupted = 130;

namespace interrupt {

// Installs the handlers; main only, tests request a stop directly.
void InstallHandlers();

bool Requested();
// What the first signal does (tests call it from another thread).
void Request();
// Forgets a stop and the counts (between in-process runs in tests).
void Reset();

// With --json, a quit at once still leaves standard output one JSON array
// (an empty one) unless the results are already being printed.
void JsonOnQuit(bool on);

// Counts kept for the second signal's summary.
void Planned(std::size_t endpoints);
void Started();
void Finished();

}  // namespace interrupt
}  // namespace cv::cli
