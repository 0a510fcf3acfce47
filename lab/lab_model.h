// The description of a simulated host: what lab.json holds.  Everything the
// lab shows to qsupdate is derived from this record, and everything
// qsupdate changes on the host is written back into it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lab/lab_faults.h"

namespace lab {

enum class HostKind { linux_host, esx, esxi };

struct VpdField {
    std::string keyword; // two characters, e.g. "SN"
    std::string value;
};

// A PCI VPD image as the adapter's EEPROM holds it.
struct Vpd {
    bool present = true;
    std::string id_string;
    std::vector<VpdField> fields;          // read-only resource, checksum added
    std::vector<VpdField> writable_fields; // read-write resource, if any
    bool end_tag = true;
    bool end_in_word = false; // end tag mid-word rather than padded to a word's start
};

// What the PCI configuration space of the adapter's functions offers.
struct ConfigSpace {
    bool openable = true;        // false: open fails with EACCES
    bool capability_list = true; // status register bit 4
    bool vpd_capability = true;
    int vpd_polls = 2; // address-register reads until the flag is set
};

struct Port {
    std::string ifname;
    std::string mac; // "00:1B:7E:5A:10:00"
    std::string pci_addr;
    int phy_type = 0;
    bool up = true;
    int phy_flash_cfg = 0;
};

struct Adapter {
    std::string preset;
    std::string product;
    uint16_t vendor_id = 0;
    uint16_t device_id = 0;
    uint16_t subsystem_vendor_id = 0;
    uint16_t subsystem_device_id = 0;
    std::string firmware_version; // ethtool's fw_version
    Vpd vpd;
    // The EEPROM behind the VPD capability: its size (addresses past it are
    // never answered), whether it takes writes, and its bytes once written
    // (empty: as built from `vpd`).
    unsigned vpd_eeprom_size = 32768;
    bool vpd_writable = false;
    std::vector<uint8_t> eeprom;
    bool vpd_sysfs = true;     // the sysfs "vpd" file exists
    // Size of that file: 0 for the VPD's own length (kernels that size it
    // from its tags), 32768 for the whole window older kernels expose.
    unsigned vpd_sysfs_size = 0;
    bool proc_bus_pci = true;  // "/proc/bus/pci" holds its headers
    ConfigSpace config;
    std::vector<Port> ports;
};

// A network interface of another driver, the loopback or a VLAN.
struct Interface {
    std::string ifname;
    std::string kind;     // "loopback", "ethernet" or "vlan"
    bool has_drvinfo = true; // false: ETHTOOL_GDRVINFO gives EOPNOTSUPP
    std::string driver;
    std::string version;
    std::string bus_info;
    std::string mac;
    bool up = true;
    std::string lower;    // VLAN: the interface it sits on
    int vlan_id = 0;
    uint16_t vendor_id = 0; // PCI interfaces only
    uint16_t device_id = 0;
};

// A device node under one of the mapped prefixes.
struct DeviceNode {
    std::string path;
    bool block = false;
    unsigned major = 0;
    unsigned minor = 0;
    unsigned mode = 0600;
};

struct Host {
    HostKind kind = HostKind::linux_host;
    std::string hostname = "lab";
    std::string kernel_release;
    unsigned euid = 0;
    bool driver_loaded = true;
    std::string driver_version;
    std::vector<std::string> modules_loaded;
    std::vector<std::string> modules_available; // loadable by modprobe
    unsigned qsc_control_major = 245;
    unsigned vmnic_major = 246;
};

struct LabState {
    Host host;
    std::vector<Adapter> adapters;
    std::vector<Interface> interfaces;
    std::vector<DeviceNode> nodes; // made by qsupdate (or by hand)
    std::vector<Fault> faults;
    uint64_t clock_us = 0;
    unsigned runs = 0;
};

const char *host_kind_name(HostKind kind);
HostKind host_kind_from_name(const std::string &name); // throws on unknown names

// Reads and writes lab.json; throws std::runtime_error on a bad file.
LabState load_state(const std::string &path);
void save_state(const LabState &state, const std::string &path);

// Lookups by interface name over the adapters' ports (only when the driver
// has bound them) and the other interfaces.
struct PortRef {
    Adapter *adapter = nullptr;
    Port *port = nullptr;
    unsigned port_num = 0;
};
PortRef find_port(LabState &state, const std::string &ifname);
Interface *find_interface(LabState &state, const std::string &ifname);

// Device nodes of the host: those its drivers make (ESXi's control and
// "vmnic" nodes, present while their driver is) and those made on it since
// (`nodes`, kept in the description).
std::vector<DeviceNode> all_nodes(const LabState &state);

bool parse_mac(const std::string &text, uint8_t out[6]);
bool module_loaded(const Host &host, const std::string &name);

} // namespace lab
