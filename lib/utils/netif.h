// Network interface helpers: driver identity, MAC text and sysfs paths.
#pragma once

#include <cstddef>

struct ethtool_drvinfo;
struct ifreq;

constexpr size_t SYSFS_PATH_LEN = 100;

int netif_get_drvinfo(ethtool_drvinfo *info, const char *ifname);
// True when the interface is bound to the adapter driver.  False with errno
// 0 when the text cannot name an interface or the interface offers no driver
// information, errno kept otherwise.
bool netif_is_ours(const char *ifname);
// Writes "XX-XX-XX-XX-XX-XX" into the 18-byte buffer; null on failure.
char *netif_mac_addr(const char *ifname, char *mac);
// A zeroed request naming the interface (a longer name is cut).
void ifreq_for(struct ifreq &ifr, const char *ifname);
// Descriptor on which interface ioctls are issued; -1 with errno.
int open_netdev_fd(const char *ifname);
char *pci_attr_path(char *buf, const char *pci_addr, const char *attr);
char *netif_attr_path(char *buf, const char *ifname, const char *attr);
// Canonical "XX-XX-XX-XX-XX-XX" form of a user's MAC text, or null (EINVAL).
char *normalise_mac_addr(const char *text, char *mac);
