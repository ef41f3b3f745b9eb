#include "cli/Output.h"
#include "cli/Reporter.h"
#include "endpoint/Mac.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace cv::cli {

std::string CellText(const Record& value)
{
    if (value.is_string())
        return value.get<std::string>();
    if (value.is_null())
        return {};
    return Dump(value);
}

std::string Lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string MacKey(const std::string& text)
{
    const auto mac = endpoint::Mac::Parse(text);
    return mac ? mac->text() : Lower(text);
}

std::string CsvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

namespace {

std::size_t DisplayWidth(const std::string& s)
{
    std::size_t n = 0;
    for (unsigned char c : s)
        n += (c & 0xC0) != 0x80;
    return n;
}

}  // namespace

Record Projected(const std::vector<std::string>& columns, const std::vector<Record>& rows)
{
    Record all = Record::array();
    for (const Record& row : rows) {
        Record o = Record::object();
        for (const std::string& c : columns) {
            const auto v = row.find(c);
            const bool missing = v == row.end() || (v->is_string() && v->get_ref<const std::string&>().empty());
            o[c] = missing ? Record(nullptr) : *v;
        }
        all.push_back(std::move(o));
    }
    return all;
}

void PrintRecords(std::ostream& out, Format format, const std::vector<std::string>& columns,
                  const std::vector<Record>& rows)
{
    if (format == Format::Json) {
        out << Dump(Projected(columns, rows), 2) << '\n';
        return;
    }
    const auto cell = [&](const Record& row, const std::string& column) {
        const auto v = row.find(column);
        return v != row.end() ? CellText(*v) : std::string();
    };
    if (format == Format::Csv) {
        for (std::size_t i = 0; i < columns.size(); ++i)
            out << (i ? "," : "") << CsvField(columns[i]);
        out << "\r\n";
        for (const Record& row : rows) {
            for (std::size_t i = 0; i < columns.size(); ++i)
                out << (i ? "," : "") << CsvField(Printable(cell(row, columns[i]), true, true));
            out << "\r\n";
        }
        return;
    }
    std::vector<std::vector<std::string>> text;
    std::vector<std::size_t> width;
    for (const std::string& c : columns)
        width.push_back(DisplayWidth(c));
    for (const Record& row : rows) {
        std::vector<std::string> line;
        for (std::size_t i = 0; i < columns.size(); ++i) {
            std::string t = Printable(cell(row, columns[i]));
            if (t.empty())
                t = "-";
            width[i] = std::max(width[i], DisplayWidth(t));
            line.push_back(std::move(t));
        }
        text.push_back(std::move(line));
    }
    const auto print = [&](const std::vector<std::string>& line) {
        std::string s;
        for (std::size_t i = 0; i < line.size(); ++i) {
            s += line[i];
            if (i + 1 < line.size())
                s.append(width[i] - DisplayWidth(line[i]) + 2, ' ');
        }
        out << s << '\n';
    };
    print(columns);
    for (const auto& line : text)
        print(line);
}

void PrintRecord(std::ostream& out, Format format, const std::vector<std::string>& columns, const Record& row)
{
    if (format == Format::Json || format == Format::Csv) {
        PrintRecords(out, format, columns, {row});
        return;
    }
    std::size_t w = 0;
    for (const std::string& c : columns)
        w = std::max(w, c.size());
    for (const std::string& c : columns) {
        const auto v = row.find(c);
        const std::string t = v != row.end() ? Printable(CellText(*v)) : std::string();
        out << c << std::string(w - c.size() + 2, ' ') << (t.empty() ? "-" : t) << '\n';
    }
}

bool ParseCsv(const std::string& input, CsvTable& table, std::string& error)
{
    std::string text = input;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text.erase(0, 3);
    table = {};
    std::vector<std::string> record;
    std::string field;
    bool quoted = false, fieldStarted = false, afterQuote = false;
    int line = 1, recordLine = 1;
    const auto endField = [&] {
        record.push_back(std::move(field));
        field.clear();
        fieldStarted = afterQuote = false;
    };
    const auto endRecord = [&] {
        endField();
        const bool blank = record.size() == 1 && record[0].empty();
        if (!blank) {
            table.records.push_back(std::move(record));
            table.lineOfRecord.push_back(recordLine);
        }
        record.clear();
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"') {
                if (i + 1 < text.size() && text[i + 1] == '"') {
                    field += '"';
                    ++i;
                } else {
                    quoted = false;
                    afterQuote = true;
                }
            } else {
                if (c == '\n')
                    ++line;
                field += c;
            }
            continue;
        }
        if (c == ',') {
            endField();
        } else if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            endRecord();
            ++line;
            recordLine = line;
        } else if (c == '"' && !fieldStarted) {
            quoted = fieldStarted = true;
        } else if (afterQuote) {
            error = "line " + std::to_string(line) + ": text after a closing quote";
            return false;
        } else {
            field += c;
            fieldStarted = true;
        }
    }
    if (quoted) {
        error = "line " + std::to_string(recordLine) + ": a quoted field is not closed";
        return false;
    }
    if (fieldStarted || !record.empty())
        endRecord();
    return true;
}

}  // namespace cv::cli
