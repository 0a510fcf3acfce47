// The fixed-record layout.  The header and items are converted to host
// order once at decode and back around each write, so that every edit in
// between works on plain fields.
#include "lib/utils/linux/dynamic_cfg_birch.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "lib/utils/byteorder.h"
#include "lib/utils/linux/dynamic_cfg_internal.h"
#include "lib/utils/linux/qsu_device.h"
#include "lib/utils/linux/vpd.h"
#include "lib/utils/qs_assert.h"

namespace {

birch_mc_dynamic_config_hdr_t load_header(const dynamic_cfg_part *part)
{
    birch_mc_dynamic_config_hdr_t h;
    std::memcpy(&h, part->buffer, sizeof h);
    return h;
}

void store_header(dynamic_cfg_part *part, const birch_mc_dynamic_config_hdr_t &h)
{
    std::memcpy(part->buffer, &h, sizeof h);
}

uint8_t *item_ptr(dynamic_cfg_part *part, size_t i)
{
    return part->buffer + BIRCH_HEADER_LEN + i * BIRCH_ITEM_LEN;
}

birch_mc_fw_version_t load_item(dynamic_cfg_part *part, size_t i)
{
    birch_mc_fw_version_t item;
    std::memcpy(&item, item_ptr(part, i), sizeof item);
    return item;
}

void store_item(dynamic_cfg_part *part, size_t i, const birch_mc_fw_version_t &item)
{
    std::memcpy(item_ptr(part, i), &item, sizeof item);
}

bool has_header(const dynamic_cfg_part *part)
{
    return part->buffer && part->buffer_size >= BIRCH_HEADER_LEN;
}

void header_to_host(birch_mc_dynamic_config_hdr_t &h)
{
    h.magic = le32_to_host(h.magic);
    h.length = le16_to_host(h.length);
    h.dynamic_vpd_offset = le32_to_host(h.dynamic_vpd_offset);
    h.dynamic_vpd_length = le32_to_host(h.dynamic_vpd_length);
    h.num_fw_version_items = le32_to_host(h.num_fw_version_items);
}

// The same swaps either way: little-endian order is its own inverse.
void header_to_le(birch_mc_dynamic_config_hdr_t &h) { header_to_host(h); }

void items_swap(dynamic_cfg_part *part, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        birch_mc_fw_version_t item = load_item(part, i);
        item.fw_subtype = le32_to_host(item.fw_subtype);
        item.version_w = le16_to_host(item.version_w);
        item.version_x = le16_to_host(item.version_x);
        item.version_y = le16_to_host(item.version_y);
        item.version_z = le16_to_host(item.version_z);
        store_item(part, i, item);
    }
}

uint8_t byte_sum(const uint8_t *bytes, size_t len)
{
    uint8_t sum = 0;
    for (size_t i = 0; i < len; ++i)
        sum = static_cast<uint8_t>(sum + bytes[i]);
    return sum;
}

// A sync erases the whole partition and then writes it from the start, so
// one that was cut off leaves every byte from the cut on erased.  Cut
// inside the items, the header's byte sum still has a chance in 256 of
// coming out right over the erased bytes; a header whose last covered
// byte and everything after it are erased is therefore not trusted.
bool write_was_cut_short(const dynamic_cfg_part *part, uint16_t length)
{
    for (size_t i = length - 1u; i < part->buffer_size; ++i)
        if (part->buffer[i] != 0xFF)
            return false;
    return true;
}

} // namespace

int make_nvram_type(image_type_t type, const qsu_device *dev)
{
    switch (type) {
    case IMAGE_TYPE_MCFW: return 1;
    case IMAGE_TYPE_BOOTROM: return 7;
    case IMAGE_TYPE_PHY: return 10 + static_cast<int>(dev->port_index);
    case IMAGE_TYPE_FPGA: return 13;
    case IMAGE_TYPE_FPGA_BACKUP: return 14;
    case IMAGE_TYPE_FCFW: return 15;
    case IMAGE_TYPE_CPLD: return 17;
    default: return -1;
    }
}

bool birch_decode_dynamic_config(dynamic_cfg_part *part)
{
    if (!has_header(part))
        return false;
    birch_mc_dynamic_config_hdr_t h = load_header(part);
    header_to_host(h);
    store_header(part, h);
    const size_t size = part->buffer_size;
    if (h.magic != BIRCH_DYNAMIC_CONFIG_MAGIC || h.length < BIRCH_HEADER_LEN || h.length > size ||
        byte_sum(part->buffer, h.length) != 0 || h.dynamic_vpd_offset < h.length ||
        h.dynamic_vpd_offset > size || h.dynamic_vpd_length > size - h.dynamic_vpd_offset ||
        h.num_fw_version_items > (h.length - BIRCH_HEADER_LEN) / BIRCH_ITEM_LEN)
        return false;
    if (write_was_cut_short(part, h.length))
        return false;
    items_swap(part, h.num_fw_version_items);
    return true;
}

void birch_reset_dynamic_config(dynamic_cfg_part *part)
{
    if (!has_header(part))
        return;
    birch_mc_dynamic_config_hdr_t h{};
    h.magic = BIRCH_DYNAMIC_CONFIG_MAGIC;
    h.length = BIRCH_HEADER_LEN;
    h.dynamic_vpd_offset = static_cast<uint32_t>(part->buffer_size);
    store_header(part, h);
}

uint8_t *birch_dyn_vpd_buffer(dynamic_cfg_context *ctx)
{
    dynamic_cfg_part *part = ctx->part;
    if (!has_header(part))
        return nullptr;
    birch_mc_dynamic_config_hdr_t h = load_header(part);
    // An empty area has no record, and its offset may be the end of the buffer.
    return h.dynamic_vpd_length ? part->buffer + h.dynamic_vpd_offset : nullptr;
}

size_t birch_dyn_vpd_available_len(dynamic_cfg_context *ctx)
{
    return has_header(ctx->part) ? load_header(ctx->part).dynamic_vpd_length : 0;
}

int birch_reset_dyn_vpd(dynamic_cfg_context *ctx)
{
    dynamic_cfg_part *part = ctx->part;
    if (!has_header(part)) {
        errno = ENOSPC;
        return -1;
    }
    birch_mc_dynamic_config_hdr_t h = load_header(part);
    // The template goes at the very end, clear of the header and items.
    if (part->buffer_size < h.length + VPD_DYNAMIC_INIT_LEN) {
        errno = ENOSPC;
        return -1;
    }
    h.dynamic_vpd_length = VPD_DYNAMIC_INIT_LEN;
    h.dynamic_vpd_offset = static_cast<uint32_t>(part->buffer_size - VPD_DYNAMIC_INIT_LEN);
    std::memcpy(part->buffer + h.dynamic_vpd_offset, vpd_dynamic_init, VPD_DYNAMIC_INIT_LEN);
    store_header(part, h);
    return 0;
}

firmware_version birch_dynamic_cfg_get_version(dynamic_cfg_context *ctx, image_type_t type)
{
    int i = make_nvram_type(type, ctx->qsu_dev);
    dynamic_cfg_part *part = ctx->part;
    if (i < 0 || !has_header(part) || static_cast<uint32_t>(i) >= load_header(part).num_fw_version_items)
        return {0, 0, 0, 0};
    birch_mc_fw_version_t item = load_item(part, static_cast<size_t>(i));
    return {item.version_w, item.version_x, item.version_y, item.version_z};
}

int birch_dynamic_cfg_set_version(dynamic_cfg_context *ctx, image_type_t type, uint32_t subtype,
                                  firmware_version version, bool set_subtype)
{
    dynamic_cfg_part *part = ctx->part;
    int index = make_nvram_type(type, ctx->qsu_dev);
    if (index < 0 || !has_header(part)) {
        errno = ENOSPC;
        return -1;
    }
    const auto i = static_cast<uint32_t>(index);
    birch_mc_dynamic_config_hdr_t h = load_header(part);
    if (i >= h.num_fw_version_items) {
        // Room for items between the header and a VPD area of this size.
        const size_t room = part->buffer_size - BIRCH_HEADER_LEN - h.dynamic_vpd_length;
        if (i >= room / BIRCH_ITEM_LEN || BIRCH_HEADER_LEN + BIRCH_ITEM_LEN * (i + 1ull) > 0xFFFF) {
            errno = ENOSPC;
            return -1;
        }
        h.length = static_cast<uint16_t>(BIRCH_HEADER_LEN + BIRCH_ITEM_LEN * (i + 1));
        if (h.length > h.dynamic_vpd_offset) {
            QS_ASSERT(h.dynamic_vpd_length <= part->buffer_size - h.length);
            std::memmove(part->buffer + h.length, part->buffer + h.dynamic_vpd_offset, h.dynamic_vpd_length);
            h.dynamic_vpd_offset = h.length;
        }
        // Unknown subtype and no version for the items in between, and
        // for the new one until it is given a subtype.
        const birch_mc_fw_version_t filler = {0xFFFFFFFFu, 0, 0, 0, 0};
        for (uint32_t n = h.num_fw_version_items; n <= i; ++n)
            store_item(part, n, filler);
        h.num_fw_version_items = i + 1;
        store_header(part, h);
    }
    birch_mc_fw_version_t item = load_item(part, i);
    if (set_subtype)
        item.fw_subtype = subtype;
    item.version_w = version.a;
    item.version_x = version.b;
    item.version_y = version.c;
    item.version_z = version.d;
    store_item(part, i, item);
    return 0;
}

int birch_dynamic_cfg_set_string(dynamic_cfg_context *ctx, char key1, char key2, const char *value)
{
    dynamic_cfg_part *part = ctx->part;
    // A damaged record is replaced too: its lengths cannot be trusted.
    const uint8_t *valid = birch_dyn_vpd_buffer(ctx);
    if ((!valid || !vpd_is_valid(valid, birch_dyn_vpd_available_len(ctx))) && birch_reset_dyn_vpd(ctx) != 0)
        return -1;
    birch_mc_dynamic_config_hdr_t h = load_header(part);
    uint8_t *record = part->buffer + h.dynamic_vpd_offset;
    if (!value) {
        vpd_delete(record, key1, key2);
        return 0;
    }
    const size_t value_len = std::strlen(value);
    const size_t used = vpd_used_len(record);
    const size_t need = used + value_len + 3;
    if (h.dynamic_vpd_length < need) {
        // Run the area to the end of the partition: as large as the value
        // needs, or as large as the header leaves.
        const size_t size = part->buffer_size;
        const size_t offset = need <= size - h.length ? size - need : h.length;
        std::memmove(part->buffer + offset, record, used);
        h.dynamic_vpd_offset = static_cast<uint32_t>(offset);
        h.dynamic_vpd_length = static_cast<uint32_t>(size - offset);
        store_header(part, h);
        record = part->buffer + offset;
    }
    return vpd_set(record, h.dynamic_vpd_length, key1, key2, value, value_len);
}

void birch_dynamic_cfg_to_flash_order(dynamic_cfg_part *part)
{
    if (!has_header(part))
        return;
    birch_mc_dynamic_config_hdr_t h = load_header(part);
    items_swap(part, h.num_fw_version_items);
    const size_t length = std::min<size_t>(h.length, part->buffer_size);
    header_to_le(h);
    store_header(part, h);
    const uint8_t sum = byte_sum(part->buffer, length);
    part->buffer[offsetof(birch_mc_dynamic_config_hdr_t, csum)] =
        static_cast<uint8_t>(part->buffer[offsetof(birch_mc_dynamic_config_hdr_t, csum)] - sum);
}

void birch_dynamic_cfg_to_host_order(dynamic_cfg_part *part)
{
    if (!has_header(part))
        return;
    birch_mc_dynamic_config_hdr_t h = load_header(part);
    header_to_host(h);
    store_header(part, h);
    items_swap(part, h.num_fw_version_items);
}

int birch_dynamic_cfg_sync(dynamic_cfg_context *ctx, progress_fn progress)
{
    dynamic_cfg_part *part = ctx->part;
    if (!part->nv || !has_header(part)) {
        errno = EBADF;
        return -1;
    }
    birch_dynamic_cfg_to_flash_order(part);
    int rc = store_dynamic_config(part, progress);
    int err = errno;
    birch_dynamic_cfg_to_host_order(part);
    errno = err;
    return rc;
}

bool birch_dynamic_config_is_whole(dynamic_cfg_part *part)
{
    if (!has_header(part))
        return false;
    const birch_mc_dynamic_config_hdr_t h = load_header(part);
    return h.dynamic_vpd_offset <= part->buffer_size &&
           h.dynamic_vpd_length <= part->buffer_size - h.dynamic_vpd_offset &&
           vpd_is_valid(part->buffer + h.dynamic_vpd_offset, h.dynamic_vpd_length);
}
