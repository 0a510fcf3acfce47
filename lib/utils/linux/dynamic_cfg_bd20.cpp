// The BD20 layout of the dynamic configuration.  The controller may keep
// more than one TLV partition (segment) back to back in the flash
// partition; versions are written into every segment so that whichever
// copy it trusts agrees, and read from the first.
#include "lib/utils/linux/dynamic_cfg_bd20.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "lib/tlv/tlv_partition.h"
#include "lib/utils/byteorder.h"
#include "lib/utils/linux/dynamic_cfg_internal.h"
#include "lib/utils/linux/qsu_device.h"
#include "lib/utils/linux/vpd.h"
#include "lib/utils/qs_assert.h"

namespace {

constexpr size_t HEADER_GENERATION = offsetof(tlv_partition_header, generation);
constexpr size_t HEADER_TOTAL_LENGTH = offsetof(tlv_partition_header, total_length);
constexpr size_t VERSION_ITEM_LEN = 8;

// The segment walk's own results, returned as they are.
constexpr int SEGMENT_REFUSED_NOT_A_PARTITION = EINVAL;
constexpr int SEGMENT_REFUSED_TOO_LONG = ENOSPC;

// The first segment, loaded over the whole buffer; 0 or a TLV code.
int load_first_segment(dynamic_cfg_part *part, nvram_partition_t *partition)
{
    if (!part->buffer) {
        *partition = nvram_partition_t{};
        return TLV_NOT_FOUND;
    }
    return tlv_init_partition_from_buffer(partition, part->buffer, part->buffer_size);
}

// Loads the segment at `segment`, of which `remaining` bytes run to the end
// of the buffer: 0, the refusals 28 (it claims more than is left) and 22
// (it is no partition), or -1 with ENOENT (a damaged partition).
int dynamic_cfg_init_segment(nvram_partition_t *partition, uint8_t *segment, size_t remaining)
{
    if (remaining < sizeof(tlv_partition_header) || load_le32(segment + HEADER_TOTAL_LENGTH) > remaining)
        return SEGMENT_REFUSED_TOO_LONG;
    if (load_le32(segment) != TLV_TAG_PARTITION_HEADER)
        return SEGMENT_REFUSED_NOT_A_PARTITION;
    return tlv_rc_to_errno(tlv_init_partition_from_buffer(partition, segment, remaining));
}

// Applies `change` (0, or -1 with errno) to every segment.  A refused first
// segment fails the whole write; the walk ends quietly at the first later
// segment that is refused, which is where the chain ends.
template <typename Change>
int walk_segments(dynamic_cfg_part *part, Change change)
{
    uint8_t *segment = part->buffer;
    size_t remaining = part->buffer_size;
    for (bool first = true;; first = false) {
        nvram_partition_t partition;
        int rc = dynamic_cfg_init_segment(&partition, segment, remaining);
        if (rc != 0)
            return first ? rc : 0;
        rc = change(&partition);
        if (rc != 0)
            return rc;
        uint32_t total_length = load_le32(segment + HEADER_TOTAL_LENGTH);
        if (total_length >= remaining)
            return SEGMENT_REFUSED_TOO_LONG;
        segment += total_length;
        remaining -= total_length;
    }
}

} // namespace

namespace {

// The controller's partition type of a kind BD20 boards carry, or -1.
int part_type_of(image_type_t type)
{
    switch (type) {
    case IMAGE_TYPE_MCFW: return NVRAM_PARTITION_TYPE_MC_FIRMWARE;
    case IMAGE_TYPE_BOOTROM: return NVRAM_PARTITION_TYPE_EXPANSION_ROM;
    case IMAGE_TYPE_FPGA: return 0x0B00;
    case IMAGE_TYPE_FPGA_BACKUP: return 0x0B01;
    case IMAGE_TYPE_FCFW: return 0x0B02;
    case IMAGE_TYPE_MUMFW: return 0x0C00;
    case IMAGE_TYPE_UEFIROM: return 0x0D00;
    case IMAGE_TYPE_BUNDLE: return 0x1E00;
    default: return -1;
    }
}

} // namespace

uint16_t nvram_part_type_from_image_type(image_type_t type)
{
    const int part_type = part_type_of(type);
    if (part_type < 0)
        QS_ASSERT(!"ERROR: Unhandled image type");
    return static_cast<uint16_t>(part_type);
}

bool bd20_records_type(image_type_t type)
{
    return part_type_of(type) >= 0;
}

bool bd20_validate_dynamic_config(dynamic_cfg_part *part)
{
    nvram_partition_t partition;
    return load_first_segment(part, &partition) == 0;
}

void bd20_reset_dynamic_config(dynamic_cfg_part *part)
{
    // The new configuration must outrank the damaged one, whose generation
    // the controller may have seen.
    uint32_t generation = 0;
    if (part->buffer_size >= sizeof(tlv_partition_header) &&
        load_le32(part->buffer) == TLV_TAG_PARTITION_HEADER)
        generation = load_le32(part->buffer + HEADER_GENERATION);
    int rc = tlv_init_dynamic_config_buf(part->buffer, static_cast<uint32_t>(part->buffer_size));
    QS_ASSERT(rc == 0);
    nvram_partition_t partition;
    rc = load_first_segment(part, &partition);
    QS_ASSERT(rc == 0);
    rc = tlv_set_partition_generation(&partition, generation + 1);
    QS_ASSERT(rc == 0);
}

uint32_t dyn_vpd_tag(const qsu_device *dev)
{
    if (device_has_global_vpd(dev))
        return TLV_TAG_GLOBAL_DYNAMIC_VPD;
    return TLV_TAG_PF_DYNAMIC_VPD + dev->port_index;
}

namespace {

// The first segment with its cursor on the port's dynamic VPD item, or false.
bool find_dyn_vpd_item(dynamic_cfg_context *ctx, nvram_partition_t *partition)
{
    return load_first_segment(ctx->part, partition) == 0 &&
           tlv_find(&partition->tlv_cursor, dyn_vpd_tag(ctx->qsu_dev)) == TLV_OK;
}

} // namespace

uint8_t *bd20_dyn_vpd_buffer(dynamic_cfg_context *ctx)
{
    nvram_partition_t partition;
    return find_dyn_vpd_item(ctx, &partition) ? tlv_value(&partition.tlv_cursor) : nullptr;
}

size_t bd20_dyn_vpd_available_len(dynamic_cfg_context *ctx)
{
    nvram_partition_t partition;
    return find_dyn_vpd_item(ctx, &partition) ? tlv_length(&partition.tlv_cursor) : 0;
}

int bd20_reset_dyn_vpd(dynamic_cfg_context *ctx)
{
    uint32_t tag = dyn_vpd_tag(ctx->qsu_dev);
    nvram_partition_t partition;
    int rc = load_first_segment(ctx->part, &partition);
    if (rc != 0)
        return tlv_rc_to_errno(rc);
    rc = tlv_find(&partition.tlv_cursor, tag);
    if (rc == TLV_OK)
        rc = tlv_delete_from_partition(&partition.tlv_cursor);
    else if (rc == TLV_NOT_FOUND)
        rc = TLV_OK;
    if (rc == TLV_OK)
        rc = tlv_append_to_partition(&partition, tag, vpd_dynamic_init, VPD_DYNAMIC_INIT_LEN);
    if (rc != TLV_OK)
        return tlv_rc_to_errno(rc);
    rc = tlv_find(&partition.tlv_cursor, tag);
    QS_ASSERT(rc == 0);
    return 0;
}

firmware_version bd20_dynamic_cfg_get_version(dynamic_cfg_context *ctx, image_type_t type)
{
    // A kind these boards do not carry (a partition the driver shows for
    // one all the same) has nothing recorded; it must not stop the run.
    if (part_type_of(type) < 0)
        return {};
    uint32_t tag = TLV_TAG_PARTITION_VERSION + nvram_part_type_from_image_type(type);
    nvram_partition_t partition;
    // A value too short to hold a version records none.
    if (load_first_segment(ctx->part, &partition) != 0 || tlv_find(&partition.tlv_cursor, tag) != TLV_OK ||
        tlv_length(&partition.tlv_cursor) < VERSION_ITEM_LEN)
        return {};
    const uint8_t *value = tlv_value(&partition.tlv_cursor);
    return {load_le16(value), load_le16(value + 2), load_le16(value + 4), load_le16(value + 6)};
}

int bd20_dynamic_cfg_set_version(dynamic_cfg_context *ctx, image_type_t type, uint32_t subtype,
                                 firmware_version version, bool set_subtype)
{
    if (part_type_of(type) < 0) {
        errno = EINVAL;
        return -1;
    }
    uint16_t part_type = nvram_part_type_from_image_type(type);
    uint8_t version_value[VERSION_ITEM_LEN];
    store_le16(version_value, version.a);
    store_le16(version_value + 2, version.b);
    store_le16(version_value + 4, version.c);
    store_le16(version_value + 6, version.d);
    uint8_t subtype_value[sizeof(uint32_t)];
    store_le32(subtype_value, subtype);

    return walk_segments(ctx->part, [&](nvram_partition_t *partition) {
        int rc = tlv_update_or_append_to_partition(partition, TLV_TAG_PARTITION_VERSION + part_type,
                                                   version_value, sizeof version_value);
        if (rc == TLV_OK && set_subtype)
            rc = tlv_update_or_append_to_partition(partition, TLV_TAG_PARTITION_SUBTYPE + part_type,
                                                   subtype_value, sizeof subtype_value);
        return tlv_rc_to_errno(rc);
    });
}

int bd20_dynamic_cfg_set_string(dynamic_cfg_context *ctx, char key1, char key2, const char *value)
{
    // A damaged record is replaced too: its length cannot be trusted.
    const uint8_t *record = bd20_dyn_vpd_buffer(ctx);
    if (!record || !vpd_is_valid(record, bd20_dyn_vpd_available_len(ctx))) {
        if (bd20_reset_dyn_vpd(ctx) != 0)
            return -1;
        record = bd20_dyn_vpd_buffer(ctx);
    }
    size_t used = vpd_used_len(record);

    // The keyword is edited in a copy, so that a refused edit leaves every
    // segment as it was.
    size_t value_len = value ? std::strlen(value) : 0;
    size_t room = value ? used + value_len + 3 : used;
    uint8_t *copy = static_cast<uint8_t *>(std::malloc(room));
    if (!copy) {
        errno = ENOMEM;
        return -1;
    }
    std::memcpy(copy, record, used);
    if (value) {
        if (vpd_set(copy, room, key1, key2, value, value_len) != 0) {
            int err = errno;
            std::free(copy);
            errno = err;
            return -1;
        }
    } else {
        vpd_delete(copy, key1, key2);
    }

    uint32_t tag = dyn_vpd_tag(ctx->qsu_dev);
    int rc = walk_segments(ctx->part, [&](nvram_partition_t *partition) {
        int tlv_rc = tlv_find(&partition->tlv_cursor, tag);
        if (tlv_rc == TLV_OK)
            tlv_rc = tlv_modify_in_partition(&partition->tlv_cursor, copy, vpd_used_len(copy));
        return tlv_rc_to_errno(tlv_rc);
    });
    int err = errno;
    std::free(copy);
    errno = err;
    return rc;
}

int bd20_dynamic_cfg_sync(dynamic_cfg_context *ctx, progress_fn progress)
{
    dynamic_cfg_part *part = ctx->part;
    nvram_partition_t partition;
    int rc = load_first_segment(part, &partition);
    if (rc == 0)
        rc = tlv_increment_partition_generation(&partition);
    if (rc != 0)
        return tlv_rc_to_errno(rc);
    // A buffer with no partition behind it is only brought up to date.
    if (!part->nv)
        return 0;
    return store_dynamic_config(part, progress);
}

bool bd20_dynamic_config_is_whole(dynamic_cfg_part *part)
{
    uint8_t *segment = part->buffer;
    size_t remaining = part->buffer_size;
    for (;;) {
        nvram_partition_t partition;
        if (dynamic_cfg_init_segment(&partition, segment, remaining) != 0)
            // The chain ends where no further segment starts; one that
            // starts and does not validate was cut or damaged.
            return segment != part->buffer &&
                   (remaining < sizeof(uint32_t) || load_le32(segment) != TLV_TAG_PARTITION_HEADER);
        const uint32_t total_length = load_le32(segment + HEADER_TOTAL_LENGTH);
        if (total_length >= remaining)
            return true;
        segment += total_length;
        remaining -= total_length;
    }
}
