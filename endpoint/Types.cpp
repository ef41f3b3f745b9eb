#include "endpoint/Types.h"

namespace cv::endpoint {

const char* ToString(Kind kind)
{
    switch (kind) {
    case Kind::Tx: return "tx";
    case Kind::Rx: return "rx";
    case Kind::Unknown: break;
    }
    return "";
}

const char* ToString(FieldStatus status)
{
    switch (status) {
    case FieldStatus::NotSent: return "not sent";
    case FieldStatus::Sent: return "sent";
    case FieldStatus::Pending: return "pending";
    case FieldStatus::Confirmed: return "confirmed";
    case FieldStatus::Mismatch: return "mismatch";
    case FieldStatus::Unreadable: return "unreadable";
    case FieldStatus::Failed: return "failed";
    }
    return "";
}

const char* ToString(IpMode mode)
{
    switch (mode) {
    case IpMode::AutoIp: return "autoip";
    case IpMode::Dhcp: return "dhcp";
    case IpMode::Static: return "static";
    }
    return "";
}

std::optional<IpMode> ParseIpMode(std::string_view text)
{
    for (IpMode m : {IpMode::AutoIp, IpMode::Dhcp, IpMode::Static})
        if (text == ToString(m))
            return m;
    return std::nullopt;
}

}  // namespace cv::endpoint
