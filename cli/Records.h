#pragma once
// The rows the subcommands report, as JSON objects; the columns of each
// command are its schema. JSON output holds every column of the command in
// every record, null where a value is missing; tables and CSV show the same
// columns.
#include "cli/Fleet.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace cv::cli {

using Record = nlohmann::ordered_json;
using Columns = std::vector<std::string>;

// Device text is not always UTF-8: bad bytes become U+FFFD, so the output
// always parses.
std::string Dump(const Record& value, int indent = -1);

// The record of every command, column by column, as the manual page
// describes them.
extern const Columns kScanColumns;
extern const Columns kDetailColumns;  // inventory and show
extern const Columns kSetColumns;
extern const Columns kDryRunColumns;
extern const Columns kRestartColumns;  // reboot and factory-default
extern const Columns kUpgradeColumns;
extern const Columns kWallColumns;
extern const Columns kOsdColumns;

// A number the firmware writes as text ("3"), as a number; null when it is
// none.
Record NumberOrNull(const std::string& text);

// address, kind, multicast, channel, hostname_id, number.
std::vector<Record> ScanRecords(const nodes::NodeList& list);

// The as-built record: address, kind, hostname_id, version, mac, state,
// multicast, channel, ip_mode, netmask, gateway.
Record DetailRecord(const std::string& address, const Details& d);

// One row per field; a failure before any field still gets its row. key is
// the plan's cell, empty without a plan.
std::vector<Record> SetRecords(const SetResult& result, const std::string& key = {});

// Why a row says "not started" after a signal.
inline constexpr const char* kInterruptedText = "interrupted: nothing was changed on it";

// A row for an endpoint the run never reached: stopped by a signal, or
// skipped with --partial because it was not found.
Record NotStarted(const Columns& columns, Record known, const std::string& why);

}  // namespace cv::cli
