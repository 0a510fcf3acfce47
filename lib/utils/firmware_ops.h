// One firmware kind for one board: the record type of the registry.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/utils/firmware.h"
#include "lib/utils/firmware_version.h"

struct qsu_device;
struct dynamic_cfg_context;

enum image_type_e : unsigned {
    IMAGE_TYPE_PHY = 0,
    IMAGE_TYPE_PHY_LOADER = 1,
    IMAGE_TYPE_BOOTROM = 2,
    IMAGE_TYPE_MCFW = 3,
    IMAGE_TYPE_MCFW_BACKUP = 4,
    IMAGE_TYPE_DISABLED_ROWAN = 5,
    IMAGE_TYPE_FPGA = 6,
    IMAGE_TYPE_FPGA_BACKUP = 7,
    IMAGE_TYPE_FCFW = 8,
    IMAGE_TYPE_FCFW_BACKUP = 9,
    IMAGE_TYPE_CPLD = 10,
    IMAGE_TYPE_MUMFW = 11,
    IMAGE_TYPE_UEFIROM = 12,
    IMAGE_TYPE_BUNDLE = 13,
    IMAGE_TYPE_CMCFW = 14,
};
using image_type_t = image_type_e;

enum image_subtype_bootrom_e : unsigned {
    IMAGE_SUBTYPE_BOOTROM_ALDER = 0,
    IMAGE_SUBTYPE_BOOTROM_HAZEL = 1,
    IMAGE_SUBTYPE_BOOTROM_BIRCH = 2,
    IMAGE_SUBTYPE_BOOTROM_CEDAR = 3,
    IMAGE_SUBTYPE_BOOTROM_JUNIPER = 4,
    IMAGE_SUBTYPE_BOOTROM_LAUREL = 5,
    IMAGE_SUBTYPE_BOOTROM_DOGWOOD = 6,
    IMAGE_SUBTYPE_BOOTROM_DOGWOOD2 = 7,
    IMAGE_SUBTYPE_BOOTROM_ELM = 8,
};

enum firmware_op_flags : unsigned {
    firmware_rw_req_if_down = 0x1,
    firmware_rw_req_phy_flash_cfg = 0x2,
    firmware_shared = 0x4,
    firmware_w_req_mc_reset = 0x8,
    firmware_w_req_cpld_program = 0x10,
    firmware_w_req_wait_platform = 0x20,
    firmware_w_req_kve_reset = 0x40,
    firmware_w_req_mum_reset = 0x80,
    firmware_erase_on_demand = 0x100,
};

// Progress callback: a status text and a percentage 0-100.
using progress_fn = void (*)(const char *status, int pc);

struct firmware_image_data {
    const uint8_t *image_data;
    size_t image_size;
};

struct firmware_ops {
    unsigned type;
    unsigned subtype;
    const char *subtype_name_user;
    firmware_image_data default_image;
    bool (*match_device)(const firmware_ops *ops, qsu_device *dev);
    void *(*open)(const firmware_ops *ops, qsu_device *dev);
    void (*close)(void *handle);
    firmware_version (*get_version)(void *handle, dynamic_cfg_context *cfg);
    qsupdate_image_t *(*read_image)(void *handle, progress_fn progress);
    int (*write_image)(void *handle, qsupdate_image_t *image, bool full_erase,
                       progress_fn progress);
    unsigned flags;
};
