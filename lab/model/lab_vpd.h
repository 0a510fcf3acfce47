// The bytes of a PCI VPD image: identifier string, read-only fields with
// their "RV" checksum, read-write fields if any, and the end tag.
#pragma once

#include <cstdint>
#include <vector>

#include "lab/model/lab_model.h"

namespace lab {

constexpr size_t VPD_ADDRESS_SPACE = 32768; // 15-bit VPD addresses

std::vector<uint8_t> build_vpd(const Vpd &vpd);
// The adapter's VPD EEPROM, vpd_eeprom_size bytes: as written, else as built.
std::vector<uint8_t> eeprom_contents(const Adapter &adapter);
// The size of the sysfs "vpd" file: the whole window, or the VPD's own
// length as its tags give it.
size_t vpd_sysfs_size(const Adapter &adapter);
size_t vpd_length(const std::vector<uint8_t> &eeprom);

} // namespace lab
