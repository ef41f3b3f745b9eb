#pragma once
// Control IDs of the main window, as its template numbers them.
#include "nodes/Firmware.h"

enum ControlId : int {
    IDC_TX_GROUP = 1003,
    IDC_SCAN = 1004,
    IDC_RX_GROUP = 1005,
    IDC_HOSTNAME_LABEL = 1007,
    IDC_LAN_STATUS = 1008,
    IDC_CHANNEL_LABEL = 1009,
    IDC_CHANNEL = 1011,
    IDC_MULTICAST = 1012,
    IDC_UNICAST = 1013,
    IDC_AUTO_IP = 1014,
    IDC_DHCP = 1015,
    IDC_STATIC = 1016,
    IDC_IP_LABEL = 1017,
    IDC_MASK_LABEL = 1018,
    IDC_GATEWAY_LABEL = 1019,
    IDC_IP_ADDRESS = 1020,
    IDC_SUBNET_MASK = 1021,
    IDC_GATEWAY = 1022,
    IDC_MAC = 1030,
    IDC_APPLY = 1031,
    IDC_REBOOT = 1032,
    IDC_PROGRESS = 1033,
    IDC_FACTORY_DEFAULT = 1034,
    IDC_VIDEO_WALL_GROUP = 1036,
    IDC_VERTICAL_COUNT = 1037,
    IDC_HORIZONTAL_COUNT = 1039,
    IDC_SHOW_OSD = 1043,
    IDC_STRETCH_TYPE = 1045,
    IDC_TX_LIST = 1047,
    IDC_ROTATE = 1048,
    IDC_RX_LIST = 1049,
    IDC_HOSTNAME_ID = 1058,
    IDC_OW = 1059,
    IDC_OH = 1060,
    IDC_VW = 1061,
    IDC_VH = 1062,
    IDC_NETWORK_GROUP = 1063,
    IDC_DEVICE_INFO_GROUP = 1064,
    IDC_CASTING_GROUP = 1065,
    IDC_IP_MODE_GROUP = 1066,
    IDC_BEZEL_GROUP = 1067,
    IDC_WALL_LAYOUT_GROUP = 1068,
    IDC_OW_LABEL = 1069,
    IDC_VW_LABEL = 1070,
    IDC_OH_LABEL = 1071,
    IDC_VH_LABEL = 1072,
    IDC_VERTICAL_LABEL = 1073,
    IDC_HORIZONTAL_LABEL = 1074,
    IDC_PREFERENCE_GROUP = 1076,
    IDC_STRETCH_LABEL = 1077,
    IDC_ROTATE_LABEL = 1078,
    IDC_UPGRADE = 1082,
    IDC_VERSION = 1086,
    IDC_QUICK_WALL = 1087,
    IDC_QUICK_WALL_LABEL = 1088,
    IDC_LOGO = 1089,
    IDC_GRID_FIRST = 1100,  // row r, column c: 1100 + 10 * r + c
    IDC_GRID_LAST = 1144,
};

inline constexpr int GridButtonId(int row, int column) { return IDC_GRID_FIRST + 10 * row + column; }
inline constexpr bool IsGridButtonId(int id)
{
    return id >= IDC_GRID_FIRST && id <= IDC_GRID_LAST && (id - IDC_GRID_FIRST) % 10 <= 4;
}

// Timers of the main window, one per wait.
enum TimerId : int {
    TIMER_SCAN = 1,
    TIMER_SELECT = 2,
    TIMER_REBOOT = 3,
    TIMER_UPGRADE = 4,
};

inline constexpr int kSessionSlots = 10;
using cv::nodes::kShellPort;
