// Access to an adapter's flash partitions.
#pragma once

#include <cstddef>
#include <cstdint>

struct qsu_device;

enum nv_part_type : unsigned {
    NV_PART_MCFW = 0,
    NV_PART_DYNAMIC_CFG = 1,
    NV_PART_STATIC_CFG = 2,
    NV_PART_BOOTROM = 3,
    NV_PART_BOOTROM_CFG = 4,
    NV_PART_PHY = 5,
    NV_PART_FPGA = 6,
    NV_PART_FCFW = 7,
    NV_PART_CPLD = 8,
    NV_PART_FPGA_BACKUP = 9,
    NV_PART_MUMFW = 11,
    NV_PART_UEFI = 12,
    NV_PART_STATUS = 13,
    NV_PART_NTYPES = 14,
    NV_PART_DYNAMIC_CFG_DEFAULTS = 15,
    NV_PART_BOOTROM_CFG_DEFAULTS = 16,
    NV_PART_BUNDLE = 17,
    NV_PART_BUNDLE_METADATA = 18,
    MAX_NV_PART = 19,
};

extern bool nv_use_char_dev;
extern bool nv_use_mcdi_request;

// Chooses the backend family; 0.  On an ESX service console it may end
// the process with status 1.
int nv_init();
