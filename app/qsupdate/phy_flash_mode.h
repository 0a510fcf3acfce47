// The PHY's flash-configuration mode, switched through the port's PCI
// sysfs attribute around writes of the kinds that need it.
#pragma once

struct qsu_device;

// 0 when the one character was written; -1 with errno.
int set_phy_flash_mode(const qsu_device *dev, bool on);
