#pragma once
// Settings, restart and firmware upgrade of the selected endpoint.
#include "net/MainWindow.h"
#include "nodes/Operations.h"

#include <QString>
#include <vector>

// A click on Auto IP, DHCP or Static: fills and enables the address fields.
void IpModeClicked(IMainWindow& window);
// Sends the settings groups that changed, then reports or asks to reboot.
void Apply(IMainWindow& window);
// Reboot, Factory Default and Upgrade act on the selected device; with none
// selected they send nothing and say so.
void Reboot(IMainWindow& window);
void FactoryDefault(IMainWindow& window);
void Upgrade(IMainWindow& window);
// The reboot of a device whose session is `scan`; the end of its wait looks
// for it as `comeback` says (at `newAddress` for a new static address).
void RebootOn(IMainWindow& window, CMyAsyncSocket& scan, RebootComeback comeback, const QString& newAddress);
void SayNothingSelected(IMainWindow& window);
// After every arrival: turns the endpoint's TFTP failures into advice.
void UpgradeFailureCheck(IMainWindow& window);

// The workstation address the endpoint fetches firmware from: the address
// the scan session faces the endpoint with, else the host name's last
// non-loopback IPv4 address, else a card's; each one settled on is printed
// on standard output.
QString WorkstationAddressForUpgrade(const CMyAsyncSocket& scan);

// Sends one of an operation's lines as it is listed (buffer, zero byte);
// false when the socket refuses it.
bool SendWireLine(CMyAsyncSocket& socket, const cv::nodes::WireLine& line);
// The lines in order; false at the first one the socket refuses.
bool SendAll(CMyAsyncSocket& socket, const std::vector<cv::nodes::WireLine>& lines);

// The endpoint a socket's session is connected to; empty when there is no
// session or the endpoint has closed its end.
QString ConnectedEndpoint(const CMyAsyncSocket& socket);
// The MAC the device info panel shows, empty when none is.
QString ShownMac(const DialogMembers& m);

// The ends of the reboot and upgrade waits: success only once the endpoint
// accepts a connection again (tried for up to 3 s, the window stays live).
void RebootWaitEnded(IMainWindow& window);
void UpgradeWaitEnded(IMainWindow& window);
