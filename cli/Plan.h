#pragma once
// Bulk settings from a spreadsheet: one row per endpoint, keyed by mac or
// address. Every value is checked before anything is sent to any endpoint.
#include "cli/Fleet.h"

#include <string>
#include <vector>

namespace cv::cli {

struct PlanRow {
    int line = 0;  // in the file, for messages
    bool byMac = false;
    std::string key;  // the mac or the address as written
    SetRequest request;
};

// Columns: one of "mac" and "address", then any of hostname_id, channel,
// multicast (y/n), ip_mode, ipaddr, netmask, gateway. An empty cell leaves
// that setting alone. All problems are collected, each naming its line.
bool ParsePlan(const std::string& text, std::vector<PlanRow>& rows, std::vector<std::string>& errors);

// The dry run's view of a row: every byte it would send, escaped.
std::string DescribeLines(const std::vector<nodes::WireLine>& lines);

}  // namespace cv::cli
