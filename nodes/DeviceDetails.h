#pragma once
// The selected device's settings, read from the replies to the detail query
// (channel query, version, parameter dump).

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "nodes/Transcript.h"

namespace cv::nodes {

struct DeviceDetails {
    // Raw values: the window puts its own labels in front of the Lan Status,
    // MAC address and version texts ("Lan Status: ", "MAC Address: ",
    // "Version: "). A key missing from the transcript gives an empty value.
    std::u16string hostnameId;
    std::u16string lanStatus;
    std::u16string macAddress;
    std::u16string netmask;
    std::u16string gateway;
    std::u16string ipMode;  // "IP_MODE=" value as received
    std::u16string multicast;  // "MULTICAST_ON=" value as received
    // Text between the last echo of the channel query and the prompt, without
    // surrounding white space. Empty means: select no channel (an empty
    // prefix would otherwise match the first item of the list).
    std::u16string channel;
    std::u16string version;

    // 0 Auto IP, 1 DHCP, 2 Static; nullopt leaves the radio group as it is.
    std::optional<int> ipModeChoice;
    // Enabled state of the IP address, subnet mask and default gateway
    // controls: off for Auto IP and DHCP, on for Static (so a static device
    // selected after a DHCP one can be edited), nullopt leaves them as they are.
    std::optional<bool> addressControlsEnabled;
    // 0 Multicast ("y"), 1 Unicast ("n"); nullopt leaves the radios as they are.
    std::optional<int> castingChoice;

    bool operator==(const DeviceDetails&) const = default;
};

// nullopt until the parameter dump is complete ("IS_HOST" followed somewhere
// by the prompt's "/"). Whether the window is in device-detail mode is the
// caller's test.
std::optional<DeviceDetails> ParseDeviceDetails(const Transcript& transcript);

// The channel in a reply to the channel query: the line right before the
// prompt, "0000" to "0099". A console's noise or a flood before it is no
// part of it; a last line that is no channel is none (empty). Every reader
// of a channel (the window, the command line, the service) takes it so.
std::u16string ChannelOfReply(std::u16string_view reply);

// Same result as ParseDeviceDetails, built again only when one of the
// positions it depends on has moved. Each call costs the text appended since
// the previous one (plus the values, when they are built).
class DeviceDetailsParser {
public:
    // nullptr until the dump is complete; a pointer equal to the previous
    // call's means nothing changed.
    std::shared_ptr<const DeviceDetails> parse(const Transcript& transcript);

private:
    static constexpr std::size_t kPositions = 18;
    using Positions = std::array<std::size_t, kPositions>;
    std::uint64_t generation_ = 0;
    Positions positions_{};
    std::shared_ptr<const DeviceDetails> result_;
};

}  // namespace cv::nodes
