// The steps of the open and the per-layout dispatch, shared by the open,
// the string and keyword operations and the tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/utils/linux/dynamic_cfg.h"

// Decode, and rebuild in memory what does not decode.
bool decode_dynamic_config(dynamic_cfg_part *part);
// What decodes holds no damage besides: no later segment cut short, a
// dynamic VPD that reads.
bool dynamic_config_is_whole(dynamic_cfg_part *part);
void reset_dynamic_config(dynamic_cfg_part *part);
// Both, for a part just read: 0, or -1 with ENOSPC when the partition
// cannot hold even an empty configuration of its layout.
int prepare_dynamic_config(dynamic_cfg_part *part);
// Writes the whole buffer (in flash order) with a full erase, as a sync
// does: a copy first, the write tried again before giving up, the copy
// removed once the partition holds it.  0, or -1 with errno.
int store_dynamic_config(dynamic_cfg_part *part, progress_fn progress);
// Gives the context a reference on the part and the port a usable dynamic
// VPD record when there is room for one.
void attach_dynamic_config(dynamic_cfg_context *ctx, dynamic_cfg_part *part);

// The context's dynamic VPD record (null when it has none) and the room
// for it (0 without a buffer).
uint8_t *dyn_vpd_buffer(dynamic_cfg_context *ctx);
size_t dyn_vpd_available_len(dynamic_cfg_context *ctx);
int reset_dyn_vpd(dynamic_cfg_context *ctx);
