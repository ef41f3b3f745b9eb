#include "cli/Records.h"

namespace cv::cli {

std::string Dump(const Record& value, int indent)
{
    return value.dump(indent, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

const std::vector<std::string> kDetailColumns = {"address", "kind",    "number",    "hostname_id", "version",
                                                 "mac",     "state",   "multicast", "channel",     "ip_mode",
                                                 "netmask", "gateway", "error"};

const std::vector<std::string> kSetColumns = {"address", "field", "requested", "read_back", "status", "error"};

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
                        {"number", Narrow(x.number)}});
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
        if (!key.empty())
            r["key"] = key;
        r["address"] = result.address;
        return r;
    };
    std::vector<Record> rows;
    for (const auto& f : result.fields) {
        Record r = start();
        r["field"] = f.field;
        r["requested"] = f.requested;
        r["read_back"] = f.readBack;
        r["status"] =
            endpoint::ToString(result.error && f.status != FieldStatus::Confirmed ? FieldStatus::Failed : f.status);
        if (!result.newAddress.empty())
            r["new_address"] = result.newAddress;
        if (result.error)
            r["error"] = result.error->text();
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

}  // namespace cv::cli
