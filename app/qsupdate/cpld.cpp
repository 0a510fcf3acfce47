// CPLD bitfile row.
#include "app/qsupdate/fw_row.h"
#include "app/qsupdate/registry.h"
#include "lib/utils/i18n.h"

// A new bitfile takes effect only once the controller programs the CPLD.
const firmware_ops cpld_ops[1] = {
    nv_fw_row(IMAGE_TYPE_CPLD, 1, N_("1902 CPLD"), nv_fw_match_device,
              FW_FLAGS_SHARED_MC_RESET | firmware_w_req_cpld_program),
};
