// Controller firmware rows of the QSC1200 family.
#include "app/qsupdate/fw_row.h"
#include "app/qsupdate/registry.h"
#include "lib/utils/i18n.h"

namespace {

constexpr firmware_ops qsc1200_row(unsigned subtype)
{
    return nv_fw_row(IMAGE_TYPE_MCFW, subtype, N_("Quillstone QSC1200 family"), nv_fw_match_device,
                     FW_FLAGS_SHARED_MC_RESET);
}

} // namespace

// Subtypes in registry order.
const firmware_ops mc_dogwood_ops[6] = {
    qsc1200_row(31), qsc1200_row(32), qsc1200_row(33), qsc1200_row(34), qsc1200_row(35),
    qsc1200_row(40),
};
