// The fixed-record layout of the dynamic configuration (Birch and every
// controller that is not BD20): a checksummed header, an array of version
// items at fixed indices, and a dynamic VPD area named by the header.
// Each port loads its own copy; nothing is shared.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/utils/linux/dynamic_cfg.h"

inline constexpr uint32_t BIRCH_DYNAMIC_CONFIG_MAGIC = 0xBDCFDDDDu;

// One version item, little-endian in flash.
struct birch_mc_fw_version_t {
    uint32_t fw_subtype;
    uint16_t version_w;
    uint16_t version_x;
    uint16_t version_y;
    uint16_t version_z;
};
static_assert(sizeof(birch_mc_fw_version_t) == 12);
static_assert(offsetof(birch_mc_fw_version_t, version_w) == 4);
static_assert(offsetof(birch_mc_fw_version_t, version_z) == 10);

// The header at the start of the partition, followed by
// num_fw_version_items items.  Little-endian in flash, host order while
// the buffer is loaded.
typedef struct birch_mc_dynamic_config_hdr_s {
    uint32_t magic;
    uint16_t length; // bytes under the checksum: header and items
    uint8_t version; // 0 when this program makes the header
    uint8_t csum;    // makes the byte sum of the first `length` bytes zero
    uint32_t dynamic_vpd_offset;
    uint32_t dynamic_vpd_length;
    uint32_t num_fw_version_items;
} birch_mc_dynamic_config_hdr_t;
static_assert(sizeof(birch_mc_dynamic_config_hdr_t) == 20);
static_assert(offsetof(birch_mc_dynamic_config_hdr_t, length) == 4);
static_assert(offsetof(birch_mc_dynamic_config_hdr_t, version) == 6);
static_assert(offsetof(birch_mc_dynamic_config_hdr_t, csum) == 7);
static_assert(offsetof(birch_mc_dynamic_config_hdr_t, dynamic_vpd_offset) == 8);
static_assert(offsetof(birch_mc_dynamic_config_hdr_t, dynamic_vpd_length) == 12);
static_assert(offsetof(birch_mc_dynamic_config_hdr_t, num_fw_version_items) == 16);

inline constexpr size_t BIRCH_HEADER_LEN = sizeof(birch_mc_dynamic_config_hdr_t);
inline constexpr size_t BIRCH_ITEM_LEN = sizeof(birch_mc_fw_version_t);

// Item index of an image type for the port (PHY items are per port), or
// -1 for a type that has none.
int make_nvram_type(image_type_t type, const qsu_device *dev);

// Whether the buffer holds a header to trust; converts it (and, when
// accepted, its items) to host order.  A partition smaller than the
// header is never accepted.
bool birch_decode_dynamic_config(dynamic_cfg_part *part);
// An empty header (no items, no VPD area); the rest of the buffer as read.
void birch_reset_dynamic_config(dynamic_cfg_part *part);

uint8_t *birch_dyn_vpd_buffer(dynamic_cfg_context *ctx);
size_t birch_dyn_vpd_available_len(dynamic_cfg_context *ctx);
// Places the template record at the very end of the partition; -1 with
// ENOSPC when the partition has no room for it after the items.
int birch_reset_dyn_vpd(dynamic_cfg_context *ctx);

firmware_version birch_dynamic_cfg_get_version(dynamic_cfg_context *ctx, image_type_t type);
// 0, or -1 with ENOSPC (no room for the item, or a type without an index).
int birch_dynamic_cfg_set_version(dynamic_cfg_context *ctx, image_type_t type, uint32_t subtype,
                                  firmware_version version, bool set_subtype);
// 0, or -1 with EINVAL or ENOSPC.
int birch_dynamic_cfg_set_string(dynamic_cfg_context *ctx, char key1, char key2, const char *value);
// Checksums and writes the buffer; the header is back in host order after.
int birch_dynamic_cfg_sync(dynamic_cfg_context *ctx, progress_fn progress);

// The two halves of the sync around the write, for callers that store the
// bytes themselves: little-endian with the checksum set, and back.
void birch_dynamic_cfg_to_flash_order(dynamic_cfg_part *part);
void birch_dynamic_cfg_to_host_order(dynamic_cfg_part *part);
// The dynamic VPD area holds a valid record, besides a header that decodes.
bool birch_dynamic_config_is_whole(dynamic_cfg_part *part);
