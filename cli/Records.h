#pragma once
// The rows the subcommands report, as JSON objects whose keys keep the
// order they were written in; tables and CSV pick their columns from them.
#include "cli/Fleet.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace cv::cli {

using Record = nlohmann::ordered_json;

// Device text is not always UTF-8: bad bytes become U+FFFD, so the output
// always parses.
std::string Dump(const Record& value, int indent = -1);

// address, kind, multicast, channel; for a receiver also hostname_id, number.
std::vector<Record> ScanRecords(const nodes::NodeList& list);

// The as-built record: address, kind, hostname_id, version, mac, state,
// multicast, channel, ip_mode, netmask, gateway.
Record DetailRecord(const std::string& address, const Details& d);
// The columns of inventory, in their order.
extern const std::vector<std::string> kDetailColumns;

// One row per field (key first when the plan gave one); a failure before any
// field still gets its row.
std::vector<Record> SetRecords(const SetResult& result, const std::string& key = {});
extern const std::vector<std::string> kSetColumns;

}  // namespace cv::cli
