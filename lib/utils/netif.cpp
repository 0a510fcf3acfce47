#include "lib/utils/netif.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/socket.h>

#include "lib/platform/fd_guard.h"
#include "lib/platform/platform.h"
#include "lib/utils/linux/qsu_device.h"
#include "lib/utils/qs_assert.h"

void ifreq_for(struct ifreq &ifr, const char *ifname)
{
    std::memset(&ifr, 0, sizeof ifr);
    std::strncpy(ifr.ifr_name, ifname, sizeof ifr.ifr_name);
}

namespace {

// Could the text name an interface at all?  A longer name would be cut to
// another interface's name in the ifreq, and on ESXi a separator would
// lead the device node path out of /dev.
bool netif_name_possible(const char *ifname)
{
    const size_t len = std::strlen(ifname);
    return len > 0 && len < IFNAMSIZ && std::strchr(ifname, '/') == nullptr &&
           std::strcmp(ifname, ".") != 0 && std::strcmp(ifname, "..") != 0;
}

} // namespace

int open_netdev_fd(const char *ifname)
{
    if (!run_on_esxi)
        return platform().socket(AF_INET, SOCK_STREAM, 0);
    // On ESXi each interface is a device node of its own.
    char path[23];
    int n = std::snprintf(path, sizeof path, "/dev/%s", ifname);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return platform().open(path, O_RDWR);
}

int netif_get_drvinfo(ethtool_drvinfo *info, const char *ifname)
{
    FdGuard fd(open_netdev_fd(ifname));
    if (!fd.valid())
        return -1;
    std::memset(info, 0, sizeof *info);
    info->cmd = ETHTOOL_GDRVINFO;
    struct ifreq ifr;
    ifreq_for(ifr, ifname);
    ifr.ifr_data = reinterpret_cast<char *>(info);
    return platform().ioctl(fd.get(), SIOCETHTOOL, &ifr) < 0 ? -1 : 0;
}

bool netif_is_ours(const char *ifname)
{
    if (!netif_name_possible(ifname)) {
        errno = 0;
        return false;
    }
    ethtool_drvinfo info;
    if (netif_get_drvinfo(&info, ifname) < 0) {
        // No driver information at all: simply not one of ours.  On ESXi an
        // interface that does not exist has no device node.
        if (errno == EOPNOTSUPP || errno == ENODEV || (run_on_esxi && errno == ENOENT))
            errno = 0;
        return false;
    }
    errno = 0;
    return std::strncmp(info.driver, "qsc", sizeof info.driver) == 0;
}

char *netif_mac_addr(const char *ifname, char *mac)
{
    FdGuard fd(open_netdev_fd(ifname));
    if (!fd.valid())
        return nullptr;
    struct ifreq ifr;
    ifreq_for(ifr, ifname);
    if (platform().ioctl(fd.get(), SIOCGIFHWADDR, &ifr) < 0)
        return nullptr;
    const auto *a = reinterpret_cast<const unsigned char *>(ifr.ifr_hwaddr.sa_data);
    std::snprintf(mac, 18, "%02X-%02X-%02X-%02X-%02X-%02X", a[0], a[1], a[2], a[3], a[4], a[5]);
    return mac;
}

char *pci_attr_path(char *buf, const char *pci_addr, const char *attr)
{
    int n = std::snprintf(buf, SYSFS_PATH_LEN, "/sys/bus/pci/devices/%s/%s", pci_addr, attr);
    QS_ASSERT(n >= 0 && static_cast<size_t>(n) < SYSFS_PATH_LEN);
    return buf;
}

char *netif_attr_path(char *buf, const char *ifname, const char *attr)
{
    int n = std::snprintf(buf, SYSFS_PATH_LEN, "/sys/class/net/%.*s/%s", 16, ifname, attr);
    QS_ASSERT(n >= 0 && static_cast<size_t>(n) < SYSFS_PATH_LEN);
    return buf;
}
