// Controller firmware rows of the QSC1000 family.
#include "app/qsupdate/fw_row.h"
#include "app/qsupdate/registry.h"
#include "lib/utils/i18n.h"

namespace {

constexpr firmware_ops qsc1000_row(unsigned subtype)
{
    return nv_fw_row(IMAGE_TYPE_MCFW, subtype, N_("Quillstone QSC1000 family"), nv_fw_match_device,
                     FW_FLAGS_SHARED_MC_RESET);
}

} // namespace

// Subtypes in registry order.
const firmware_ops mc_birch_ops[9] = {
    qsc1000_row(7), qsc1000_row(8), qsc1000_row(13), qsc1000_row(9), qsc1000_row(14),
    qsc1000_row(11), qsc1000_row(16), qsc1000_row(17), qsc1000_row(10),
};
