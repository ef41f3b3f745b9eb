#pragma once
// What the settings and maintenance operations say to the operator, and the
// addresses a switch to Static suggests, each kept once.

namespace device_text {

inline constexpr const char* kApplySuccess = "Apply successfully";
inline constexpr const char* kRebootQuestion = "Warning: Reboot for new settings to take effect?";
inline constexpr const char* kApplyFail = "Apply fail, please scan again.";
inline constexpr const char* kSelectChannel = "Select a channel before applying.";
// A blank number of a static address would go out as 0.
inline constexpr const char* kIncompleteAddress =
    "Fill in all four numbers of the IP address, the subnet mask and the default gateway.";

inline constexpr const char* kFactoryDefaultQuestion = "Sure you want to reset to factory default?";

inline constexpr const char* kPutTxFirmware = "Please put webfwh.bin into TFTP server diretory.";
inline constexpr const char* kPutRxFirmware = "Please put webfwc.bin into TFTP server diretory.";
inline constexpr const char* kRunTftpServer = "Please run TFTP server.";

inline constexpr const char* kRebootSuccess = "Reboot success";
inline constexpr const char* kUpgradeSuccess = "Upgrade firmware success.";

// Every device operation acts on the selected row, and on nothing else.
inline constexpr const char* kSelectDevice = "Select a device in the TX or RX list first.";
// %1 is the endpoint's address. Apply's lines went out, but nothing came
// back before its result: a send the local socket accepts proves nothing.
// Asked before a static address that would lose the endpoint; No is the
// default. %1 is the address, %2 what is wrong with it.
inline constexpr const char* kAddressDoubt = "%1 %2\n\nApply this address anyway?";
inline constexpr const char* kAddressInUse = "Another endpoint already answers at this address: both would drop off.";
inline constexpr const char* kAddressUnreachable =
    "It is outside every subnet of this workstation's network cards: after the restart this workstation cannot "
    "reach it.";
inline constexpr const char* kApplyNoAnswer =
    "The endpoint %1 did not answer. The settings may not have reached it; please scan again.";

// Nothing can be sent without a session: said at once, instead of a wait
// that would end in a success nobody earned.
inline constexpr const char* kRebootFail = "Reboot fail, please scan again.";
inline constexpr const char* kFactoryDefaultFail = "Factory default fail, please scan again.";
inline constexpr const char* kUpgradeFail = "Upgrade fail, please scan again.";
// %1 is the endpoint's address.
inline constexpr const char* kNotBackAfterReboot =
    "The endpoint %1 did not come back after the reboot. Check its power and network, then scan again.";
// After Apply gave the endpoint a new static address, it is looked for there.
inline constexpr const char* kRebootSuccessAt = "Reboot success: the endpoint answers at its new address %1.";
// Auto IP, DHCP and factory defaults may give the endpoint another address:
// silence at the old one does not mean it is lost.
inline constexpr const char* kMayHaveMoved =
    "The endpoint did not answer at %1 after the restart. It may have restarted at a new address; a Scan will find it.";
// Something answers, but not the endpoint that was restarted: %1 the MAC
// there, %2 the address, %3 the MAC read before the restart.
inline constexpr const char* kAnotherEndpoint =
    "Another endpoint (MAC %1) answers at %2, not the one that was restarted (MAC %3). Two endpoints may have "
    "the same address: check them, then scan again.";
inline constexpr const char* kNotBackAfterUpgrade =
    "The endpoint %1 did not come back after the firmware upgrade. Check its power and network, then scan again.";

// Suggested when Static is chosen on a device that does not run static.
inline constexpr const char* kDefaultStaticAddress = "192.168.0.80";
inline constexpr const char* kDefaultStaticNetmask = "255.255.255.0";
inline constexpr const char* kDefaultStaticGateway = "192.168.0.1";

}  // namespace device_text
