// The TLV layout of the dynamic configuration on BD20 controllers: one or
// more TLV partitions (segments) back to back, the first of type 0x0500.
// Version and subtype items are kept in every segment; the dynamic VPD
// items live in the first.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/utils/linux/dynamic_cfg.h"

inline constexpr uint32_t TLV_TAG_PF_DYNAMIC_VPD = 0x10030000u;     // + port index (Cedar)
inline constexpr uint32_t TLV_TAG_GLOBAL_DYNAMIC_VPD = 0x10200000u; // Dogwood, Dogwood2
inline constexpr uint32_t TLV_TAG_PARTITION_VERSION = 0x10060000u;  // + partition type
inline constexpr uint32_t TLV_TAG_PARTITION_SUBTYPE = 0x00050000u;  // + partition type
inline constexpr uint32_t TLV_TAG_BUNDLE_META_COMP_VER = 0x50A20000u; // + partition type

// Bundle metadata item: a component's version.
struct tlv_bundle_meta_comp_ver {
    uint16_t major;
    uint16_t minor;
    uint16_t patch;
    uint16_t build;
};
static_assert(sizeof(tlv_bundle_meta_comp_ver) == 8);

// The controller's partition type of an image type; an image type BD20
// boards do not carry is a programming error.
uint16_t nvram_part_type_from_image_type(image_type_t type);
// Whether BD20 boards record versions of the image type at all: a
// partition the driver shows of another kind has none.
bool bd20_records_type(image_type_t type);
// TLV result code to 0, or -1 with errno.
int tlv_rc_to_errno(int rc);

// Whether the first segment is a valid TLV partition (a damaged one is
// reported on standard output).
bool bd20_validate_dynamic_config(dynamic_cfg_part *part);
// An empty configuration over the whole buffer, two generations above the
// damaged one's.
void bd20_reset_dynamic_config(dynamic_cfg_part *part);

uint32_t dyn_vpd_tag(const qsu_device *dev);
uint8_t *bd20_dyn_vpd_buffer(dynamic_cfg_context *ctx);
size_t bd20_dyn_vpd_available_len(dynamic_cfg_context *ctx);
// Replaces the port's dynamic VPD item by the template; -1 with errno.
int bd20_reset_dyn_vpd(dynamic_cfg_context *ctx);

// What the first segment records, without asking the bundle metadata.
firmware_version bd20_dynamic_cfg_get_version(dynamic_cfg_context *ctx, image_type_t type);
int bd20_dynamic_cfg_set_version(dynamic_cfg_context *ctx, image_type_t type, uint32_t subtype,
                                 firmware_version version, bool set_subtype);
int bd20_dynamic_cfg_set_string(dynamic_cfg_context *ctx, char key1, char key2, const char *value);
int bd20_dynamic_cfg_sync(dynamic_cfg_context *ctx, progress_fn progress);
// Every segment that the chain holds validates, not only the first.
bool bd20_dynamic_config_is_whole(dynamic_cfg_part *part);
