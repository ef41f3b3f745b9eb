#include "device/Device.h"

void IpModeClicked(IMainWindow&) {}
void Apply(IMainWindow&) {}
void Reboot(IMainWindow&) {}
void FactoryDefault(IMainWindow&) {}
void Upgrade(IMainWindow&) {}
void UpgradeFailureCheck(IMainWindow&) {}
QString WorkstationAddressForUpgrade() { return {}; }
