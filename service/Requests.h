#pragma once
// The API's request bodies, read into plain values. Each error names the
// field, so a control system's author sees what to fix; nothing is sent
// for a body that does not read whole.
#include "service/Model.h"
#include "service/StateFiles.h"

#include <optional>

#include <string>
#include <string_view>
#include <vector>

namespace cv::service {

struct RouteRequest {
    std::string rx;  // mac or address
    std::optional<std::string> tx;  // mac or address; none: show nothing
};

struct IdentifyRequest {
    bool on = false;
    std::vector<std::string> rx;
};

Result<Json> ParseBody(std::string_view text);
// PUT /routes/{rx}: {"tx": mac | address | null}
Result<RouteRequest> RouteBody(const std::string& rx, const Json& body);
// POST /routes: [{"rx", "tx"}]
Result<std::vector<RouteRequest>> BulkRouteBody(const Json& body);
// POST /identify: {"on": bool, "rx": [..] optional}
Result<IdentifyRequest> IdentifyBody(const Json& body);

}  // namespace cv::service
