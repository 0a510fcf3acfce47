// Firmware bundle rows.
#include "app/qsupdate/fw_row.h"
#include "app/qsupdate/registry.h"
#include "lib/utils/i18n.h"

const firmware_ops bundle_ops[2] = {
    nv_fw_row(IMAGE_TYPE_BUNDLE, 1, N_("Y3522 Dell"), nv_fw_match_device, FW_FLAGS_SHARED_MC_RESET),
    nv_fw_row(IMAGE_TYPE_BUNDLE, 2, N_("Y3552"), nv_fw_match_device, FW_FLAGS_SHARED_MC_RESET),
};
