#pragma once
// Work over many endpoints at once: one operation per endpoint on up to
// `jobs` threads, each giving its rows of the report.
#include "cli/Records.h"

#include <cstddef>
#include <functional>
#include <vector>

namespace cv::cli {

// Runs fn(0 .. count-1) on up to `jobs` threads.
void RunParallel(std::size_t count, unsigned jobs, const std::function<void(std::size_t)>& fn);

// What one endpoint's operation adds to the report.
struct Rows {
    std::vector<Record> rows;
    bool failed = false;
};

// One row; failed when the row says so.
Rows Row(Record row, bool failed);

// one(i) for every i, in parallel; the rows come out in the order of i, and
// failed is set when any endpoint failed. Once a stop is requested nothing
// new starts: the rest get notStarted(i).
Rows CollectRows(std::size_t count, unsigned jobs, const std::function<Rows(std::size_t)>& one,
                 const std::function<Rows(std::size_t)>& notStarted);

}  // namespace cv::cli
