// What the kernel and the drivers answer to interface ioctls: ethtool,
// hardware address, interface flags and the adapter driver's private
// ioctl, on a socket, an ESXi "vmnic" node or the driver's control device.
#pragma once

#include "lab/host/lab.h"

namespace lab {

// An ioctl carrying an ifreq, on a socket (for the interface it names) or
// on an ESXi interface node (for `bound`, its own interface).  Returns 0,
// or -1 with errno as the kernel would set it.
int netdev_ioctl(Lab &lab, unsigned long request, void *arg, const char *bound = nullptr);

// An ioctl on the driver's control device, carrying the driver's envelope.
int control_device_ioctl(Lab &lab, unsigned long request, void *arg);

} // namespace lab
