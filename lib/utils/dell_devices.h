// The OEM device table used by the OEM XML report.
#pragma once

#include <cstdint>

#include "lib/utils/firmware_version.h"

struct qsu_device;

struct dell_device {
    uint16_t vendor_id;
    uint16_t device_id;
    uint16_t sub_vendor_id;
    uint16_t sub_device_id;
    const char *display_name;
};

constexpr int DELL_DEVICE_SLOTS = 3;
extern const dell_device dell_devices[DELL_DEVICE_SLOTS];

// The slot for an adapter's master port, or null.
const dell_device *get_dell_device(const qsu_device *dev);
// "a.b.c" (with an optional "v") in a process-wide buffer.
const char *get_version_for_dell(firmware_version ver, bool with_v);
