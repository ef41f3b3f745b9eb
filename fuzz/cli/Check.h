#pragma once
// A broken promise of a reader ends the run, so libFuzzer keeps the input.
#include <cstdlib>

namespace cv::fuzz {
inline void Check(bool ok)
{
    if (!ok)
        std::abort();
}
}  // namespace cv::fuzz
