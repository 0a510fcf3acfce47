// The parts of the dynamic configuration that do not depend on its layout:
// which controllers use which layout, the version strings kept in the
// dynamic VPD and the OEM keywords, and the TLV result codes in the
// program's errno convention.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "lib/tlv/tlv.h"
#include "lib/utils/linux/dynamic_cfg.h"
#include "lib/utils/linux/dynamic_cfg_bd20.h"
#include "lib/utils/linux/dynamic_cfg_birch.h"
#include "lib/utils/linux/dynamic_cfg_internal.h"
#include "lib/utils/linux/qsu_device.h"
#include "lib/utils/linux/vpd.h"
#include "lib/utils/qs_assert.h"

namespace {

constexpr uint16_t OEM_VENDOR_103C = 0x103C;
constexpr uint16_t OEM_VENDOR_1014 = 0x1014;
// This board keeps the family version under "VD" only.
constexpr uint32_t SUBSYSTEM_NO_V0_COPY = 0x103C80ABu;

// Keyword layout inside a record: key1, key2, value length, value.
constexpr size_t KEYWORD_VALUE_LEN = 2;
constexpr size_t KEYWORD_VALUE = 3;

uint16_t subsystem_vendor(const qsu_device *dev)
{
    return static_cast<uint16_t>(dev->pci_subsystem_id >> 16);
}

// These vendors' tools read the strings into 16-character fields.  The
// text comes from an image's version, which a user's file can make as long
// as 23 characters: that is refused, not taken as a broken invariant.
constexpr size_t OEM_STRING_MAX = 16;

int set_bounded_string(dynamic_cfg_context *ctx, char key1, char key2, const char *version)
{
    if (version && std::strlen(version) > OEM_STRING_MAX) {
        errno = EINVAL;
        return -1;
    }
    return dynamic_cfg_set_string(ctx, key1, key2, version);
}

} // namespace

bool is_bd20_device(const qsu_device *dev)
{
    uint32_t type = qsu_device_type(dev);
    return type == QSU_DEVICE_TYPE_CEDAR || type == QSU_DEVICE_TYPE_DOGWOOD ||
           type == QSU_DEVICE_TYPE_DOGWOOD2;
}

bool device_has_global_vpd(const qsu_device *dev)
{
    uint32_t type = qsu_device_type(dev);
    return type == QSU_DEVICE_TYPE_DOGWOOD || type == QSU_DEVICE_TYPE_DOGWOOD2;
}

int tlv_rc_to_errno(int rc)
{
    switch (rc) {
    case TLV_OK:
        return 0;
    case TLV_NOT_FOUND:
        errno = ENOENT;
        return -1;
    case TLV_NO_SPACE:
        errno = ENOSPC;
        return -1;
    case TLV_BAD_ARG:
    case TLV_CORRUPT_BLOCK:
        errno = EINVAL;
        return -1;
    default:
        QS_ASSERT(0);
    }
    return -1;
}

int dynamic_cfg_get_string(dynamic_cfg_context *ctx, char key1, char key2, char *buf, size_t len)
{
    QS_ASSERT(buf && len > 0);
    // A port whose record could not be placed (a full partition), or whose
    // damaged record could not be replaced, has none to read: the keyword
    // is simply absent.
    const uint8_t *vpd = dyn_vpd_available_len(ctx) != 0 ? dyn_vpd_buffer(ctx) : nullptr;
    if (vpd && !vpd_is_valid(vpd, dyn_vpd_available_len(ctx)))
        vpd = nullptr;
    size_t offset = vpd ? vpd_find(vpd, key1, key2) : 0;
    if (offset == 0) {
        errno = ENOENT;
        return -1;
    }
    size_t value_len = vpd[offset + KEYWORD_VALUE_LEN];
    size_t copied = std::min(value_len, len - 1);
    std::memcpy(buf, vpd + offset + KEYWORD_VALUE, copied);
    buf[copied] = '\0';
    return static_cast<int>(value_len);
}

int dynamic_cfg_set_string(dynamic_cfg_context *ctx, char key1, char key2, const char *value)
{
    ctx->part->changed = true;
    if (ctx->part->is_bd20)
        return bd20_dynamic_cfg_set_string(ctx, key1, key2, value);
    return birch_dynamic_cfg_set_string(ctx, key1, key2, value);
}

int dynamic_cfg_set_uefi_version(qsu_device *dev, dynamic_cfg_context *ctx, const char *version)
{
    if (subsystem_vendor(dev) == OEM_VENDOR_103C)
        return set_bounded_string(ctx, 'V', '1', version);
    return 0;
}

int dynamic_cfg_set_bootrom_version(qsu_device *dev, dynamic_cfg_context *ctx, const char *version)
{
    if (subsystem_vendor(dev) == OEM_VENDOR_103C)
        return set_bounded_string(ctx, 'V', '6', version);
    return 0;
}

int dynamic_cfg_set_oem_mcfw_version(qsu_device *dev, dynamic_cfg_context *ctx, const char *version)
{
    switch (subsystem_vendor(dev)) {
    case OEM_VENDOR_103C:
        return set_bounded_string(ctx, 'V', '3', version);
    case OEM_VENDOR_1014:
        return dynamic_cfg_set_string(ctx, 'V', '1', version);
    default:
        return 0;
    }
}

int dynamic_cfg_set_family(qsu_device *dev, dynamic_cfg_context *ctx, const char *version)
{
    if (dev->pci_subsystem_id == SUBSYSTEM_NO_V0_COPY)
        return dynamic_cfg_set_string(ctx, 'V', 'D', version);
    int rc = dynamic_cfg_set_string(ctx, 'V', '0', version);
    if (rc == 0)
        rc = dynamic_cfg_set_string(ctx, 'V', 'D', version);
    return rc != 0 ? 1 : 0;
}

int dynamic_cfg_get_family(dynamic_cfg_context *ctx, char *buf, size_t len)
{
    return dynamic_cfg_get_string(ctx, 'V', 'D', buf, len);
}
