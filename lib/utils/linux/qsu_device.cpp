// Enumeration of the adapter's ports: one record per interface of the
// driver, sorted by PCI address and grouped into adapters.
#include "lib/utils/linux/qsu_device.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/socket.h>

#include "lib/platform/fd_guard.h"
#include "lib/platform/platform.h"
#include "lib/utils/linux/qsu_device_internal.h"
#include "lib/utils/netif.h"

namespace {

const char DRIVER_NAME[] = "qsc";
const char VLAN_DIR[] = "/proc/net/vlan/";
const char ESXI_NETIF_PREFIX[] = "vmnic";

// Copies a fixed-size field that need not be NUL-terminated.
template <size_t N>
std::string field_text(const char (&field)[N])
{
    return std::string(field, strnlen(field, N));
}

void copy_text(char *dst, size_t dst_size, const std::string &src)
{
    size_t n = std::min(src.size(), dst_size - 1);
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

bool is_vlan(const char *netif_name)
{
    std::string path = std::string(VLAN_DIR) + netif_name;
    return platform_exists(path.c_str());
}

void get_serial_number(qsu_device *dev)
{
    if (run_on_esxi) {
        get_qs_serial_esxi(dev);
        return;
    }
    uint8_t *vpd = nullptr;
    size_t vpd_len = 0;
    if (qsu_device_get_vpd(dev, &vpd, &vpd_len) == 0) {
        get_qs_serial_vpd(dev, vpd, vpd_len);
        std::free(vpd);
    }
}

} // namespace

bool netif_dir_filter(const char *name)
{
    if (run_on_esxi) {
        size_t prefix_len = sizeof ESXI_NETIF_PREFIX - 1;
        if (std::strncmp(name, ESXI_NETIF_PREFIX, prefix_len) != 0)
            return false;
        char *end = nullptr;
        long number = std::strtol(name + prefix_len, &end, 10);
        if (*end != '\0' || number < 0)
            return false;
    }
    return std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0;
}

int device_fill(qsu_device *dev, const char *netif_name)
{
    ethtool_drvinfo info;
    if (netif_get_drvinfo(&info, netif_name) != 0)
        return (errno == ENODEV || errno == EINVAL || errno == EOPNOTSUPP) ? 0 : -1;
    if (field_text(info.driver) != DRIVER_NAME)
        return 0;
    if (is_vlan(netif_name))
        return 0;

    copy_text(dev->netif_name, sizeof dev->netif_name, netif_name);
    if (!netif_mac_addr(dev->netif_name, dev->mac_addr))
        return -1;
    copy_text(dev->pci_addr, sizeof dev->pci_addr, field_text(info.bus_info));

    if (run_on_esxi) {
        if (esxi_get_pci_ids(dev) != 0)
            return -1;
    } else {
        dev->pci_device_id = get_pci_id(dev->pci_addr, "vendor", "device");
        dev->pci_subsystem_id = get_pci_id(dev->pci_addr, "subsystem_vendor", "subsystem_device");
        dev->phy_type = get_phy_type(dev->pci_addr);
    }

    uint32_t packed;
    if (!parse_pci_addr(dev->pci_addr, &packed)) {
        errno = EINVAL;
        return -1;
    }
    dev->port_index = packed & 0xFF;
    dev->master_port = nullptr;
    dev->ports.next = nullptr;

    // A port without a readable serial number is still listed.
    get_serial_number(dev);
    return 1;
}

int qsu_dev_pci_cmp(const qsu_device *a, const qsu_device *b)
{
    uint32_t pa = qsu_parse_pci_addr(a);
    uint32_t pb = qsu_parse_pci_addr(b);
    return pa > pb ? 1 : pa < pb ? -1 : 0;
}

int qsu_device_enum(qsu_device **pdevs)
{
    const char *dir = run_on_esxi ? "/dev/" : "/sys/class/net";
    std::vector<std::string> names;
    if (platform().list_dir(dir, names) < 0)
        return -1;
    std::sort(names.begin(), names.end());
    std::erase_if(names, [](const std::string &name) { return !netif_dir_filter(name.c_str()); });

    // One spare record keeps an empty host from looking like a failed
    // allocation.
    auto *devs = static_cast<qsu_device *>(std::calloc(names.size() + 1, sizeof(qsu_device)));
    if (!devs) {
        errno = ENOMEM;
        return -1;
    }

    int ndevs = 0;
    for (const std::string &name : names) {
        int filled = device_fill(&devs[ndevs], name.c_str());
        if (filled < 0) {
            int saved = errno;
            std::free(devs);
            errno = saved;
            return -1;
        }
        // A skipped interface leaves its record untouched for the next one.
        if (filled > 0)
            ++ndevs;
    }

    std::stable_sort(devs, devs + ndevs, [](const qsu_device &a, const qsu_device &b) {
        return qsu_dev_pci_cmp(&a, &b) < 0;
    });
    qsu_group_devices(devs, ndevs);
    *pdevs = devs;
    return ndevs;
}

char *qsu_get_driver_version(qsu_device *dev)
{
    if (!dev)
        return nullptr;
    // A socket answers ethtool on both platform paths.
    FdGuard fd(platform().socket(AF_INET, SOCK_STREAM, 0));
    if (!fd.valid())
        return nullptr;

    ethtool_drvinfo info;
    std::memset(&info, 0, sizeof info);
    info.cmd = ETHTOOL_GDRVINFO;
    ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::memcpy(ifr.ifr_name, dev->netif_name, strnlen(dev->netif_name, sizeof ifr.ifr_name));
    ifr.ifr_data = reinterpret_cast<char *>(&info);
    if (platform().ioctl(fd.get(), SIOCETHTOOL, &ifr) != 0)
        return nullptr;
    return strndup(info.version, sizeof info.version);
}
