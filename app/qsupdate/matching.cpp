#include "app/qsupdate/matching.h"

#include "app/qsupdate/options.h"
#include "app/qsupdate/registry.h"
#include "lib/utils/byteorder.h"
#include "lib/utils/linux/dynamic_cfg.h"
#include "lib/utils/linux/qsu_device.h"

namespace {

uint8_t erase_raw[4] = {0xFF, 0xFF, 0xFF, 0xFF};
image_header_t erase_header;

int type_selector(unsigned type)
{
    switch (type) {
    case IMAGE_TYPE_PHY: return OPTION_PHY;
    case IMAGE_TYPE_BOOTROM: return OPTION_BOOTROM;
    case IMAGE_TYPE_MCFW: return OPTION_MC;
    case IMAGE_TYPE_FPGA: return OPTION_FPGA;
    case IMAGE_TYPE_FPGA_BACKUP: return OPTION_FPGADIAG;
    case IMAGE_TYPE_FCFW: return OPTION_FC;
    case IMAGE_TYPE_CPLD: return OPTION_CPLD;
    case IMAGE_TYPE_MUMFW: return OPTION_MUM;
    case IMAGE_TYPE_UEFIROM: return OPTION_UEFI;
    case IMAGE_TYPE_BUNDLE: return OPTION_BUNDLE;
    default: return 0;
    }
}

// An iPXE boot ROM serves either of the last two generations' boot ROM
// rows; its header takes the subtype of the row it goes with.
bool match_ipxe_firmware(const firmware_ops *ops, qsupdate_image_t *image)
{
    image_header_t *h = image->reflash_header;
    if (le32_to_host(h->ih_type) != IMAGE_TYPE_BOOTROM || !version_is_ipxe(get_image_version(image)) ||
        ops->type != IMAGE_TYPE_BOOTROM ||
        (ops->subtype != IMAGE_SUBTYPE_BOOTROM_DOGWOOD && ops->subtype != IMAGE_SUBTYPE_BOOTROM_DOGWOOD2))
        return false;
    h->ih_subtype = host_to_le32(ops->subtype);
    return true;
}

} // namespace

qsupdate_image_t erase_image;

void populate_erase_image(unsigned subtype, firmware_version version)
{
    erase_header = image_header_t{};
    erase_header.ih_subtype = host_to_le32(subtype);
    erase_header.ih_code_version_a = host_to_le16(version.a);
    erase_header.ih_code_version_b = host_to_le16(version.b);
    erase_header.ih_code_version_c = host_to_le16(version.c);
    erase_header.ih_code_version_d = host_to_le16(version.d);
    erase_image = qsupdate_image_t{};
    erase_image.format = IMAGE_FORMAT_UNSIGNED;
    erase_image.raw_image = erase_raw;
    erase_image.raw_image_len = sizeof erase_raw;
    erase_image.reflash_header = &erase_header;
}

bool match_firmware(qsu_device *dev, int ops_idx, qsupdate_image_t *image, int firmware_types,
                    qsupdate_image_t **image_out)
{
    const firmware_ops *ops = all_firmware_ops[ops_idx];
    *image_out = nullptr;
    // A boot ROM image the user gives for a restore is the one put back.
    if (!image && ops->type == IMAGE_TYPE_BOOTROM && (firmware_types & OPTION_BOOTROM) &&
        (firmware_types & OPTION_RESTORE_BOOTROM)) {
        firmware_version v;
        if (bundle_meta_get_version(dev, IMAGE_TYPE_BOOTROM, &v) && !version_is_null(v)) {
            populate_erase_image(ops->subtype, v);
            *image_out = &erase_image;
            return true;
        }
    }
    if (image) {
        const image_header_t *h = image->reflash_header;
        if (h && le32_to_host(h->ih_type) == ops->type && le32_to_host(h->ih_subtype) == ops->subtype) {
            *image_out = image;
            return true;
        }
        if (h && match_ipxe_firmware(ops, image)) {
            *image_out = image;
            return true;
        }
        return false;
    }
    const int selector = type_selector(ops->type);
    if (selector == 0 || !(firmware_types & selector))
        return false;
    *image_out = &default_images[ops_idx];
    return true;
}

bool apply_version_policy(image_status *status, firmware_version inst, firmware_version new_version,
                          int options)
{
    if (version_is_null(inst) && version_is_null(new_version))
        return false;
    const int cmp = compare_versions(new_version, inst);
    const bool force = (options & OPTION_FORCE) != 0 && !version_is_null(new_version);
    status->matched = true;
    status->inst_version = inst;
    status->have_image = !version_is_null(new_version);
    if (cmp > 0 || force) {
        status->new_version = new_version;
        status->forced = force && cmp <= 0;
    }
    return true;
}

bool qsu_device_same_board(const qsu_device *dev, const qsu_device *dev2)
{
    const uint32_t a = qsu_parse_pci_addr(dev), b = qsu_parse_pci_addr(dev2);
    return a != 0xFFFFFFFFu && b != 0xFFFFFFFFu && (a >> 8) == (b >> 8);
}
