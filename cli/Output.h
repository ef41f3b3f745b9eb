#pragma once
// Results on standard output: a readable table, JSON or CSV; and CSV read
// back for plan files.
#include "cli/Records.h"

#include <ostream>
#include <string>
#include <vector>

namespace cv::cli {

enum class Format { Table, Json, Csv };

// Rows are JSON objects. Every format shows the given columns in order: a
// missing key (or empty text) is an empty cell, or null in JSON, which is
// always an array.
void PrintRecords(std::ostream& out, Format format, const std::vector<std::string>& columns,
                  const std::vector<Record>& rows);
// One record: a name-value list in a table, otherwise as PrintRecords.
void PrintRecord(std::ostream& out, Format format, const std::vector<std::string>& columns, const Record& row);

// Each row with exactly these keys, in this order.
Record Projected(const std::vector<std::string>& columns, const std::vector<Record>& rows);

// A cell's text: strings as they are, numbers in decimal, null empty.
std::string CellText(const Record& value);
std::string CsvField(const std::string& text);
// ASCII letters in lower case: keys and keywords, never device text.
std::string Lower(std::string s);
// A MAC as every table and lock spells it (endpoint::Mac), or the text in
// lower case when it is none.
std::string MacKey(const std::string& text);

// RFC 4180 records: quoted fields may hold commas, quotes ("") and line
// breaks; CR LF or LF end a record; a UTF-8 byte-order mark is skipped.
// lineOfRecord gets the 1-based line each record starts on.
struct CsvTable {
    std::vector<std::vector<std::string>> records;
    std::vector<int> lineOfRecord;
};
bool ParseCsv(const std::string& text, CsvTable& table, std::string& error);

}  // namespace cv::cli
