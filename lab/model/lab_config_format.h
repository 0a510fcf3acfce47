// The dynamic configuration as the adapters' firmware keeps it: the item
// tags of the TLV layout (Cedar and later), the fixed-record layout of
// Birch, and where each firmware kind's version goes in either.  Written
// down here rather than taken from qsupdate's headers, so that a tag or
// index mistyped there is caught against this one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "lab/model/lab_preset_flash.h"

namespace lab {

// TLV partitions (header item, items, trailer item, END word).
constexpr uint32_t TLV_HEADER_TAG = 0xBD20DA7A;
constexpr uint32_t TLV_TRAILER_TAG = 0xBD201A57;
constexpr uint32_t TLV_END_TAG = 0xEEEEEEEE;
constexpr size_t TLV_HEADER_SIZE = 20;  // tag, length 12, type and preset, generation, total length
constexpr size_t TLV_TRAILER_SIZE = 16; // tag, length 8, generation, checksum
constexpr size_t TLV_MIN_PARTITION = TLV_HEADER_SIZE + TLV_TRAILER_SIZE + 4;
constexpr size_t TLV_GENERATION_AT = 12; // in the header; 8 in the trailer
constexpr size_t TLV_TOTAL_LENGTH_AT = 16;

constexpr uint16_t TLV_TYPE_STATIC_CONFIG = 0x0400;
constexpr uint16_t TLV_TYPE_DYNAMIC_CONFIG = 0x0500;
constexpr uint16_t TLV_TYPE_BUNDLE_METADATA = 0x1E01; // the controller's type for the partition

// Items of the TLV dynamic configuration and bundle metadata; T is the
// firmware kind's partition type.
constexpr uint32_t TAG_STATIC_VPD = 0x00030000;    // + port, in the static configuration
constexpr uint32_t TAG_PORT_VPD = 0x10030000;      // + port index (Cedar)
constexpr uint32_t TAG_GLOBAL_VPD = 0x10200000;    // Dogwood and later
constexpr uint32_t TAG_VERSION = 0x10060000;       // + T: four u16
constexpr uint32_t TAG_SUBTYPE = 0x00050000;       // + T: u32
constexpr uint32_t TAG_BUNDLE_COMPONENT = 0x50A20000; // + T: four u16
// Settings qsupdate does not know, kept by the adapter's other tools.
constexpr uint32_t TAG_LAB_SETTING = 0x20470000;

// Birch: a header, version items by a fixed index, and a dynamic VPD area
// named by the header.  The header checksum covers `length` bytes.
constexpr uint32_t BIRCH_MAGIC = 0xBDCFDDDD;
constexpr size_t BIRCH_MAGIC_AT = 0;
constexpr size_t BIRCH_LENGTH_AT = 4;  // u16
constexpr size_t BIRCH_VERSION_AT = 6; // u8
constexpr size_t BIRCH_CSUM_AT = 7;    // u8: the byte sum of `length` bytes is zero
constexpr size_t BIRCH_VPD_OFFSET_AT = 8;
constexpr size_t BIRCH_VPD_LENGTH_AT = 12;
constexpr size_t BIRCH_ITEM_COUNT_AT = 16;
constexpr size_t BIRCH_HEADER_SIZE = 20;
static_assert(BIRCH_ITEM_COUNT_AT + 4 == BIRCH_HEADER_SIZE);
constexpr size_t BIRCH_ITEM_SUBTYPE_AT = 0; // u32, then the version's four u16
constexpr size_t BIRCH_ITEM_VERSION_AT = 4;
constexpr size_t BIRCH_ITEM_SIZE = 12;
static_assert(BIRCH_ITEM_VERSION_AT + 4 * 2 == BIRCH_ITEM_SIZE);
constexpr uint32_t BIRCH_NO_SUBTYPE = 0xFFFFFFFF; // an item nothing was recorded in

// A firmware kind and where its version is recorded.
struct ConfigFirmwareKind {
    int image_type;
    unsigned partition_kind; // its flash partition, for the name
    uint16_t tlv_type;       // T; 0: not recorded in the TLV layout
    int birch_item;          // -1: not recorded on Birch; PHY: + port index
};

inline constexpr ConfigFirmwareKind CONFIG_FIRMWARE_KINDS[] = {
    {3, PART_MCFW, 0x0100, 1},
    {2, PART_BOOTROM, 0x0300, 7},
    {0, PART_PHY, 0, 10},
    {6, PART_FPGA, 0x0B00, 13},
    {7, PART_FPGA_BACKUP, 0x0B01, 14},
    {8, PART_FCFW, 0x0B02, 15},
    {10, PART_CPLD, 0, 17},
    {11, PART_MUMFW, 0x0C00, -1},
    {12, PART_UEFI, 0x0D00, -1},
    {13, PART_BUNDLE, 0x1E00, -1},
};
constexpr int IMAGE_TYPE_PHY_FIRMWARE = 0;
constexpr unsigned BIRCH_PHY_PORTS = 3; // PHY items 10 to 12, by port index

// Dynamic VPD keywords.
constexpr const char *KEY_FAMILY = "VD";
constexpr const char *KEY_FAMILY_COPY = "V0";
constexpr size_t OEM_VERSION_TEXT_MAX = 16; // subsystem vendor 0x103C

// The port index of a PCI address text: device * 8 + function.
unsigned port_index_of(const std::string &pci_addr);

} // namespace lab
