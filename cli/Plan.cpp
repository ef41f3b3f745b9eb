#include "cli/Plan.h"

#include "cli/Output.h"
#include "lan/Interfaces.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>

namespace cv::cli {

namespace {
const char* const kSettingColumns[] = {"hostname_id", "channel", "multicast", "ip_mode",
                                       "ipaddr",      "netmask", "gateway"};

std::string Trim(const std::string& s)
{
    std::size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a])))
        ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1])))
        --b;
    return s.substr(a, b - a);
}

bool ValidMac(const std::string& mac)
{
    if (mac.size() != 17)
        return false;
    for (std::size_t i = 0; i < mac.size(); ++i)
        if (i % 3 == 2 ? mac[i] != ':' : !std::isxdigit(static_cast<unsigned char>(mac[i])))
            return false;
    return true;
}
}  // namespace

bool ParsePlan(const std::string& text, std::vector<PlanRow>& rows, std::vector<std::string>& errors)
{
    rows.clear();
    errors.clear();
    CsvTable table;
    std::string error;
    if (!ParseCsv(text, table, error)) {
        errors.push_back(error);
        return false;
    }
    if (table.records.empty()) {
        errors.push_back("the plan is empty: it needs a header line and one line per endpoint");
        return false;
    }
    std::vector<std::string> header;
    for (const auto& h : table.records[0])
        header.push_back(Lower(Trim(h)));
    int keyColumn = -1;
    bool byMac = false;
    std::set<std::string> seenColumns;
    for (std::size_t i = 0; i < header.size(); ++i) {
        const std::string& h = header[i];
        if (!seenColumns.insert(h).second) {
            errors.push_back("line " + std::to_string(table.lineOfRecord[0]) + ": column '" + h + "' appears twice");
            continue;
        }
        if (h == "mac" || h == "address") {
            if (keyColumn >= 0)
                errors.push_back("line " + std::to_string(table.lineOfRecord[0]) +
                                 ": use one key column, mac or address, not both");
            keyColumn = static_cast<int>(i);
            byMac = h == "mac";
        } else if (std::find_if(std::begin(kSettingColumns), std::end(kSettingColumns),
                                [&](const char* c) { return h == c; }) == std::end(kSettingColumns)) {
            errors.push_back("line " + std::to_string(table.lineOfRecord[0]) + ": unknown column '" + h +
                             "' (known: mac or address, hostname_id, channel, multicast, ip_mode, ipaddr, "
                             "netmask, gateway)");
        }
    }
    if (keyColumn < 0)
        errors.push_back("the header needs a mac or an address column");
    if (!errors.empty())
        return false;

    std::set<std::string> keys;
    for (std::size_t r = 1; r < table.records.size(); ++r) {
        const auto& record = table.records[r];
        const std::string where = "line " + std::to_string(table.lineOfRecord[r]) + ": ";
        // A short row is as suspect as a long one: a cell lost in an edit
        // would otherwise leave its setting alone without a word.
        if (record.size() != header.size()) {
            errors.push_back(where + std::to_string(record.size()) + " cells, the header has " +
                             std::to_string(header.size()) + " columns");
            continue;
        }
        PlanRow row;
        row.line = table.lineOfRecord[r];
        row.byMac = byMac;
        const auto cell = [&](const std::string& name) -> std::optional<std::string> {
            for (std::size_t i = 0; i < header.size(); ++i)
                if (header[i] == name) {
                    const std::string v = i < record.size() ? Trim(record[i]) : std::string();
                    if (v.empty())
                        return std::nullopt;
                    return v;
                }
            return std::nullopt;
        };
        const auto key = cell(byMac ? "mac" : "address");
        if (!key) {
            errors.push_back(where + "no " + std::string(byMac ? "mac" : "address"));
            continue;
        }
        if (byMac ? !ValidMac(*key) : lan::CanonicalIpv4(*key) != *key) {
            errors.push_back(where +
                             (byMac ? "mac '" + *key + "' must read like 02:00:c6:12:02:01"
                                    : "address '" + *key + "' is not a dotted IPv4 address"));
            continue;
        }
        row.key = *key;
        if (!keys.insert(byMac ? MacKey(*key) : *key).second) {
            errors.push_back(where + "endpoint " + *key + " has a row already");
            continue;
        }
        SetRequest& q = row.request;
        q.hostnameId = cell("hostname_id");
        q.channel = cell("channel");
        if (auto m = cell("multicast")) {
            const std::string v = Lower(*m);
            if (v == "y" || v == "n")
                q.multicast = v == "y";
            else
                errors.push_back(where + "multicast '" + *m + "': must be y or n");
        }
        if (auto mode = cell("ip_mode")) {
            q.ipMode = endpoint::ParseIpMode(Lower(*mode));
            if (!q.ipMode) {
                errors.push_back(where + "ip_mode '" + Lower(*mode) + "': must be autoip, dhcp or static");
                continue;
            }
        }
        q.ipaddr = cell("ipaddr").value_or("");
        q.netmask = cell("netmask").value_or("");
        q.gateway = cell("gateway").value_or("");
        if (auto problem = ValidateRequest(q)) {
            errors.push_back(where + *problem);
            continue;
        }
        rows.push_back(std::move(row));
    }
    return errors.empty();
}

std::string DescribeLines(const std::vector<nodes::WireLine>& lines)
{
    std::string out;
    for (const auto& line : lines) {
        const auto bytes = nodes::WireBytes(line);
        std::string shown;
        for (char c : bytes.value_or(std::string())) {
            if (c == '\r')
                shown += "\\r";
            else if (c == '\n')
                shown += "\\n";
            else if (c == '\0')
                shown += "\\0";
            else
                shown += c;
        }
        char count[32];
        std::snprintf(count, sizeof count, "%3zu bytes  ", bytes ? bytes->size() : 0);
        out += std::string("  ") + count + shown + "\n";
    }
    return out;
}

}  // namespace cv::cli
