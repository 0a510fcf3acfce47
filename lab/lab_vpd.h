// The bytes of a PCI VPD image: identifier string, read-only fields with
// their "RV" checksum, and the end tag.
#pragma once

#include <cstdint>
#include <vector>

#include "lab/lab_model.h"

namespace lab {

constexpr size_t VPD_ADDRESS_SPACE = 32768; // 15-bit VPD addresses

std::vector<uint8_t> build_vpd(const Vpd &vpd);

} // namespace lab
