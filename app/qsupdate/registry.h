// The registry of firmware kinds, in the order every walk follows.
#pragma once

#include <cstdint>

#include "lib/utils/firmware.h"
#include "lib/utils/firmware_ops.h"

constexpr int FIRMWARE_OPS_COUNT = 81;

extern const firmware_ops *const all_firmware_ops[FIRMWARE_OPS_COUNT];
// Parsed default image of each row, filled at start-up.
extern qsupdate_image_t default_images[FIRMWARE_OPS_COUNT];

// Names of an image type, untranslated: the one users read, and the short
// one of backup file names.  Null for a type that no row uses, whatever
// its number.
const char *firmware_type_user_name(uint32_t type);
const char *firmware_type_short_name(uint32_t type);

// Rows of each firmware family module.
extern const firmware_ops phy_mtd_ops[4];
extern const firmware_ops mc_birch_ops[9];
extern const firmware_ops mc_cedar_ops[11];
extern const firmware_ops mc_dogwood_ops[6];
extern const firmware_ops mc_dogwood2_ops[10];
extern const firmware_ops gpxe_ops[6];
extern const firmware_ops fpga_ops[14];
extern const firmware_ops fc_ops[2];
extern const firmware_ops cpld_ops[1];
extern const firmware_ops mum_ops[15];
extern const firmware_ops uefi_ops[1];
extern const firmware_ops bundle_ops[2];

bool tern_match_device(const firmware_ops *ops, qsu_device *dev);
bool qst1001b_match_device(const firmware_ops *ops, qsu_device *dev);
