// Board micro-controller firmware rows.
#include "app/qsupdate/fw_row.h"
#include "app/qsupdate/registry.h"
#include "lib/utils/i18n.h"

namespace {

constexpr const char *MUM_NAME = N_("Micro-controller");

constexpr firmware_ops mum_row(unsigned subtype)
{
    return nv_fw_row(IMAGE_TYPE_MUMFW, subtype, MUM_NAME, nv_fw_match_device,
                     FW_FLAGS_SHARED_MC_RESET);
}

} // namespace

// The first board's micro-controller needs the platform to settle before
// it is touched, and no controller reset after.
const firmware_ops mum_ops[15] = {
    nv_fw_row(IMAGE_TYPE_MUMFW, 1, MUM_NAME, nv_fw_match_device,
              firmware_rw_req_if_down | firmware_shared | firmware_w_req_wait_platform |
                  firmware_w_req_mum_reset),
    mum_row(2), mum_row(3), mum_row(4), mum_row(8), mum_row(5),
    mum_row(6), mum_row(10), mum_row(11), mum_row(12), mum_row(13),
    mum_row(15), mum_row(14), mum_row(16), mum_row(7),
};
