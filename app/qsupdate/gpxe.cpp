// Boot ROM rows, one per controller variant.
#include "app/qsupdate/fw_row.h"
#include "app/qsupdate/registry.h"
#include "lib/utils/i18n.h"

namespace {

constexpr firmware_ops bootrom_row(image_subtype_bootrom_e subtype, const char *name)
{
    return nv_fw_row(IMAGE_TYPE_BOOTROM, subtype, name, nv_fw_match_device, firmware_shared);
}

} // namespace

const firmware_ops gpxe_ops[6] = {
    bootrom_row(IMAGE_SUBTYPE_BOOTROM_HAZEL, N_("Quillstone QSC1020")),
    bootrom_row(IMAGE_SUBTYPE_BOOTROM_BIRCH, N_("Quillstone QSL1021")),
    bootrom_row(IMAGE_SUBTYPE_BOOTROM_JUNIPER, N_("Quillstone QSC1120")),
    bootrom_row(IMAGE_SUBTYPE_BOOTROM_LAUREL, N_("Quillstone QSC1140")),
    bootrom_row(IMAGE_SUBTYPE_BOOTROM_DOGWOOD, N_("Quillstone QSC1220")),
    bootrom_row(IMAGE_SUBTYPE_BOOTROM_DOGWOOD2, N_("Quillstone QSC1250")),
};
