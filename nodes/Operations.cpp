#include "nodes/Operations.h"

namespace cv::nodes {

namespace {
constexpr unsigned kLinePauseMs = 1;

WireLine Line(std::u16string text, bool withZero, bool tested, unsigned pause = kLinePauseMs)
{
    return WireLine{std::move(text), withZero, tested, pause};
}

template <std::size_t N>
std::u16string T(const Literal<N>& literal)
{
    return std::u16string(literal.text());
}
}  // namespace

WireLine ShortLine(std::u16string text) { return Line(std::move(text), false, true, 0); }

WireLine OsdLine(bool on, std::u16string_view number) { return ShortLine(on ? OsdOnLine(number) : T(kOsdOff)); }

std::vector<WireLine> HostnameGroupLines(std::u16string_view hostnameId)
{
    return {Line(HostnameIdLine(hostnameId), false, true), Line(T(kChangeHostnameEvent), false, true),
            Line(T(kSave), false, true)};
}

std::vector<WireLine> CastingGroupLines(bool multicast)
{
    // The multicast line goes with its zero, the save after it without, and
    // that save's result was never looked at.
    return {Line(MulticastLine(multicast), true, true), Line(T(kSave), false, false, 0)};
}

std::vector<WireLine> ChannelGroupLines(std::u16string_view channel)
{
    return {Line(T(kResetChannelOnBootOff), true, true), Line(T(kSave), true, true),
            Line(ReconnectLine(channel), true, true)};
}

std::vector<WireLine> IpGroupLines(IpMode mode, std::u16string_view address, std::u16string_view netmask,
                                   std::u16string_view gateway)
{
    if (mode != IpMode::Static)
        return {Line(IpModeLine(mode), false, true), Line(T(kSave), false, false, 0)};
    return {Line(IpAddressLine(address), false, true), Line(NetmaskLine(netmask), false, true),
            Line(GatewayIpLine(gateway), false, true), Line(IpModeLine(IpMode::Static), false, true),
            Line(T(kSave), false, true)};
}

std::vector<WireLine> RebootLines() { return {Line(T(kReboot), true, false, 0)}; }

std::vector<WireLine> FactoryDefaultLines()
{
    return {Line(T(kResetToDefault), true, false, 0), Line(T(kReboot), true, false, 0)};
}

std::vector<WireLine> UpgradeLines(std::u16string_view workstationAddress, bool transmitter)
{
    return {Line(T(kUpgradeCd), false, false, 0),
            Line(TftpLine(workstationAddress, transmitter), false, false, 0),
            Line(T(kUpgradeRemoveBlocks), false, false, 0),
            Line(T(kUpgradeRemoveScripts), false, false, 0),
            Line(RenameFirmwareLine(transmitter), false, false, 0),
            Line(T(kUpgradeRun), false, false, 0)};
}

std::optional<std::string> WireBytes(const WireLine& line, std::size_t bufferSize)
{
    if (line.text.size() + 1 > bufferSize)
        return std::nullopt;
    std::string out;
    out.reserve(line.text.size() + 1);
    for (char16_t c : line.text) {
        if (c == 0 || c > 0x7F)
            return std::nullopt;
        out.push_back(static_cast<char>(c));
    }
    if (line.withZero)
        out.push_back('\0');
    return out;
}

bool IsValidChannel(std::u16string_view channel)
{
    return channel.size() == 4 && channel[0] == u'0' && channel[1] == u'0' && channel[2] >= u'0' &&
        channel[2] <= u'9' && channel[3] >= u'0' && channel[3] <= u'9';
}

}  // namespace cv::nodes
