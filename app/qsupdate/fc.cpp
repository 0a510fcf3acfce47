// KVE controller firmware rows.
#include "app/qsupdate/fw_row.h"
#include "app/qsupdate/registry.h"
#include "lib/utils/i18n.h"

namespace {

// The KVE engine is reset after a write, once the platform has settled.
constexpr unsigned KVE_CONTROLLER_FLAGS = firmware_rw_req_if_down | firmware_shared |
                                          firmware_w_req_wait_platform | firmware_w_req_kve_reset;

} // namespace

const firmware_ops fc_ops[2] = {
    nv_fw_row(IMAGE_TYPE_FCFW, 1, N_("KVE controller"), nv_fw_match_device, KVE_CONTROLLER_FLAGS),
    nv_fw_row(IMAGE_TYPE_FCFW, 2, N_("KVE controller"), nv_fw_match_device,
              KVE_CONTROLLER_FLAGS | firmware_erase_on_demand),
};
