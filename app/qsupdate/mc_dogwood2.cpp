// Controller firmware rows of the QSC1250 family.
#include "app/qsupdate/fw_row.h"
#include "app/qsupdate/registry.h"
#include "lib/utils/i18n.h"

namespace {

constexpr firmware_ops qsc1250_row(unsigned subtype)
{
    return nv_fw_row(IMAGE_TYPE_MCFW, subtype, N_("Quillstone QSC1250 family"), nv_fw_match_device,
                     FW_FLAGS_SHARED_MC_RESET);
}

} // namespace

// Subtypes in registry order.
const firmware_ops mc_dogwood2_ops[10] = {
    qsc1250_row(37), qsc1250_row(38), qsc1250_row(42), qsc1250_row(43), qsc1250_row(44),
    qsc1250_row(45), qsc1250_row(47), qsc1250_row(46), qsc1250_row(48), qsc1250_row(39),
};
