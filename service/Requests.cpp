#include "service/Requests.h"

namespace cv::service {

namespace {
// A tx field: a mac or address, or null for "show nothing".
bool ReadTx(const Json& value, std::optional<std::string>& tx)
{
    if (value.is_null()) {
        tx.reset();
        return true;
    }
    if (!value.is_string() || value.get_ref<const std::string&>().empty())
        return false;
    tx = value.get<std::string>();
    return true;
}

Result<void> OnlyKeys(const Json& body, std::initializer_list<const char*> keys, const std::string& at,
                      const char* what)
{
    for (const auto& [key, value] : body.items()) {
        bool known = false;
        for (const char* k : keys)
            known = known || key == k;
        if (!known)
            return Failure(at + key + ": not " + what);
    }
    return {};
}
}  // namespace

Result<Json> ParseBody(std::string_view text)
{
    Json body = Json::parse(text, nullptr, false);
    if (body.is_discarded())
        return Failure("body: not JSON");
    return body;
}

Result<RouteRequest> RouteBody(const std::string& rx, const Json& body)
{
    if (!body.is_object() || !body.contains("tx"))
        return Failure("tx: {\"tx\": mac, address or null}");
    if (auto only = OnlyKeys(body, {"tx"}, "", "a route field (tx)"); !only)
        return Failure(only.error());
    RouteRequest request{rx, std::nullopt};
    if (!ReadTx(body["tx"], request.tx))
        return Failure("tx: a mac, an address or null");
    return request;
}

Result<std::vector<RouteRequest>> BulkRouteBody(const Json& body)
{
    if (!body.is_array())
        return Failure("body: an array of {\"rx\", \"tx\"}");
    std::vector<RouteRequest> requests;
    for (std::size_t i = 0; i < body.size(); ++i) {
        const std::string at = "[" + std::to_string(i) + "]";
        const Json& item = body[i];
        if (!item.is_object() || !item.contains("rx") || !item["rx"].is_string() || !item.contains("tx"))
            return Failure(at + ": an object with rx and tx");
        if (auto only = OnlyKeys(item, {"rx", "tx"}, at + ".", "a route field (rx, tx)"); !only)
            return Failure(only.error());
        RouteRequest request{item["rx"].get<std::string>(), std::nullopt};
        if (!ReadTx(item["tx"], request.tx))
            return Failure(at + ".tx: a mac, an address or null");
        requests.push_back(std::move(request));
    }
    return requests;
}

Result<IdentifyRequest> IdentifyBody(const Json& body)
{
    if (!body.is_object() || !body.contains("on") || !body["on"].is_boolean())
        return Failure("on: true or false");
    if (auto only = OnlyKeys(body, {"on", "rx"}, "", "an identify field (on, rx)"); !only)
        return Failure(only.error());
    IdentifyRequest request{body["on"].get<bool>(), {}};
    if (body.contains("rx")) {
        if (!body["rx"].is_array())
            return Failure("rx: an array of macs or addresses");
        for (const auto& item : body["rx"]) {
            if (!item.is_string())
                return Failure("rx: an array of macs or addresses");
            request.rx.push_back(item.get<std::string>());
        }
    }
    return request;
}

}  // namespace cv::service
