// Building block of the registry rows: every kind in this build is reached
// through the NV partitions and carries no default image.
#pragma once

#include "app/qsupdate/nv_fwops.h"
#include "lib/utils/firmware_ops.h"

using match_device_fn = bool (*)(const firmware_ops *ops, qsu_device *dev);

constexpr firmware_ops nv_fw_row(image_type_t type, unsigned subtype, const char *name,
                                 match_device_fn match, unsigned flags)
{
    return firmware_ops{
        .type = type,
        .subtype = subtype,
        .subtype_name_user = name,
        .default_image = {nullptr, 0},
        .match_device = match,
        .open = nv_fw_open,
        .close = nv_fw_close,
        .get_version = nv_fw_get_version,
        .read_image = nv_fw_read_image,
        .write_image = nv_fw_write_image,
        .flags = flags,
    };
}

// Flag sets shared by several families.
constexpr unsigned FW_FLAGS_SHARED_MC_RESET =
    firmware_rw_req_if_down | firmware_shared | firmware_w_req_mc_reset;
constexpr unsigned FW_FLAGS_SHARED_MC_RESET_ERASE_ON_DEMAND =
    FW_FLAGS_SHARED_MC_RESET | firmware_erase_on_demand;
