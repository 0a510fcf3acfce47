// UEFI ROM row.
#include "app/qsupdate/fw_row.h"
#include "app/qsupdate/registry.h"
#include "lib/utils/i18n.h"

const firmware_ops uefi_ops[1] = {
    nv_fw_row(IMAGE_TYPE_UEFIROM, 0, N_("UEFI ROM"), nv_fw_match_device, firmware_shared),
};
