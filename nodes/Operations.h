#pragma once
// The lines each device operation sends, in order, with the facts the wire
// depends on: which lines carry their terminating zero byte, which send
// results count, the pause after each. The window and the command line
// both send from these lists. Standard library only.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "nodes/Firmware.h"

namespace cv::nodes {

struct WireLine {
    std::u16string text;
    bool withZero = false;  // the terminating zero byte goes out as well
    bool tested = true;  // a failed send of it stops the operation
    unsigned pauseAfterMs = 0;  // the window's pause after sending it
    bool operator==(const WireLine&) const = default;
};

// Zero-filled conversion buffers: most lines, and the short wall/OSD lines.
inline constexpr std::size_t kLineBuffer = 50;
inline constexpr std::size_t kShortLineBuffer = 30;

// The short lines (stretch type, rotation, on-screen number on and off):
// without their zero, a failed send stops, no pause. They go out of
// kShortLineBuffer, which endpoint::ShortBufferedLine adds.
WireLine ShortLine(std::u16string text);
// The receiver's number on its screen (OsdOnLine), or taken away (kOsdOff).
WireLine OsdLine(bool on, std::u16string_view number);

// Apply's four groups, each in the order the window sends them. Values must
// be checked first (IsValidHostnameId, IsValidChannel, dotted addresses).
std::vector<WireLine> HostnameGroupLines(std::u16string_view hostnameId);
std::vector<WireLine> CastingGroupLines(bool multicast);
std::vector<WireLine> ChannelGroupLines(std::u16string_view channel);
// After the channel group the window waits this long before going on.
inline constexpr unsigned kChannelSettleMs = 1000;
std::vector<WireLine> IpGroupLines(IpMode mode, std::u16string_view address = {}, std::u16string_view netmask = {},
                                   std::u16string_view gateway = {});
// Apply waits this long before its result.
inline constexpr unsigned kApplyResultPauseMs = 500;

std::vector<WireLine> RebootLines();
// The reset script and the reboot, in immediate succession.
std::vector<WireLine> FactoryDefaultLines();
std::vector<WireLine> UpgradeLines(std::u16string_view workstationAddress, bool transmitter);

// The bytes one send carries: the line as 8-bit text, plus its zero when
// asked. nullopt when the line is not ASCII or does not fit the buffer with
// its terminating zero, so it would go out cut.
std::optional<std::string> WireBytes(const WireLine& line, std::size_t bufferSize = kLineBuffer);

// A channel as the window's list offers it: "0000" to "0099".
bool IsValidChannel(std::u16string_view channel);

}  // namespace cv::nodes
