// The registry in walk order, gathered from the family modules, and the
// names of the image types.
#include "app/qsupdate/registry.h"
#include "lib/utils/i18n.h"

#include <iterator>

const firmware_ops *const all_firmware_ops[FIRMWARE_OPS_COUNT] = {
    // PHY
    &phy_mtd_ops[0], &phy_mtd_ops[1], &phy_mtd_ops[2], &phy_mtd_ops[3],
    // controller firmware; these precede the boot ROMs so that the status
    // report names the controller after its controller-firmware row
    &mc_birch_ops[0], &mc_birch_ops[1], &mc_birch_ops[2], &mc_birch_ops[3], &mc_birch_ops[4],
    &mc_birch_ops[5], &mc_birch_ops[6], &mc_birch_ops[7], &mc_birch_ops[8],
    &mc_cedar_ops[0], &mc_cedar_ops[1], &mc_cedar_ops[2], &mc_cedar_ops[3], &mc_cedar_ops[4],
    &mc_cedar_ops[5], &mc_cedar_ops[6], &mc_cedar_ops[7], &mc_cedar_ops[8], &mc_cedar_ops[9],
    &mc_cedar_ops[10],
    &mc_dogwood_ops[0], &mc_dogwood_ops[1], &mc_dogwood_ops[2], &mc_dogwood_ops[3],
    &mc_dogwood_ops[4], &mc_dogwood_ops[5],
    &mc_dogwood2_ops[0], &mc_dogwood2_ops[1], &mc_dogwood2_ops[2], &mc_dogwood2_ops[3],
    &mc_dogwood2_ops[4], &mc_dogwood2_ops[5], &mc_dogwood2_ops[6], &mc_dogwood2_ops[7],
    &mc_dogwood2_ops[8], &mc_dogwood2_ops[9],
    // boot ROM
    &gpxe_ops[0], &gpxe_ops[1], &gpxe_ops[2], &gpxe_ops[3], &gpxe_ops[4], &gpxe_ops[5],
    // FPGA and diagnostic FPGA
    &fpga_ops[0], &fpga_ops[1], &fpga_ops[2], &fpga_ops[3], &fpga_ops[4], &fpga_ops[5],
    &fpga_ops[6], &fpga_ops[7], &fpga_ops[8], &fpga_ops[9], &fpga_ops[10], &fpga_ops[11],
    &fpga_ops[12], &fpga_ops[13],
    // KVE controller, CPLD
    &fc_ops[0], &fc_ops[1],
    &cpld_ops[0],
    // board micro-controller
    &mum_ops[0], &mum_ops[1], &mum_ops[2], &mum_ops[3], &mum_ops[4], &mum_ops[5], &mum_ops[6],
    &mum_ops[7], &mum_ops[8], &mum_ops[9], &mum_ops[10], &mum_ops[11], &mum_ops[12],
    &mum_ops[13], &mum_ops[14],
    // UEFI ROM, bundles
    &uefi_ops[0],
    &bundle_ops[0], &bundle_ops[1],
};

qsupdate_image_t default_images[FIRMWARE_OPS_COUNT];

namespace {

const char *const firmware_type_name_user[] = {
    N_("PHY firmware"),             // IMAGE_TYPE_PHY
    nullptr,                        // IMAGE_TYPE_PHY_LOADER
    N_("Boot ROM"),                 // IMAGE_TYPE_BOOTROM
    N_("controller firmware"),      // IMAGE_TYPE_MCFW
    nullptr,                        // IMAGE_TYPE_MCFW_BACKUP
    nullptr,                        // IMAGE_TYPE_DISABLED_ROWAN
    N_("FPGA bitfile"),             // IMAGE_TYPE_FPGA
    N_("Diagnostic FPGA bitfile"),  // IMAGE_TYPE_FPGA_BACKUP
    N_("KVE firmware"),             // IMAGE_TYPE_FCFW
    nullptr,                        // IMAGE_TYPE_FCFW_BACKUP
    N_("CPLD bitfile"),             // IMAGE_TYPE_CPLD
    N_("MUM firmware"),             // IMAGE_TYPE_MUMFW
    N_("UEFI ROM"),                 // IMAGE_TYPE_UEFIROM
    N_("Bundle firmware"),          // IMAGE_TYPE_BUNDLE
};

const char *const firmware_type_names[] = {
    "PHY",      // IMAGE_TYPE_PHY
    nullptr,                        // IMAGE_TYPE_PHY_LOADER
    "BOOTROM",  // IMAGE_TYPE_BOOTROM
    "MCPU",     // IMAGE_TYPE_MCFW
    nullptr,                        // IMAGE_TYPE_MCFW_BACKUP
    nullptr,                        // IMAGE_TYPE_DISABLED_ROWAN
    "FPGA",     // IMAGE_TYPE_FPGA
    "FPGADIAG", // IMAGE_TYPE_FPGA_BACKUP
    "FCPU",     // IMAGE_TYPE_FCFW
    nullptr,                        // IMAGE_TYPE_FCFW_BACKUP
    "CPLD",     // IMAGE_TYPE_CPLD
    "MUM",      // IMAGE_TYPE_MUMFW
    "UEFI",     // IMAGE_TYPE_UEFIROM
    "BUNDLE",   // IMAGE_TYPE_BUNDLE
};

// Every type a row uses has both names (the registry test walks the rows).
static_assert(std::size(firmware_type_name_user) == IMAGE_TYPE_BUNDLE + 1);
static_assert(std::size(firmware_type_names) == IMAGE_TYPE_BUNDLE + 1);

template <size_t N> const char *lookup(const char *const (&names)[N], uint32_t type)
{
    return type < N ? names[type] : nullptr;
}

} // namespace

const char *firmware_type_user_name(uint32_t type)
{
    return lookup(firmware_type_name_user, type);
}

const char *firmware_type_short_name(uint32_t type)
{
    return lookup(firmware_type_names, type);
}
