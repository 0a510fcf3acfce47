// Controller firmware rows of the QSC1100 family.
#include "app/qsupdate/fw_row.h"
#include "app/qsupdate/registry.h"
#include "lib/utils/i18n.h"

namespace {

constexpr firmware_ops qsc1100_row(unsigned subtype)
{
    return nv_fw_row(IMAGE_TYPE_MCFW, subtype, N_("Quillstone QSC1100 family"), nv_fw_match_device,
                     FW_FLAGS_SHARED_MC_RESET);
}

} // namespace

// Subtypes in registry order.
const firmware_ops mc_cedar_ops[11] = {
    qsc1100_row(0), qsc1100_row(18), qsc1100_row(20), qsc1100_row(23), qsc1100_row(24),
    qsc1100_row(25), qsc1100_row(26), qsc1100_row(27), qsc1100_row(28), qsc1100_row(22),
    qsc1100_row(29),
};
