#pragma once
// The fixed pauses of the operations block the UI thread on purpose, as the
// endpoints' shells expect the lines spaced out. Tests may make them instant.
#include <functional>

namespace platform {

void Sleep(unsigned milliseconds);

using SleepHandler = std::function<void(unsigned milliseconds)>;
// Returns the previous handler; an empty handler restores real sleeping.
SleepHandler SetSleepHandler(SleepHandler handler);

}  // namespace platform
