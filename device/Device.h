#pragma once
// Settings, restart and firmware upgrade of the selected endpoint.
#include "net/MainWindow.h"

#include <QString>

// A click on Auto IP, DHCP or Static: fills and enables the address fields.
void IpModeClicked(IMainWindow& window);
// Sends the settings groups that changed, then reports or asks to reboot.
void Apply(IMainWindow& window);
void Reboot(IMainWindow& window);
void FactoryDefault(IMainWindow& window);
void Upgrade(IMainWindow& window);
// After every arrival: turns the endpoint's TFTP failures into advice.
void UpgradeFailureCheck(IMainWindow& window);

// The workstation address the endpoint fetches firmware from: the last IPv4
// address of the host name, each one found printed on standard output.
QString WorkstationAddressForUpgrade();
