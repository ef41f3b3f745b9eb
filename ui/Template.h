#pragma once
// The main window's layout: controls in template order (the order radio
// groups are walked), in dialog units, and the order Tab visits them in.
#include "net/Resource.h"
#include "platform/Dialog.h"

#include <array>

inline constexpr int kMainClientCx = 721;
inline constexpr int kMainClientCy = 386;

namespace main_template {
using platform::Kind;
using platform::WS_GROUP;
using platform::WS_TABSTOP;
inline constexpr unsigned G = WS_GROUP;
inline constexpr unsigned T = WS_TABSTOP;
inline constexpr unsigned GT = WS_GROUP | WS_TABSTOP;

inline constexpr std::array kControls = {
    platform::ControlTemplate{IDC_TX_GROUP, Kind::GroupBox, "TX", 21, 130, 152, 234, G},
    platform::ControlTemplate{IDC_RX_GROUP, Kind::GroupBox, "RX", 352, 130, 167, 235, G},
    platform::ControlTemplate{IDC_SCAN, Kind::PushButton, "Scan", 23, 33, 50, 14, GT},
    platform::ControlTemplate{IDC_HOSTNAME_LABEL, Kind::Static, "Hostname ID:", 155, 99, 47, 8, G},
    platform::ControlTemplate{IDC_LAN_STATUS, Kind::Static, "Lan Status: ", 300, 98, 94, 8, G},
    platform::ControlTemplate{IDC_CHANNEL_LABEL, Kind::Static, "Channel:", 209, 175, 30, 8, G},
    platform::ControlTemplate{IDC_CHANNEL, Kind::ComboBox, "", 266, 173, 47, 176, GT},
    platform::ControlTemplate{IDC_MULTICAST, Kind::RadioButton, "Multicast", 203, 151, 44, 10, GT},
    platform::ControlTemplate{IDC_UNICAST, Kind::RadioButton, "Unicast", 280, 151, 39, 10, 0},
    platform::ControlTemplate{IDC_CASTING_GROUP, Kind::GroupBox, "Casting Mode", 178, 130, 170, 71, G},
    platform::ControlTemplate{IDC_AUTO_IP, Kind::RadioButton, "Auto IP", 188, 249, 40, 10, GT},
    platform::ControlTemplate{IDC_DHCP, Kind::RadioButton, "DHCP", 247, 249, 34, 10, 0},
    platform::ControlTemplate{IDC_STATIC, Kind::RadioButton, "Static", 305, 248, 34, 10, 0},
    platform::ControlTemplate{IDC_IP_LABEL, Kind::Static, "IP Address:", 182, 280, 38, 8, G},
    platform::ControlTemplate{IDC_MASK_LABEL, Kind::Static, "Subnet Mask:", 182, 308, 44, 8, G},
    platform::ControlTemplate{IDC_GATEWAY_LABEL, Kind::Static, "Default Gateway:", 181, 338, 58, 8, G},
    platform::ControlTemplate{IDC_IP_MODE_GROUP, Kind::GroupBox, "IP Mode", 178, 225, 170, 139, G},
    platform::ControlTemplate{IDC_IP_ADDRESS, Kind::IpAddress, "", 243, 278, 100, 15, GT},
    platform::ControlTemplate{IDC_SUBNET_MASK, Kind::IpAddress, "", 243, 306, 100, 15, GT},
    platform::ControlTemplate{IDC_GATEWAY, Kind::IpAddress, "", 243, 336, 100, 15, GT},
    // Starts further left and runs to the frame: a full MAC address did not
    // fit the original 411, 102 and lost its last digits.
    platform::ControlTemplate{IDC_MAC, Kind::Static, "Mac Address: ", 398, 99, 117, 8, G},
    platform::ControlTemplate{IDC_APPLY, Kind::PushButton, "Apply", 469, 33, 50, 14, GT},
    platform::ControlTemplate{IDC_REBOOT, Kind::PushButton, "Reboot", 352, 33, 50, 14, GT},
    platform::ControlTemplate{IDC_PROGRESS, Kind::Progress, "", 23, 60, 496, 14, G},
    platform::ControlTemplate{IDC_DEVICE_INFO_GROUP, Kind::GroupBox, "Device Info", 22, 82, 497, 36, G},
    platform::ControlTemplate{IDC_FACTORY_DEFAULT, Kind::PushButton, "Factory Default", 228, 33, 72, 14, GT},
    platform::ControlTemplate{IDC_VIDEO_WALL_GROUP, Kind::GroupBox, "Video Wall", 531, 14, 178, 358, G},
    platform::ControlTemplate{IDC_VERTICAL_COUNT, Kind::ComboBox, "", 646, 115, 48, 30, GT},
    platform::ControlTemplate{IDC_HORIZONTAL_COUNT, Kind::ComboBox, "", 646, 136, 48, 30, GT},
    platform::ControlTemplate{IDC_VERTICAL_LABEL, Kind::Static, "Vertical Monitor Count:", 549, 117, 74, 8, G},
    platform::ControlTemplate{IDC_HORIZONTAL_LABEL, Kind::Static, "Horizontal Monitor Count:", 549, 138, 83, 8, G},
    platform::ControlTemplate{IDC_SHOW_OSD, Kind::CheckBox, "Show OSD", 550, 157, 49, 10, GT},
    platform::ControlTemplate{IDC_STRETCH_LABEL, Kind::Static, "Stretch Type:", 549, 331, 45, 8, G},
    platform::ControlTemplate{IDC_ROTATE_LABEL, Kind::Static, "Clockwise Rotate:", 549, 349, 58, 8, G},
    platform::ControlTemplate{IDC_STRETCH_TYPE, Kind::ComboBox, "", 635, 328, 58, 30, GT},
    platform::ControlTemplate{IDC_ROTATE, Kind::ComboBox, "", 635, 347, 58, 30, GT},
    platform::ControlTemplate{IDC_PREFERENCE_GROUP, Kind::GroupBox, "Preference", 538, 314, 166, 53, G},
    platform::ControlTemplate{IDC_WALL_LAYOUT_GROUP, Kind::GroupBox, "Wall Size and Position Layout", 538, 97, 165, 212,
                              G},
    platform::ControlTemplate{IDC_NETWORK_GROUP, Kind::GroupBox, "Network", 13, 14, 511, 358, G},
    platform::ControlTemplate{IDC_TX_LIST, Kind::ListView, "", 25, 141, 144, 216, GT},
    platform::ControlTemplate{IDC_RX_LIST, Kind::ListView, "", 356, 140, 159, 219, GT},
    // The wall grid, in template order: columns 0-3 of rows 0-3, then
    // column 4 of rows 0-3, then row 4. The cells take drops, not the focus.
    platform::ControlTemplate{1100, Kind::PushButton, "0_0", 549, 197, 25, 19, G},
    platform::ControlTemplate{1101, Kind::PushButton, "0_1", 579, 197, 25, 19, G},
    platform::ControlTemplate{1102, Kind::PushButton, "0_2", 609, 197, 25, 19, G},
    platform::ControlTemplate{1103, Kind::PushButton, "0_3", 639, 197, 25, 19, G},
    platform::ControlTemplate{1110, Kind::PushButton, "1_0", 549, 219, 25, 19, G},
    platform::ControlTemplate{1111, Kind::PushButton, "1_1", 579, 219, 25, 19, G},
    platform::ControlTemplate{1112, Kind::PushButton, "1_2", 609, 219, 25, 19, G},
    platform::ControlTemplate{1113, Kind::PushButton, "1_3", 639, 219, 25, 19, G},
    platform::ControlTemplate{1120, Kind::PushButton, "2_0", 549, 241, 25, 19, G},
    platform::ControlTemplate{1121, Kind::PushButton, "2_1", 579, 241, 25, 19, G},
    platform::ControlTemplate{1122, Kind::PushButton, "2_2", 609, 241, 25, 19, G},
    platform::ControlTemplate{1123, Kind::PushButton, "2_3", 639, 241, 25, 19, G},
    platform::ControlTemplate{1130, Kind::PushButton, "3_0", 549, 263, 25, 19, G},
    platform::ControlTemplate{1131, Kind::PushButton, "3_1", 579, 263, 25, 19, G},
    platform::ControlTemplate{1132, Kind::PushButton, "3_2", 609, 263, 25, 20, G},
    platform::ControlTemplate{1133, Kind::PushButton, "3_3", 639, 263, 25, 20, G},
    platform::ControlTemplate{1104, Kind::PushButton, "0_4", 669, 197, 25, 19, G},
    platform::ControlTemplate{1114, Kind::PushButton, "1_4", 669, 219, 25, 18, G},
    platform::ControlTemplate{1124, Kind::PushButton, "2_4", 669, 241, 25, 19, G},
    platform::ControlTemplate{1134, Kind::PushButton, "3_4", 669, 263, 25, 19, G},
    platform::ControlTemplate{1140, Kind::PushButton, "4_0", 549, 285, 25, 18, G},
    platform::ControlTemplate{1141, Kind::PushButton, "4_1", 579, 285, 25, 18, G},
    platform::ControlTemplate{1142, Kind::PushButton, "4_2", 609, 285, 25, 18, G},
    platform::ControlTemplate{1143, Kind::PushButton, "4_3", 639, 285, 25, 18, G},
    platform::ControlTemplate{1144, Kind::PushButton, "4_4", 669, 285, 25, 18, G},
    platform::ControlTemplate{IDC_HOSTNAME_ID, Kind::Edit, "", 205, 97, 58, 14, GT},
    platform::ControlTemplate{IDC_OW_LABEL, Kind::Static, "OW:", 549, 47, 16, 8, G},
    platform::ControlTemplate{IDC_VW_LABEL, Kind::Static, "VW:", 549, 70, 14, 8, G},
    platform::ControlTemplate{IDC_OH_LABEL, Kind::Static, "OH:", 636, 48, 14, 8, G},
    platform::ControlTemplate{IDC_VH_LABEL, Kind::Static, "VH:", 636, 71, 12, 8, G},
    platform::ControlTemplate{IDC_OW, Kind::Edit, "", 568, 45, 40, 14, GT},
    platform::ControlTemplate{IDC_OH, Kind::Edit, "", 653, 45, 40, 14, GT},
    platform::ControlTemplate{IDC_VW, Kind::Edit, "", 568, 67, 40, 14, GT},
    platform::ControlTemplate{IDC_VH, Kind::Edit, "", 653, 67, 40, 14, GT},
    platform::ControlTemplate{IDC_BEZEL_GROUP, Kind::GroupBox, "Bezel and Gap Compensation(Unit: 0.1mm)", 539, 26, 164,
                              64, G},
    platform::ControlTemplate{IDC_UPGRADE, Kind::PushButton, "Upgrade", 129, 33, 50, 14, GT},
    platform::ControlTemplate{IDC_VERSION, Kind::Static, "Version: ", 31, 99, 99, 8, G},
    platform::ControlTemplate{IDC_QUICK_WALL, Kind::PushButton, "5 x 5", 645, 174, 50, 14, GT},
    platform::ControlTemplate{IDC_QUICK_WALL_LABEL, Kind::Static, "Quick Video Wall:", 549, 178, 56, 8, G},
    platform::ControlTemplate{IDC_LOGO, Kind::Picture, "", 225, 202, 89, 22, G},
};

// Reading order: the Network panel row by row, its three columns left to
// right (TX, then casting and IP mode, then RX), then the Video Wall panel.
// A radio group is one stop, named by its first radio.
inline constexpr std::array<int, 24> kTabOrder = {
    IDC_SCAN,
    IDC_UPGRADE,
    IDC_FACTORY_DEFAULT,
    IDC_REBOOT,
    IDC_APPLY,
    IDC_HOSTNAME_ID,
    IDC_TX_LIST,
    IDC_MULTICAST,
    IDC_CHANNEL,
    IDC_AUTO_IP,
    IDC_IP_ADDRESS,
    IDC_SUBNET_MASK,
    IDC_GATEWAY,
    IDC_RX_LIST,
    IDC_OW,
    IDC_OH,
    IDC_VW,
    IDC_VH,
    IDC_VERTICAL_COUNT,
    IDC_HORIZONTAL_COUNT,
    IDC_SHOW_OSD,
    IDC_QUICK_WALL,
    IDC_STRETCH_TYPE,
    IDC_ROTATE,
};
}  // namespace main_template
