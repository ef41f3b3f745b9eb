#pragma once
// Everything the tool says to the endpoint firmware and every key it looks
// for in the replies, each literal written once.

#include <cstddef>
#include <string>
#include <string_view>

namespace cv::nodes {

// An ASCII literal usable both as bytes on the wire and as UTF-16 text to
// search for in the transcript, so that the two can never drift apart.
template <std::size_t N>
struct Literal {
    char narrow[N]{};
    char16_t wide[N]{};

    consteval Literal(const char (&s)[N])
    {
        for (std::size_t i = 0; i < N; ++i) {
            if (static_cast<unsigned char>(s[i]) > 0x7F)
                throw "firmware literals are ASCII";  // compile-time error
            narrow[i] = s[i];
            wide[i] = static_cast<char16_t>(s[i]);
        }
    }
    constexpr std::string_view bytes() const { return {narrow, N - 1}; }
    constexpr std::u16string_view text() const { return {wide, N - 1}; }
    constexpr std::size_t size() const { return N - 1; }
};

// Every endpoint's shell listens on this TCP port.
inline constexpr unsigned short kShellPort = 24;

// Session lines.
inline constexpr Literal kLogin{"root\r\n"};
inline constexpr Literal kNodeQueryDump{"node_query --dump\r\n"};

// Detail query lines, in sending order after the login.
inline constexpr Literal kChannelQuery{"lmparam g CH_SELECT_V\r\n"};
inline constexpr Literal kVersionQuery{"cat /etc/version\r\n"};
inline constexpr Literal kParamDump{"lmparam dump\r\n"};

// Common to both parses.
inline constexpr Literal kLineEnd{"\r\n"};
inline constexpr Literal kPromptStart{"/"};
inline constexpr Literal kMulticastKey{"MULTICAST_ON="};

// Node list dump.
inline constexpr Literal kDumpEndMarker{"<<<<<<<<<<\r\n/"};
inline constexpr Literal kNodeQuery{"node_query"};
inline constexpr Literal kRecordSeparator{"MY_MAC"};
inline constexpr Literal kTransmitterWord{"gateway"};
inline constexpr Literal kReceiverWord{"client"};
inline constexpr Literal kAddressKey{"MY_IP="};
inline constexpr Literal kTxChannelKey{"CH_SELECT="};
inline constexpr Literal kRxChannelKey{"CH_SELECT_V="};

// Parameter dump of one device.
inline constexpr Literal kIsHostKey{"IS_HOST"};
inline constexpr Literal kHostnameIdKey{"HOSTNAME_ID="};
inline constexpr Literal kStateKey{"STATE="};
inline constexpr Literal kMacKey{"MY_MAC="};
inline constexpr Literal kNetmaskKey{"MY_NETMASK="};
inline constexpr Literal kGatewayKey{"MY_GATEWAYIP="};
inline constexpr Literal kIpModeKey{"IP_MODE="};
inline constexpr Literal kVersionKey{"initrd2m"};
// "initrd2m" and the two characters after it come before the version text.
inline constexpr std::size_t kVersionSkip = kVersionKey.size() + 2;
inline constexpr Literal kIpModeAutoip{"autoip"};
inline constexpr Literal kIpModeDhcp{"dhcp"};
inline constexpr Literal kIpModeStatic{"static"};
inline constexpr Literal kMulticastYes{"y"};
inline constexpr Literal kMulticastNo{"n"};

// What the endpoint's tftp client prints when a fetch fails.
inline constexpr Literal kFileNotFound{"File not found"};
inline constexpr Literal kTransferTimedOut{"Transfer timed out"};

// Settings lines of Apply.
inline constexpr Literal kSave{"astparam save\r\n"};
inline constexpr Literal kChangeHostnameEvent{"e e_chg_hostname\r\n"};
inline constexpr Literal kMulticastOnLine{"astparam s multicast_on y\r\n"};
inline constexpr Literal kMulticastOffLine{"astparam s multicast_on n\r\n"};
inline constexpr Literal kResetChannelOnBootOff{"astparam s reset_ch_on_boot n\r\n"};
inline constexpr Literal kIpModeAutoipLine{"astparam s ip_mode autoip\r\n"};
inline constexpr Literal kIpModeDhcpLine{"astparam s ip_mode dhcp\r\n"};
inline constexpr Literal kIpModeStaticLine{"astparam s ip_mode static\r\n"};

// Restart lines.
inline constexpr Literal kReboot{"reboot\r\n"};
inline constexpr Literal kResetToDefault{"reset_to_default.sh\r\n"};

// Firmware upgrade.
inline constexpr Literal kUpgradeCd{"cd /dev/shm\r\n"};
inline constexpr Literal kUpgradeRemoveBlocks{"rm -f mtdblk*\r\n"};
inline constexpr Literal kUpgradeRemoveScripts{"rm -f *.sh\r\n"};
inline constexpr Literal kUpgradeRun{"/usr/local/bin/update_fw.sh\r\n"};
inline constexpr Literal kTxFirmwareFile{"webfwh.bin"};
inline constexpr Literal kRxFirmwareFile{"webfwc.bin"};

// On-screen number.
inline constexpr Literal kOsdOff{"osd_off.sh 0\r\n"};

// --- Lines built from values -------------------------------------------

// Every value passed in must already be checked: the builders do not escape.
std::u16string HostnameIdLine(std::u16string_view hostnameId);
std::u16string MulticastLine(bool multicast);  // "y" for multicast, "n" for unicast
std::u16string ReconnectLine(std::u16string_view channel);

enum class IpMode { AutoIp = 0, Dhcp = 1, Static = 2 };
std::u16string IpModeLine(IpMode mode);
std::u16string IpAddressLine(std::u16string_view address);
std::u16string NetmaskLine(std::u16string_view netmask);
std::u16string GatewayIpLine(std::u16string_view gateway);

// workstationAddress may be empty when the workstation has no IPv4 address.
std::u16string TftpLine(std::u16string_view workstationAddress, bool transmitter);
std::u16string RenameFirmwareLine(bool transmitter);

// Indices are the combo positions; any index past the known ones takes the
// last line, as the combos can hold no other value.
std::u16string StretchTypeLine(int comboIndex);
std::u16string RotateLine(int comboIndex);

std::u16string OsdOnLine(std::u16string_view osdNumber);

// --- Operator text --------------------------------------------------------

// A hostname ID goes into a shell line: only characters that can neither end
// the line nor start another command, and short enough for the line buffer.
inline constexpr std::size_t kHostnameIdMaxLength = 24;
bool IsValidHostnameId(std::u16string_view hostnameId);
inline constexpr std::u16string_view kHostnameIdRuleMessage =
    u"Hostname ID must be 1 to 24 characters: letters, digits, '-', '_' or '.'.";

}  // namespace cv::nodes
