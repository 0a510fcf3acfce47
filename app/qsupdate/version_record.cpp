#include "app/qsupdate/version_record.h"

#include <cerrno>
#include <cstdio>

#include "lib/utils/linux/dynamic_cfg.h"
#include "lib/utils/linux/qsu_device.h"

namespace {

// Boot ROMs of these subtypes carry the UEFI ROM's version as their extra
// version; later boards have a UEFI ROM of their own.
constexpr unsigned LAST_BOOTROM_WITH_UEFI = IMAGE_SUBTYPE_BOOTROM_LAUREL;

void check(int rc, const qsu_device *dev)
{
    if (rc == 0)
        return;
    // The segment walk answers some refusals as plain errno values.
    if (rc > 1)
        errno = rc;
    std::perror(dev->netif_name);
}

} // namespace

void record_version(qsu_device *dev, dynamic_cfg_context *cfg, const firmware_ops *ops, firmware_version version,
                    firmware_version extra)
{
    char text[VERSION_STRING_LEN];
    char extra_text[VERSION_STRING_LEN];
    version_string(text, version, false);
    version_string(extra_text, extra, false);
    check(dynamic_cfg_set_version(cfg, static_cast<image_type_t>(ops->type), ops->subtype, version, true), dev);
    switch (ops->type) {
    case IMAGE_TYPE_MCFW:
        check(dynamic_cfg_set_oem_mcfw_version(dev, cfg, text), dev);
        break;
    case IMAGE_TYPE_BOOTROM:
        check(dynamic_cfg_set_bootrom_version(dev, cfg, text), dev);
        // An image that names no UEFI ROM version (an iPXE boot ROM, the
        // erase image of a restore) leaves the recorded one alone: the
        // word "unknown" is no version.
        if (ops->subtype <= LAST_BOOTROM_WITH_UEFI && !version_is_null(extra))
            check(dynamic_cfg_set_uefi_version(dev, cfg, extra_text), dev);
        break;
    case IMAGE_TYPE_UEFIROM:
        check(dynamic_cfg_set_uefi_version(dev, cfg, text), dev);
        break;
    case IMAGE_TYPE_BUNDLE:
        check(dynamic_cfg_adopt_bundle(cfg, version), dev);
        break;
    default:
        break;
    }
}
