#include "nodes/Firmware.h"

#include <initializer_list>

namespace cv::nodes {

namespace {

constexpr Literal kHostnameIdPrefix{"astparam s hostname_id "};
constexpr Literal kReconnectPrefix{"e e_reconnect::"};
constexpr Literal kIpAddressPrefix{"astparam s ipaddr "};
constexpr Literal kNetmaskPrefix{"astparam s netmask "};
constexpr Literal kGatewayIpPrefix{"astparam s gatewayip "};
constexpr Literal kTftpPrefix{"tftp -v "};
constexpr Literal kTftpGet{" -c get "};
constexpr Literal kRenameCommand{"mv "};
constexpr Literal kRenameTarget{" fw.tar.gz"};
constexpr Literal kStretchFitIn{"e e_vw_stretch_type_2\r\n"};
constexpr Literal kStretchOut{"e e_vw_stretch_type_1\r\n"};
constexpr Literal kRotate0{"e e_vw_rotate_0\r\n"};
constexpr Literal kRotate180{"e e_vw_rotate_3\r\n"};
constexpr Literal kRotate270{"e e_vw_rotate_6\r\n"};
constexpr Literal kOsdOnPrefix{"big_osd_on.sh \""};
constexpr Literal kOsdOnSuffix{"\"\r\n"};

std::u16string Join(std::initializer_list<std::u16string_view> parts)
{
    std::size_t n = 0;
    for (auto p : parts)
        n += p.size();
    std::u16string out;
    out.reserve(n);
    for (auto p : parts)
        out += p;
    return out;
}

std::u16string_view FirmwareFile(bool transmitter)
{
    return transmitter ? kTxFirmwareFile.text() : kRxFirmwareFile.text();
}

}  // namespace

std::u16string HostnameIdLine(std::u16string_view hostnameId)
{
    return Join({kHostnameIdPrefix.text(), hostnameId, kLineEnd.text()});
}

std::u16string MulticastLine(bool multicast)
{
    return std::u16string(multicast ? kMulticastOnLine.text() : kMulticastOffLine.text());
}

std::u16string ReconnectLine(std::u16string_view channel)
{
    return Join({kReconnectPrefix.text(), channel, kLineEnd.text()});
}

std::u16string IpModeLine(IpMode mode)
{
    switch (mode) {
    case IpMode::AutoIp: return std::u16string(kIpModeAutoipLine.text());
    case IpMode::Dhcp: return std::u16string(kIpModeDhcpLine.text());
    case IpMode::Static: break;
    }
    return std::u16string(kIpModeStaticLine.text());
}

std::u16string IpAddressLine(std::u16string_view address)
{
    return Join({kIpAddressPrefix.text(), address, kLineEnd.text()});
}

std::u16string NetmaskLine(std::u16string_view netmask)
{
    return Join({kNetmaskPrefix.text(), netmask, kLineEnd.text()});
}

std::u16string GatewayIpLine(std::u16string_view gateway)
{
    return Join({kGatewayIpPrefix.text(), gateway, kLineEnd.text()});
}

std::u16string TftpLine(std::u16string_view workstationAddress, bool transmitter)
{
    return Join({kTftpPrefix.text(), workstationAddress, kTftpGet.text(), FirmwareFile(transmitter), kLineEnd.text()});
}

std::u16string RenameFirmwareLine(bool transmitter)
{
    return Join({kRenameCommand.text(), FirmwareFile(transmitter), kRenameTarget.text(), kLineEnd.text()});
}

std::u16string StretchTypeLine(int comboIndex)
{
    return std::u16string(comboIndex == 0 ? kStretchFitIn.text() : kStretchOut.text());
}

std::u16string RotateLine(int comboIndex)
{
    switch (comboIndex) {
    case 0: return std::u16string(kRotate0.text());
    case 1: return std::u16string(kRotate180.text());
    default: return std::u16string(kRotate270.text());
    }
}

std::u16string OsdOnLine(std::u16string_view osdNumber)
{
    return Join({kOsdOnPrefix.text(), osdNumber, kOsdOnSuffix.text()});
}

bool IsValidHostnameId(std::u16string_view hostnameId)
{
    if (hostnameId.empty() || hostnameId.size() > kHostnameIdMaxLength)
        return false;
    for (char16_t c : hostnameId) {
        const bool ok = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'-' ||
            c == u'_' || c == u'.';
        if (!ok)
            return false;
    }
    return true;
}

}  // namespace cv::nodes
