// Presets: one realistic adapter per controller generation.  Ids follow
// the maker's numbering (generation in bits 8-11 of the device id); OEM
// boards carry their buyer's subsystem vendor.
#include "lab/model/lab_presets.h"

#include <cstdio>
#include <stdexcept>

#include "lab/model/lab_preset_flash.h"

namespace lab {

namespace {

constexpr uint16_t MAKER_VENDOR_ID = 0x1B7E;

enum class SerialForm { short_sr, digits24, oem_ve };

struct Preset {
    const char *name;
    uint16_t device_id;
    uint16_t subsystem_vendor_id;
    uint16_t subsystem_device_id;
    const char *product;
    const char *part_number;
    SerialForm serial_form;
    unsigned default_ports;
    unsigned max_ports;
    int phy_type;
    const char *firmware_version;
    unsigned slot_device; // device number of the first function on its bus
    unsigned quirks;
    FlashLayout flash;
};

// PCI-X boards sit on a bridge's secondary bus at the device number their
// slot's IDSEL line gives, not at 0.
constexpr unsigned PCIX_SLOT = 0x04;

enum Quirk : unsigned {
    NONE = 0,
    // More than eight physical functions: with alternative routing-ID
    // interpretation the function number takes all eight bits, so that
    // functions 8 and up read as devices 1, 2, ... in address texts.
    ARI = 1,
    VPD_WRITABLE_FIELDS = 2, // a read-write resource after the read-only one
    VPD_END_IN_WORD = 4,     // image not padded: the end tag sits mid-word
    // Boards of the first generation went into hosts whose kernels expose
    // the whole 32 KiB VPD window in sysfs, over a 1 KiB EEPROM.
    OLD_KERNEL_VPD_WINDOW = 8,
};

const Preset PRESETS[] = {
    {"alder", 0x0703, 0x1B7E, 0x0013, "Duskhollow DA1002 Dual-Port 10GbE Adapter", "DA1002-R3",
     SerialForm::short_sr, 2, 2, 1, "1.2.5.0", PCIX_SLOT, OLD_KERNEL_VPD_WINDOW,
     FlashLayout::alder_0703},
    {"alder-0710", 0x0710, 0x103C, 0x7047, "Duskhollow DA1102 Dual-Port 10GbE Adapter",
     "DA1102-R1", SerialForm::short_sr, 2, 2, 1, "1.4.1.0", PCIX_SLOT, OLD_KERNEL_VPD_WINDOW,
     FlashLayout::alder_0710},
    {"birch", 0x0803, 0x103C, 0x3382, "Duskhollow DB2002 Dual-Port 10GbE Adapter", "DB2002-R4",
     SerialForm::short_sr, 2, 2, 2, "3.3.2.1000", 0, VPD_END_IN_WORD,
     FlashLayout::birch},
    {"cedar", 0x0903, 0x1014, 0x04B7, "Duskhollow DC4002 Dual-Port 10/40GbE Adapter",
     "DC4002-R2", SerialForm::digits24, 2, 4, 0, "4.7.1.1010", 0, VPD_WRITABLE_FIELDS,
     FlashLayout::cedar},
    // Partitioned into up to sixteen functions.
    {"dogwood", 0x0A03, 0x1B7E, 0x8010, "Duskhollow DD5004 Quad-Port 25GbE Adapter", "DD5004-R1",
     SerialForm::digits24, 2, 16, 0, "6.2.0.1016", 0, ARI | VPD_WRITABLE_FIELDS,
     FlashLayout::dogwood},
    {"dogwood2", 0x0B03, 0x1B7E, 0x8022, "Duskhollow DE6002 Dual-Port 25GbE Adapter",
     "DE6002-R2", SerialForm::digits24, 2, 4, 0, "7.4.3.1008", 0, VPD_WRITABLE_FIELDS,
     FlashLayout::dogwood2},
    {"oem", 0x0B03, 0x1B7E, 0x802C, "Halcyonpath Y3522-25G Adapter", "Y3522-25G",
     SerialForm::oem_ve, 2, 2, 0, "7.4.3.1008", 0, VPD_WRITABLE_FIELDS | VPD_END_IN_WORD,
     FlashLayout::oem},
};

const Preset &find_preset(const std::string &name)
{
    for (const Preset &p : PRESETS)
        if (name == p.name)
            return p;
    throw std::runtime_error("unknown adapter preset \"" + name + "\" (" + preset_names() + ")");
}

std::string format(const char *fmt, unsigned a, unsigned b = 0)
{
    char text[64];
    std::snprintf(text, sizeof text, fmt, a, b);
    return text;
}

// Serials differ between adapters of one lab: the sequence number is part
// of each form.
std::vector<VpdField> vpd_fields(const Preset &p, unsigned seq)
{
    std::vector<VpdField> fields = {{"PN", p.part_number}, {"EC", "A3"}};
    switch (p.serial_form) {
    case SerialForm::short_sr: // 'S' first, 'R' sixth
        fields.push_back({"SN", format("S1407R%06u", 120340 + seq)});
        break;
    case SerialForm::digits24:
        fields.push_back({"SN", format("70010024%08u%08u", 20230611, 4100 + seq)});
        break;
    case SerialForm::oem_ve: // the buyer's serial in SN, the maker's in VE
        fields.push_back({"SN", format("YX3522%04u", 17 + seq)});
        fields.push_back({"VE", format("70010024%08u%08u", 20231102, 5100 + seq)});
        break;
    }
    fields.push_back({"MN", format("%04X", p.subsystem_vendor_id)});
    return fields;
}

Interface loopback()
{
    Interface lo;
    lo.ifname = "lo";
    lo.kind = "loopback";
    lo.has_drvinfo = false; // the loopback has no driver information
    lo.mac = "00:00:00:00:00:00";
    return lo;
}

Interface onboard_nic(const std::string &ifname, const std::string &driver,
                      const std::string &version, const std::string &bus_info)
{
    Interface nic;
    nic.ifname = ifname;
    nic.kind = "ethernet";
    nic.driver = driver;
    nic.version = version;
    nic.bus_info = bus_info;
    nic.mac = "3C:EC:EF:41:0A:7E";
    nic.vendor_id = 0x8086;
    nic.device_id = 0x15B7;
    return nic;
}

} // namespace

std::string preset_names()
{
    std::string names;
    for (const Preset &p : PRESETS)
        names += (names.empty() ? "" : ", ") + std::string(p.name);
    return names;
}

LabState make_host(HostKind kind, bool driver_loaded)
{
    LabState state;
    Host &h = state.host;
    h.kind = kind;
    h.driver_loaded = driver_loaded;
    h.driver_version = "5.3.12.1004";
    switch (kind) {
    case HostKind::linux_host:
        h.kernel_release = "6.1.0-18-amd64";
        h.modules_available = {"mtdchar", "mtdblock"};
        state.interfaces = {loopback(), onboard_nic("eno1", "brindle", "6.1.0-18-amd64", "0000:00:19.0")};
        break;
    case HostKind::esx:
        h.kernel_release = "2.6.18-164.ESX";
        h.modules_available = {"mtdchar", "mtdblock"};
        state.interfaces = {loopback(), onboard_nic("eno1", "brindle", "2.4.11", "0000:00:19.0")};
        break;
    case HostKind::esxi:
        h.kernel_release = "6.7.0";
        state.interfaces = {onboard_nic("vmnic0", "nbrindle", "0.8.4", "0000:00:19.0")};
        break;
    }
    if (driver_loaded)
        h.modules_loaded.push_back("qsc");
    return state;
}

void add_preset_adapter(LabState &state, const std::string &preset, unsigned ports)
{
    const Preset &p = find_preset(preset);
    if (ports == 0)
        ports = p.default_ports;
    if (ports > p.max_ports || (ports > 8 && !(p.quirks & ARI)))
        throw std::runtime_error(preset + " adapters have at most " + std::to_string(p.max_ports) +
                                 " ports");

    unsigned seq = static_cast<unsigned>(state.adapters.size());
    unsigned existing_ports = 0;
    for (const Adapter &a : state.adapters)
        existing_ports += static_cast<unsigned>(a.ports.size());

    Adapter a;
    a.preset = preset;
    a.product = p.product;
    a.vendor_id = MAKER_VENDOR_ID;
    a.device_id = p.device_id;
    a.subsystem_vendor_id = p.subsystem_vendor_id;
    a.subsystem_device_id = p.subsystem_device_id;
    a.firmware_version = p.firmware_version;
    a.vpd.id_string = p.product;
    a.vpd.fields = vpd_fields(p, seq);
    if (p.quirks & VPD_WRITABLE_FIELDS)
        a.vpd.writable_fields = {{"YA", "ASSET-" + format("%04u", seq)}, {"V1", "boot=pxe"}};
    a.vpd.end_in_word = (p.quirks & VPD_END_IN_WORD) != 0;
    if (p.quirks & OLD_KERNEL_VPD_WINDOW) {
        a.vpd_eeprom_size = 1024;
        a.vpd_sysfs_size = 32768;
    }

    // One bus per adapter, one function per port; MAC addresses count up
    // from the adapter's base as the maker assigns them.
    bool esxi = state.host.kind == HostKind::esxi;
    for (unsigned i = 0; i < ports; ++i) {
        Port port;
        unsigned n = existing_ports + i;
        port.ifname = esxi ? format("vmnic%u", n + 1) : format("eth%u", n);
        port.mac = format("00:1B:7E:5A:%02X:%02X", 0x10 + seq, i);
        // Without ARI a device has eight functions at most; with it the
        // address text splits the function number as device.function.
        unsigned devfn = p.slot_device * 8 + i;
        port.pci_addr = format("0000:%02x:", 0x03 + seq) + format("%02x.%u", devfn / 8, devfn % 8);
        port.phy_type = p.phy_type;
        a.ports.push_back(port);
    }
    add_preset_partitions(a, p.flash, seq + 1);
    state.adapters.push_back(std::move(a));
}

} // namespace lab
