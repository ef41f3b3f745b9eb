#include "cli/Records.h"

#include <charconv>

namespace cv::cli {

std::string Dump(const Record& value, int indent)
{
    return value.dump(indent, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

const Columns kScanColumns = {"address", "kind", "multicast", "channel", "hostname_id", "number"};
const Columns kDetailColumns = {"address",   "kind",    "number",  "hostname_id", "version", "mac",  "state",
                                "multicast", "channel", "ip_mode", "netmask",     "gateway", "error"};
const Columns kSetColumns = {"key", "address", "field", "requested", "read_back", "status", "new_address", "error"};
const Columns kDryRunColumns = {"key", "by", "plan_line", "address", "lines"};
const Columns kRestartColumns = {"address", "status", "seconds", "new_address", "error"};
const Columns kUpgradeColumns = {"address",        "kind",          "file",   "server",
                                 "version_before", "version_after", "status", "error"};
const Columns kWallColumns = {"address", "number", "row", "column", "x0", "y0", "x1", "y1", "status", "error"};
const Columns kOsdColumns = {"address", "number", "osd", "status", "error"};

Record NumberOrNull(const std::string& text)
{
    long long v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size())
        return nullptr;
    return v;
}

std::vector<Record> ScanRecords(const nodes::NodeList& list)
{
    std::vector<Record> rows;
    for (const auto& t : list.transmitters)
        rows.push_back({{"address", Narrow(t.address)},
                        {"kind", "tx"},
                        {"multicast", Narrow(t.multicast)},
                        {"channel", Narrow(t.channel)}});
    for (const auto& x : list.receivers)
        rows.push_back({{"address", Narrow(x.address)},
                        {"kind", "rx"},
                        {"multicast", Narrow(x.multicast)},
                        {"channel", Narrow(x.channel)},
                        {"hostname_id", Narrow(x.hostnameId)},
                        {"number", NumberOrNull(Narrow(x.number))}});
    return rows;
}

Record DetailRecord(const std::string& address, const Details& d)
{
    return {{"address", address},
            {"kind", endpoint::ToString(d.kind)},
            {"hostname_id", Narrow(d.values.hostnameId)},
            {"version", Narrow(d.values.version)},
            {"mac", Narrow(d.values.macAddress)},
            {"state", Narrow(d.values.lanStatus)},
            {"multicast", Narrow(d.values.multicast)},
            {"channel", Narrow(d.values.channel)},
            {"ip_mode", Narrow(d.values.ipMode)},
            {"netmask", Narrow(d.values.netmask)},
            {"gateway", Narrow(d.values.gateway)}};
}

std::vector<Record> SetRecords(const SetResult& result, const std::string& key)
{
    const auto start = [&] {
        Record r = Record::object();
        r["key"] = key;
        r["address"] = result.address;
        if (!result.newAddress.empty())
            r["new_address"] = result.newAddress;
        return r;
    };
    std::vector<Record> rows;
    for (const auto& f : result.fields) {
        Record r = start();
        r["field"] = f.field;
        r["requested"] = f.requested;
        r["read_back"] = f.readBack;
        if (result.notStarted) {
            r["status"] = "not started";
            r["error"] = kInterruptedText;
        } else if (result.error && f.status != FieldStatus::Confirmed) {
            r["status"] = endpoint::ToString(FieldStatus::Failed);
            r["error"] = result.error->text();
        } else {
            r["status"] = endpoint::ToString(f.status);
            if (f.status == FieldStatus::Mismatch)
                r["error"] = f.field + " reads '" + f.readBack + "', not '" + f.requested + "'";
            if (f.status == FieldStatus::Unreadable)
                r["error"] = "read-back: the reply holds no " + f.field;
        }
        rows.push_back(std::move(r));
    }
    if (rows.empty() && result.error) {
        Record r = start();
        r["status"] = "failed";
        r["error"] = result.error->text();
        rows.push_back(std::move(r));
    }
    return rows;
}

Record NotStarted(const Columns& columns, Record known, const std::string& why)
{
    Record r = Record::object();
    for (const std::string& c : columns)
        if (known.contains(c))
            r[c] = known[c];
    r["status"] = "not started";
    r["error"] = why;
    return r;
}

}  // namespace cv::cli
