// Identity of a port on ESXi, where sysfs does not exist: the driver's
// control device answers for the ids, and the PCI configuration header in
// /proc/bus/pci stands in when it cannot.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>

#include "lib/platform/fd_guard.h"
#include "lib/platform/platform.h"
#include "lib/utils/byteorder.h"
#include "lib/utils/linux/kpx.h"
#include "lib/utils/linux/qsu_device.h"
#include "lib/utils/linux/qsu_device_internal.h"
#include "lib/utils/qs_assert.h"

namespace {

constexpr size_t PCI_HEADER_LEN = 48;
constexpr size_t PCI_VENDOR_ID = 0x00;
constexpr size_t PCI_DEVICE_ID = 0x02;
constexpr size_t PCI_SUBSYSTEM_VENDOR_ID = 0x2C;
constexpr size_t PCI_SUBSYSTEM_ID = 0x2E;

uint32_t combine_ids(uint16_t high, uint16_t low)
{
    return (static_cast<uint32_t>(high) << 16) | low;
}

int ids_from_driver(qsu_device *dev)
{
    FdGuard fd(platform().open(QSC_CONTROL_DEVICE, O_RDWR));
    if (!fd.valid())
        return -1;
    kpx_ioctl ioc;
    std::memset(&ioc, 0, sizeof ioc);
    std::memcpy(ioc.if_name, dev->netif_name, strnlen(dev->netif_name, sizeof ioc.if_name));
    ioc.cmd = host_to_le16(KPX_CMD_DEVICE_IDS);
    if (platform().ioctl(fd.get(), SIOCKPX, &ioc) != 0)
        return -1;

    const kpx_device_ids &ids = ioc.u.device_ids;
    dev->pci_device_id = combine_ids(le16_to_host(ids.vendor_id), le16_to_host(ids.device_id));
    dev->pci_subsystem_id =
        combine_ids(le16_to_host(ids.subsys_vendor_id), le16_to_host(ids.subsys_device_id));
    dev->phy_type = static_cast<int>(le32_to_host(ids.phy_type));
    return 0;
}

int ids_from_proc_bus_pci(qsu_device *dev)
{
    unsigned domain, bus, device, function;
    if (get_pci_addr_nums(dev->pci_addr, &domain, &bus, &device, &function) != 0) {
        errno = EINVAL;
        return -1;
    }
    char path[100];
    int n = domain != 0 ? std::snprintf(path, sizeof path, "/proc/bus/pci/%.4x:%.2x/%.2x.%.1x",
                                        domain, bus, device, function)
                        : std::snprintf(path, sizeof path, "/proc/bus/pci/%.2x/%.2x.%.1x", bus,
                                        device, function);
    QS_ASSERT(n > 0 && static_cast<size_t>(n) < sizeof path);

    FdGuard fd(platform().open(path, O_RDONLY));
    if (!fd.valid())
        return -1;
    uint8_t header[PCI_HEADER_LEN];
    size_t len = 0;
    while (len < sizeof header) {
        ssize_t got = platform().read(fd.get(), header + len, sizeof header - len);
        if (got < 0)
            return -1;
        if (got == 0) {
            errno = EIO;
            return -1;
        }
        len += static_cast<size_t>(got);
    }
    dev->pci_device_id =
        combine_ids(load_le16(header + PCI_VENDOR_ID), load_le16(header + PCI_DEVICE_ID));
    dev->pci_subsystem_id = combine_ids(load_le16(header + PCI_SUBSYSTEM_VENDOR_ID),
                                        load_le16(header + PCI_SUBSYSTEM_ID));
    dev->phy_type = -1;
    return 0;
}

} // namespace

int esxi_get_pci_ids(qsu_device *dev)
{
    if (ids_from_driver(dev) == 0)
        return 0;
    return ids_from_proc_bus_pci(dev);
}
