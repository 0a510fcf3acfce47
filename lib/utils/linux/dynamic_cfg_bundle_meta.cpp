// The bundle metadata: the versions of the components of the firmware
// bundle installed on a BD20 adapter, which the controller records itself.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "lib/tlv/tlv_partition.h"
#include "lib/utils/byteorder.h"
#include "lib/utils/linux/dynamic_cfg.h"
#include "lib/utils/linux/dynamic_cfg_bd20.h"
#include "lib/utils/linux/nv.h"
#include "lib/utils/linux/qsu_device.h"

static_assert(offsetof(tlv_bundle_meta_comp_ver, minor) == 2);
static_assert(offsetof(tlv_bundle_meta_comp_ver, build) == 6);

namespace {

constexpr size_t ERASED_PROBE_LEN = 8;

bool is_erased(const uint8_t *buffer, size_t size)
{
    if (size < ERASED_PROBE_LEN)
        return true;
    for (size_t i = 0; i < ERASED_PROBE_LEN; ++i)
        if (buffer[i] != 0xFF)
            return false;
    return true;
}

// The whole partition, or only its first bytes when they say it is
// erased; null when it cannot be read.
std::unique_ptr<uint8_t[]> read_bundle_metadata(qsu_device *dev, size_t *size)
{
    nv_context *nv = nv_open(dev, NV_PART_BUNDLE_METADATA, 0);
    if (!nv)
        return nullptr;
    const size_t part_size = nv_part_size(nv);
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[std::max(part_size, ERASED_PROBE_LEN)]);
    if (buffer) {
        const auto probe = static_cast<ssize_t>(std::min(part_size, ERASED_PROBE_LEN));
        bool ok = nv_read(nv, buffer.get(), static_cast<size_t>(probe), 0) == probe;
        *size = static_cast<size_t>(probe);
        if (ok && !is_erased(buffer.get(), *size)) {
            const size_t rest = part_size - *size;
            ok = nv_read(nv, buffer.get() + *size, rest, static_cast<uint32_t>(*size)) == static_cast<ssize_t>(rest);
            *size = part_size;
        }
        if (!ok)
            buffer.reset();
    }
    nv_close(nv);
    return buffer;
}

} // namespace

bool bundle_meta_get_version(qsu_device *dev, image_type_t type, firmware_version *out)
{
    if (!bd20_records_type(type))
        return false;
    uint32_t tag = TLV_TAG_BUNDLE_META_COMP_VER + nvram_part_type_from_image_type(type);
    size_t size = 0;
    std::unique_ptr<uint8_t[]> own;
    uint8_t *buffer = nullptr;
    if (dynamic_cfg_part *part = dev->dyn_context ? dev->dyn_context->part : nullptr) {
        if (!part->bundle_meta_read) {
            part->bundle_meta = read_bundle_metadata(dev, &part->bundle_meta_size).release();
            part->bundle_meta_read = true;
        }
        buffer = part->bundle_meta;
        size = part->bundle_meta_size;
    } else {
        own = read_bundle_metadata(dev, &size);
        buffer = own.get();
    }
    if (!buffer || is_erased(buffer, size))
        return false;
    nvram_partition_t partition;
    if (tlv_init_partition_from_buffer(&partition, buffer, size) != 0 ||
        tlv_find(&partition.tlv_cursor, tag) != TLV_OK ||
        tlv_length(&partition.tlv_cursor) < sizeof(tlv_bundle_meta_comp_ver))
        return false;
    const uint8_t *value = tlv_value(&partition.tlv_cursor);
    *out = {load_le16(value + offsetof(tlv_bundle_meta_comp_ver, major)),
            load_le16(value + offsetof(tlv_bundle_meta_comp_ver, minor)),
            load_le16(value + offsetof(tlv_bundle_meta_comp_ver, patch)),
            load_le16(value + offsetof(tlv_bundle_meta_comp_ver, build))};
    return true;
}

int dynamic_cfg_adopt_bundle(dynamic_cfg_context *ctx, firmware_version bundle)
{
    dynamic_cfg_part *part = ctx->part;
    if (!part->is_bd20)
        return 0;
    // The controller has rewritten the metadata, or is yet to: read afresh.
    delete[] part->bundle_meta;
    part->bundle_meta = nullptr;
    part->bundle_meta_read = false;
    firmware_version described;
    if (!bundle_meta_get_version(ctx->qsu_dev, IMAGE_TYPE_BUNDLE, &described) ||
        compare_versions(described, bundle) != 0)
        return 0;
    for (image_type_t type : {IMAGE_TYPE_MCFW, IMAGE_TYPE_BOOTROM, IMAGE_TYPE_FPGA, IMAGE_TYPE_FPGA_BACKUP,
                              IMAGE_TYPE_FCFW, IMAGE_TYPE_MUMFW, IMAGE_TYPE_UEFIROM}) {
        firmware_version version;
        if (bundle_meta_get_version(ctx->qsu_dev, type, &version)) {
            const int rc = dynamic_cfg_set_version(ctx, type, 0, version, false);
            if (rc != 0)
                return rc;
        }
    }
    return 0;
}
