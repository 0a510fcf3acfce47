// PCI address texts "domain:bus:device.function" and their packed form.
#include <cstdio>

#include "lib/utils/linux/qsu_device.h"
#include "lib/utils/linux/qsu_device_internal.h"

constexpr uint32_t BAD_PCI_ADDR = 0xFFFFFFFF;

int get_pci_addr_nums(const char *addr, unsigned *domain, unsigned *bus, unsigned *device,
                      unsigned *function)
{
    return std::sscanf(addr, "%x:%x:%x.%x", domain, bus, device, function) == 4 ? 0 : -1;
}

bool parse_pci_addr(const char *addr, uint32_t *packed)
{
    unsigned domain, bus, device, function;
    if (get_pci_addr_nums(addr, &domain, &bus, &device, &function) != 0)
        return false;
    // A bus, device or function wider than its field would overlap its
    // neighbour and give the port a wrong index.  Domains above 0xFFFF are
    // real (volume management bridges) and only lose their high bits.
    if (bus > 0xFF || device > 0x1F || function > 7)
        return false;
    *packed = (domain << 16) | (bus << 8) | (device << 3) | function;
    return true;
}

uint32_t qsu_parse_pci_addr(const qsu_device *dev)
{
    uint32_t packed;
    if (!dev || !parse_pci_addr(dev->pci_addr, &packed))
        return BAD_PCI_ADDR;
    return packed;
}
