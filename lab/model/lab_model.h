// The description of a simulated host: what lab.json holds.  Everything the
// lab shows to qsupdate is derived from this record, and everything
// qsupdate changes on the host is written back into it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "lab/model/lab_faults.h"

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

// What one run did to a partition, for `qslab show`.
struct PartitionActivity {
    unsigned erases = 0;
    unsigned writes = 0;
    unsigned reads = 0;
    uint64_t bytes_erased = 0;
    uint64_t bytes_written = 0;
    uint64_t bytes_read = 0;
};

// One flash partition of an adapter.  Its contents are the file
// DIR/flash/<id>.bin, the single truth that every path to the partition
// (MTD character and block devices, the management controller) reads and
// writes.
struct Partition {
    std::string id;          // unique in the lab, e.g. "a1-mcfw-00"; names the file
    unsigned kind = 0;       // partition kind as qsupdate numbers them (0 controller firmware, ...)
    unsigned subtype = 0;
    uint32_t size = 0;
    uint32_t erase_size = 0; // bytes per erase block; 1 is an EEPROM (writes replace bytes)
    uint32_t mcdi_type = 0xFFFFFFFF; // the controller's partition type; none
    // What the controller says of it: the largest write it takes in one
    // command (0: it reports none, and its information answer is shorter),
    // and whether it keeps metadata (the subtype) for it.
    uint32_t mcdi_write_size = 0;
    bool mcdi_metadata = true;
    // The most data it answers one read with (a short answer when the
    // request asks for more); 252, what a read may ask, by default.
    uint32_t mcdi_read_max = 252;
    // The ports whose MTD devices show it: every port, or only those listed
    // (none when the list is empty: reachable through the controller only).
    bool mtd_all_ports = true;
    std::vector<unsigned> mtd_ports;
    // Flash timing on the virtual clock.
    uint32_t erase_block_us = 0;
    uint32_t write_byte_ns = 0;
    uint32_t read_byte_ns = 0;
    PartitionActivity last_run;
    // Contents at creation only (not kept in lab.json); shorter than `size`
    // is padded with erased bytes (0xFF).
    std::vector<uint8_t> initial_contents;
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
    std::vector<Partition> partitions;
    // The management controller's verdict on new controller firmware:
    // whether it refuses images that are not signed, and the verification
    // result it gives a signed one (1 accepted, 2-13 its refusals).
    bool requires_signed_mcfw = false;
    uint32_t signed_verify_result = 1;
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
    // Virtual time at which modprobe loaded a module; a loaded module not
    // listed here was loaded at boot, long before any run.
    std::map<std::string, uint64_t> modules_loaded_at_us;
    // The MTD nodes /dev/mtdN and /dev/mtdblockN appear this many virtual
    // seconds after their module ("mtdchar", "mtdblock") is loaded; -1:
    // never (no device manager: only nodes made by hand reach the flash).
    int mtd_node_delay_s = 0;
    // false: the driver carries no MCDI commands (EOPNOTSUPP).
    bool mcdi_available = true;
    unsigned qsc_control_major = 245;
    unsigned vmnic_major = 246;
    // Files and directories of the fake root that belong to a user other
    // than root, by their path on the host ("/run/lock/x"): their uid.
    // Everything else is root's, as on a host; a file an unprivileged run
    // creates is added here.
    std::map<std::string, unsigned> owners;
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

bool parse_mac(const std::string &text, uint8_t out[6]);
bool module_loaded(const Host &host, const std::string &name);

// The files of a lab directory: DIR/lab.json, DIR/events.log and
// DIR/flash/<id>.bin.
std::string lab_json_path(const std::string &dir);
std::string events_log_path(const std::string &dir);
std::string partition_file(const std::string &dir, const Partition &partition);

} // namespace lab
