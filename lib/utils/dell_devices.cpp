#include "lib/utils/dell_devices.h"

#include <cstdio>

#include "lib/utils/linux/qsu_device.h"

const dell_device dell_devices[DELL_DEVICE_SLOTS] = {
    {0x1B7E, 0x0B03, 0x1B7E, 0x802C, "Halcyonpath Y3522-25G Adapter"},
    {0, 0, 0, 0, nullptr},
    {0, 0, 0, 0, nullptr},
};

const dell_device *get_dell_device(const qsu_device *dev)
{
    // Only a master port answers, so that each adapter is reported once.
    if (dev->master_port != dev)
        return nullptr;
    for (const dell_device &slot : dell_devices) {
        bool empty = !slot.vendor_id && !slot.device_id && !slot.sub_vendor_id && !slot.sub_device_id;
        if (empty)
            continue;
        if (slot.vendor_id == dev->pci_device_id >> 16 && slot.device_id == (dev->pci_device_id & 0xFFFF) &&
            slot.sub_vendor_id == dev->pci_subsystem_id >> 16 &&
            slot.sub_device_id == (dev->pci_subsystem_id & 0xFFFF))
            return &slot;
    }
    return nullptr;
}

const char *get_version_for_dell(firmware_version ver, bool with_v)
{
    static char text[25];
    std::snprintf(text, sizeof text, "%s%u.%u.%u", with_v ? "v" : "", ver.a, ver.b, ver.c);
    return text;
}
