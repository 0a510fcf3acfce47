// The flash of the preset adapters: which partitions each controller
// generation carries, how large they are, how fast their chips are, and
// what they hold when the lab is made.
#pragma once

#include <cstdint>
#include <string>

#include "lab/model/lab_model.h"

namespace lab {

// Partition kinds, numbered as qsupdate numbers them (10 and 14 name no
// partition).  Written down here rather than taken from its headers, so
// that a number mistyped there is caught against this one.
enum PartitionKind : unsigned {
    PART_MCFW = 0,
    PART_DYNAMIC_CFG = 1,
    PART_STATIC_CFG = 2,
    PART_BOOTROM = 3,
    PART_BOOTROM_CFG = 4,
    PART_PHY = 5,
    PART_FPGA = 6,
    PART_FCFW = 7,
    PART_CPLD = 8,
    PART_FPGA_BACKUP = 9,
    PART_MUMFW = 11,
    PART_UEFI = 12,
    PART_STATUS = 13,
    PART_DYNAMIC_CFG_DEFAULTS = 15,
    PART_BOOTROM_CFG_DEFAULTS = 16,
    PART_BUNDLE = 17,
    PART_BUNDLE_METADATA = 18,
};

constexpr uint32_t NO_MCDI_TYPE = 0xFFFFFFFF;

// "controller firmware", "boot ROM configuration", ...; "kind N" for a
// number that names no partition.
std::string partition_kind_name(unsigned kind);

// The image type a firmware partition holds, or -1 for configuration and
// status partitions.
int partition_image_type(unsigned kind);

// The management controller's partition type for a kind on a device
// (generation in bits 8-11 of the device id) and port; NO_MCDI_TYPE where
// the controller has none (and on the first generation, which has no
// management controller).
uint32_t mcdi_partition_type(uint16_t device_id, unsigned kind, unsigned port);

// A partition's id: "a1-mcfw-25", with "-p1" for one of which every port
// has its own (`port` -1 for a shared one).
std::string partition_id(unsigned number, unsigned kind, unsigned subtype, int port);

// The flash layouts of the presets.
enum class FlashLayout { alder_0703, alder_0710, birch, cedar, dogwood, dogwood2, oem };

// Gives an adapter, whose ports and VPD are set, its layout's partitions
// with their first contents; `number` counts adapters from 1 and starts
// the partition ids ("a1-mcfw-25").
void add_preset_partitions(Adapter &adapter, FlashLayout layout, unsigned number);

} // namespace lab
