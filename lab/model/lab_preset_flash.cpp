// Each generation's partitions as its boards carry them.  Firmware
// partitions hold a plain image of the kind and subtype a registry row of
// qsupdate looks for; the static configuration holds the VPD where the
// generation's firmware keeps it; the dynamic configuration records the
// firmware (lab_preset_config.cpp); everything else starts erased.
#include "lab/model/lab_preset_flash.h"

#include <cstdio>
#include <iterator>
#include <stdexcept>
#include <vector>

#include "lab/model/lab_image.h"
#include "lab/model/lab_preset_config.h"
#include "lab/model/lab_vpd.h"
#include "lib/utils/byteorder.h"

namespace lab {

namespace {

constexpr uint32_t KiB = 1024;
constexpr uint32_t MiB = 1024 * KiB;

struct KindInfo {
    unsigned kind;
    const char *id_name; // in partition ids
    const char *name;
    int image_type;      // -1: not a firmware partition
};

const KindInfo KINDS[] = {
    {PART_MCFW, "mcfw", "controller firmware", 3},
    {PART_DYNAMIC_CFG, "dynamic-cfg", "dynamic configuration", -1},
    {PART_STATIC_CFG, "static-cfg", "static configuration", -1},
    {PART_BOOTROM, "bootrom", "boot ROM", 2},
    {PART_BOOTROM_CFG, "bootrom-cfg", "boot ROM configuration", -1},
    {PART_PHY, "phy", "PHY firmware", 0},
    {PART_FPGA, "fpga", "FPGA bitfile", 6},
    {PART_FCFW, "fcfw", "KVE firmware", 8},
    {PART_CPLD, "cpld", "CPLD bitfile", 10},
    {PART_FPGA_BACKUP, "fpga-diag", "diagnostic FPGA bitfile", 7},
    {PART_MUMFW, "mumfw", "micro-controller firmware", 11},
    {PART_UEFI, "uefi", "UEFI ROM", 12},
    {PART_STATUS, "status", "status", -1},
    {PART_DYNAMIC_CFG_DEFAULTS, "dynamic-cfg-dflt", "dynamic configuration defaults", -1},
    {PART_BOOTROM_CFG_DEFAULTS, "bootrom-cfg-dflt", "boot ROM configuration defaults", -1},
    {PART_BUNDLE, "bundle", "bundle", 13},
    {PART_BUNDLE_METADATA, "bundle-metadata", "bundle metadata", -1},
};

const KindInfo *kind_info(unsigned kind)
{
    for (const KindInfo &k : KINDS)
        if (k.kind == kind)
            return &k;
    return nullptr;
}

// Which ports' MTD devices show a partition.
enum class Mtd {
    all_ports,
    own_port,   // one partition per port, each shown by its own port only
    first_port, // shown by port 0 only; the others reach it through the controller
    none,       // reached through the management controller only, if at all
};

struct PartSpec {
    unsigned kind;
    unsigned subtype;
    uint32_t size;
    uint32_t erase_size; // 1: an EEPROM
    Mtd mtd;
    // Firmware partitions: the image's version (ignored for controller
    // firmware, whose version is the one ethtool reports), its extra
    // version (a boot ROM's carries the UEFI ROM's), and its code size.
    const char *version = nullptr;
    const char *extra = nullptr;
    uint32_t code_size = 0;
};

// Timing of a generation's flash chip.
struct Chip {
    uint32_t block_erase_us;  // 64 KiB block
    uint32_t sector_erase_us; // 4 KiB sector
    uint32_t write_byte_ns;   // page programming, spread over its bytes
    uint32_t read_byte_ns;
};

// A serial EEPROM: written in place, a page of 32 bytes in about 5 ms,
// read at 400 kHz.
constexpr Chip EEPROM = {0, 0, 160000, 25000};

struct Layout {
    FlashLayout id;
    Chip chip;
    std::vector<PartSpec> parts;
};

// Sizes stay under 8 MiB per adapter, so that a lab of sixteen adapters
// is made in a moment.
const Layout LAYOUTS[] = {
    // Parallel NOR of the PCI-X boards.  0x0703's driver exports no
    // partition and the board has no management controller: its boot ROM
    // is there, but nothing reaches it.
    {FlashLayout::alder_0703,
     {900000, 0, 12000, 150},
     {{PART_BOOTROM, 0, 128 * KiB, 64 * KiB, Mtd::none, "2.3.1.0", nullptr, 56 * KiB}}},
    {FlashLayout::alder_0710,
     {900000, 0, 12000, 150},
     {{PART_BOOTROM, 0, 128 * KiB, 64 * KiB, Mtd::all_ports, "2.4.2.0", nullptr, 60 * KiB},
      {PART_BOOTROM_CFG, 0, 4 * KiB, 1, Mtd::all_ports}}},
    // Per-port configuration and PHY partitions; the early KVE
    // peripheral and its CPLD.
    {FlashLayout::birch,
     {800000, 0, 16000, 100},
     {{PART_MCFW, 8, 1 * MiB, 64 * KiB, Mtd::all_ports, nullptr, nullptr, 600 * KiB},
      {PART_BOOTROM, 2, 256 * KiB, 64 * KiB, Mtd::all_ports, "3.3.1.1001", nullptr, 120 * KiB},
      {PART_DYNAMIC_CFG, 0, 64 * KiB, 64 * KiB, Mtd::own_port},
      {PART_STATIC_CFG, 0, 64 * KiB, 64 * KiB, Mtd::own_port},
      {PART_BOOTROM_CFG, 0, 64 * KiB, 64 * KiB, Mtd::own_port},
      {PART_PHY, 9, 64 * KiB, 64 * KiB, Mtd::own_port, "2.0.2.5", nullptr, 24 * KiB},
      {PART_FPGA, 4, 1 * MiB, 64 * KiB, Mtd::all_ports, "1.1.0.12", nullptr, 700 * KiB},
      {PART_FPGA_BACKUP, 4, 1 * MiB, 64 * KiB, Mtd::all_ports, "1.0.0.7", nullptr, 700 * KiB},
      {PART_FCFW, 1, 256 * KiB, 64 * KiB, Mtd::all_ports, "1.2.0.3", nullptr, 150 * KiB},
      {PART_CPLD, 1, 64 * KiB, 64 * KiB, Mtd::all_ports, "1.0.0.4", nullptr, 20 * KiB}}},
    // SPI NOR of 4 KiB sectors; a boot ROM configuration per port.
    {FlashLayout::cedar,
     {0, 60000, 12000, 80},
     {{PART_MCFW, 18, 1 * MiB, 4 * KiB, Mtd::all_ports, nullptr, nullptr, 640 * KiB},
      {PART_BOOTROM, 4, 256 * KiB, 4 * KiB, Mtd::all_ports, "4.7.0.1002", "2.4.0.3", 150 * KiB},
      {PART_DYNAMIC_CFG, 0, 64 * KiB, 4 * KiB, Mtd::all_ports},
      {PART_STATIC_CFG, 0, 64 * KiB, 4 * KiB, Mtd::all_ports},
      {PART_BOOTROM_CFG, 0, 64 * KiB, 4 * KiB, Mtd::own_port},
      {PART_MUMFW, 2, 128 * KiB, 4 * KiB, Mtd::all_ports, "1.4.0.9", nullptr, 60 * KiB}}},
    // The UEFI ROM and the status partition arrive; the later KVE
    // peripheral.
    {FlashLayout::dogwood,
     {600000, 45000, 10000, 50},
     {{PART_MCFW, 32, 1536 * KiB, 64 * KiB, Mtd::all_ports, nullptr, nullptr, 900 * KiB},
      {PART_BOOTROM, 6, 256 * KiB, 64 * KiB, Mtd::all_ports, "6.2.0.1004", nullptr, 160 * KiB},
      {PART_UEFI, 0, 512 * KiB, 64 * KiB, Mtd::all_ports, "2.6.1.2", nullptr, 300 * KiB},
      {PART_DYNAMIC_CFG, 0, 64 * KiB, 64 * KiB, Mtd::all_ports},
      {PART_STATIC_CFG, 0, 64 * KiB, 64 * KiB, Mtd::all_ports},
      {PART_BOOTROM_CFG, 0, 64 * KiB, 64 * KiB, Mtd::all_ports},
      {PART_STATUS, 0, 64 * KiB, 64 * KiB, Mtd::all_ports},
      {PART_MUMFW, 5, 128 * KiB, 64 * KiB, Mtd::all_ports, "2.1.0.14", nullptr, 64 * KiB},
      {PART_FPGA, 7, 1 * MiB, 64 * KiB, Mtd::all_ports, "2.3.0.40", nullptr, 760 * KiB},
      {PART_FPGA_BACKUP, 7, 1 * MiB, 64 * KiB, Mtd::all_ports, "2.2.0.31", nullptr, 760 * KiB},
      {PART_FCFW, 2, 256 * KiB, 64 * KiB, Mtd::all_ports, "2.0.4.1", nullptr, 180 * KiB}}},
    // Factory defaults, bundles; the status partition is shown by the
    // first port only and the bundle metadata by none.
    {FlashLayout::dogwood2,
     {450000, 45000, 8000, 40},
     {{PART_MCFW, 37, 2 * MiB, 64 * KiB, Mtd::all_ports, nullptr, nullptr, 1100 * KiB},
      {PART_BOOTROM, 7, 256 * KiB, 64 * KiB, Mtd::all_ports, "7.4.1.1003", nullptr, 170 * KiB},
      {PART_UEFI, 0, 512 * KiB, 64 * KiB, Mtd::all_ports, "3.1.0.6", nullptr, 320 * KiB},
      {PART_DYNAMIC_CFG, 0, 64 * KiB, 64 * KiB, Mtd::all_ports},
      {PART_STATIC_CFG, 0, 64 * KiB, 64 * KiB, Mtd::all_ports},
      {PART_BOOTROM_CFG, 0, 64 * KiB, 64 * KiB, Mtd::all_ports},
      {PART_DYNAMIC_CFG_DEFAULTS, 0, 64 * KiB, 64 * KiB, Mtd::all_ports},
      {PART_BOOTROM_CFG_DEFAULTS, 0, 64 * KiB, 64 * KiB, Mtd::all_ports},
      {PART_STATUS, 0, 4 * KiB, 4 * KiB, Mtd::first_port},
      {PART_BUNDLE, 2, 3 * MiB, 64 * KiB, Mtd::all_ports, "7.4.3.1008", nullptr, 1600 * KiB},
      {PART_BUNDLE_METADATA, 0, 64 * KiB, 4 * KiB, Mtd::none},
      {PART_MUMFW, 10, 128 * KiB, 64 * KiB, Mtd::all_ports, "3.0.2.5", nullptr, 72 * KiB},
      {PART_FPGA, 2, 512 * KiB, 64 * KiB, Mtd::all_ports, "1.3.0.2", nullptr, 280 * KiB}}},
    {FlashLayout::oem,
     {450000, 45000, 8000, 40},
     {{PART_MCFW, 42, 2 * MiB, 64 * KiB, Mtd::all_ports, nullptr, nullptr, 1100 * KiB},
      {PART_BOOTROM, 7, 256 * KiB, 64 * KiB, Mtd::all_ports, "7.4.1.1003", nullptr, 170 * KiB},
      {PART_UEFI, 0, 512 * KiB, 64 * KiB, Mtd::all_ports, "3.1.0.6", nullptr, 320 * KiB},
      {PART_DYNAMIC_CFG, 0, 64 * KiB, 64 * KiB, Mtd::all_ports},
      {PART_STATIC_CFG, 0, 64 * KiB, 64 * KiB, Mtd::all_ports},
      {PART_BOOTROM_CFG, 0, 64 * KiB, 64 * KiB, Mtd::all_ports},
      {PART_DYNAMIC_CFG_DEFAULTS, 0, 64 * KiB, 64 * KiB, Mtd::all_ports},
      {PART_BOOTROM_CFG_DEFAULTS, 0, 64 * KiB, 64 * KiB, Mtd::all_ports},
      {PART_STATUS, 0, 4 * KiB, 4 * KiB, Mtd::first_port},
      {PART_BUNDLE, 1, 3 * MiB, 64 * KiB, Mtd::all_ports, "7.4.3.1008", nullptr, 1600 * KiB},
      {PART_BUNDLE_METADATA, 0, 64 * KiB, 4 * KiB, Mtd::none},
      {PART_MUMFW, 3, 128 * KiB, 64 * KiB, Mtd::all_ports, "3.0.1.9", nullptr, 72 * KiB}}},
};

const Layout &find_layout(FlashLayout id)
{
    for (const Layout &l : LAYOUTS)
        if (l.id == id)
            return l;
    throw std::logic_error("no flash layout for this preset");
}

std::vector<uint8_t> firmware_image(const PartSpec &s, const std::string &version)
{
    PlainImageRequest r;
    r.type = static_cast<uint32_t>(partition_image_type(s.kind));
    r.subtype = s.subtype;
    std::array<unsigned, 4> v = parse_version(version, 0x10000);
    for (size_t i = 0; i < 4; ++i)
        r.version[i] = static_cast<uint16_t>(v[i]);
    if (s.extra) {
        std::array<unsigned, 4> e = parse_version(s.extra, 0x100);
        for (size_t i = 0; i < 4; ++i)
            r.extra[i] = static_cast<uint8_t>(e[i]);
    }
    r.code_size = s.code_size;
    return build_plain_image(r);
}

void put_le32(std::vector<uint8_t> &out, uint32_t value)
{
    out.resize(out.size() + 4);
    store_le32(&out[out.size() - 4], value);
}

// Birch: a header whose words at bytes 8 and 12 give the VPD's offset and
// length (the words before them are not read by qsupdate and stay zero).
constexpr uint32_t BIRCH_STATIC_VPD_OFFSET = 64;

std::vector<uint8_t> birch_static_config(const std::vector<uint8_t> &vpd)
{
    std::vector<uint8_t> out;
    put_le32(out, 0);
    put_le32(out, 0);
    put_le32(out, BIRCH_STATIC_VPD_OFFSET);
    put_le32(out, static_cast<uint32_t>(vpd.size()));
    out.resize(BIRCH_STATIC_VPD_OFFSET, 0);
    out.insert(out.end(), vpd.begin(), vpd.end());
    return out;
}

std::string id_of(unsigned number, const KindInfo &kind, unsigned subtype, const Mtd mtd, unsigned port)
{
    char text[64];
    std::snprintf(text, sizeof text, "a%u-%s-%02x", number, kind.id_name, subtype);
    std::string id = text;
    return mtd == Mtd::own_port ? id + "-p" + std::to_string(port) : id;
}

} // namespace

std::string partition_kind_name(unsigned kind)
{
    const KindInfo *k = kind_info(kind);
    return k ? k->name : "kind " + std::to_string(kind);
}

int partition_image_type(unsigned kind)
{
    const KindInfo *k = kind_info(kind);
    return k ? k->image_type : -1;
}

std::string partition_id(unsigned number, unsigned kind, unsigned subtype, int port)
{
    const KindInfo *k = kind_info(kind);
    if (!k)
        throw std::logic_error("no partition kind " + std::to_string(kind));
    return id_of(number, *k, subtype, port < 0 ? Mtd::all_ports : Mtd::own_port,
                 port < 0 ? 0u : static_cast<unsigned>(port));
}

uint32_t mcdi_partition_type(uint16_t device_id, unsigned kind, unsigned port)
{
    const unsigned generation = device_id & 0x0F00u;
    if (generation == 0x0700)
        return NO_MCDI_TYPE;
    if (generation >= 0x0900) {
        switch (kind) {
        case PART_MCFW: return 0x100;
        case PART_DYNAMIC_CFG: return 0x500;
        case PART_STATIC_CFG: return 0x400;
        case PART_BOOTROM: return 0x300;
        case PART_BOOTROM_CFG: return generation == 0x0900 ? 0x600 + port : 0x600;
        case PART_FPGA: return 0xB00;
        case PART_FCFW: return 0xB02;
        case PART_FPGA_BACKUP: return 0xB01;
        case PART_MUMFW: return 0xC00;
        case PART_UEFI: return 0xD00;
        case PART_STATUS: return 0x1600;
        case PART_DYNAMIC_CFG_DEFAULTS: return 0x1B00;
        case PART_BOOTROM_CFG_DEFAULTS: return 0x1C00;
        case PART_BUNDLE: return 0x1E00;
        case PART_BUNDLE_METADATA: return 0x1E01;
        default: return NO_MCDI_TYPE;
        }
    }
    switch (kind) {
    case PART_MCFW: return 1;
    case PART_DYNAMIC_CFG: return 5 + port;
    case PART_STATIC_CFG: return 3 + port;
    case PART_BOOTROM: return 7;
    case PART_BOOTROM_CFG: return 8 + port;
    case PART_PHY: return 10 + port;
    case PART_FPGA: return 13;
    case PART_FCFW: return 15;
    case PART_CPLD: return 17;
    case PART_FPGA_BACKUP: return 14;
    default: return NO_MCDI_TYPE;
    }
}

void add_preset_partitions(Adapter &adapter, FlashLayout id, unsigned number)
{
    const Layout &layout = find_layout(id);
    const std::vector<uint8_t> vpd = build_vpd(adapter.vpd);
    std::vector<FlashFirmware> firmware;
    for (const PartSpec &s : layout.parts) {
        const KindInfo &kind = *kind_info(s.kind);
        size_t copies = s.mtd == Mtd::own_port ? adapter.ports.size() : 1;
        for (unsigned port = 0; port < copies; ++port) {
            Partition p;
            p.id = id_of(number, kind, s.subtype, s.mtd, port);
            p.kind = s.kind;
            p.subtype = s.subtype;
            p.size = s.size;
            p.erase_size = s.erase_size;
            p.mcdi_type = mcdi_partition_type(adapter.device_id, s.kind, port);
            p.mtd_all_ports = s.mtd == Mtd::all_ports;
            if (s.mtd == Mtd::own_port)
                p.mtd_ports = {port};
            else if (s.mtd == Mtd::first_port)
                p.mtd_ports = {0};
            const Chip &chip = s.erase_size == 1 ? EEPROM : layout.chip;
            p.erase_block_us = s.erase_size == 64 * KiB  ? chip.block_erase_us
                               : s.erase_size == 4 * KiB ? chip.sector_erase_us
                                                         : 0;
            p.write_byte_ns = chip.write_byte_ns;
            p.read_byte_ns = chip.read_byte_ns;
            if (kind.image_type >= 0) {
                const std::string version = s.kind == PART_MCFW ? adapter.firmware_version : s.version;
                p.initial_contents = firmware_image(s, version);
                firmware.push_back({kind.image_type, s.subtype, version,
                                    s.mtd == Mtd::own_port ? static_cast<int>(port) : -1});
            } else if (s.kind == PART_STATIC_CFG) {
                p.initial_contents = (adapter.device_id & 0x0F00u) == 0x0800
                                         ? birch_static_config(vpd)
                                         : bd20_static_config(vpd, adapter.ports.size(), s.size);
            }
            adapter.partitions.push_back(std::move(p));
        }
    }
    // Bundles reach the OEM board whole, so its metadata names their
    // components; the maker's own board has been updated kind by kind,
    // which leaves the metadata erased and its versions in the dynamic
    // configuration.
    fill_preset_configs(adapter, firmware, id == FlashLayout::oem);
    for (const Partition &p : adapter.partitions)
        if (p.initial_contents.size() > p.size)
            throw std::logic_error(p.id + ": contents larger than the partition");
}

} // namespace lab
