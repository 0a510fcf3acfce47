// lab.json: the lab's description, kept readable so that a person can edit
// it (PCI ids as hexadecimal text, one object per adapter and port).
#include "lab/model/lab_model.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace lab {

using nlohmann::json;

namespace {

std::string hex16(uint16_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", value);
    return text;
}

uint16_t get_hex16(const json &j, const char *key, uint16_t fallback = 0)
{
    if (!j.contains(key))
        return fallback;
    const json &v = j.at(key);
    unsigned long value = v.is_number_unsigned() ? v.get<unsigned long>()
                                                 : std::stoul(v.get<std::string>(), nullptr, 0);
    if (value > 0xFFFF)
        throw std::runtime_error(std::string("lab.json: ") + key + " is not a 16-bit number");
    return static_cast<uint16_t>(value);
}

template <typename T>
void get_opt(const json &j, const char *key, T &out)
{
    if (j.contains(key))
        out = j.at(key).get<T>();
}

json fields_to_json(const std::vector<VpdField> &fields)
{
    json out = json::array();
    for (const VpdField &f : fields)
        out.push_back({f.keyword, f.value});
    return out;
}

std::vector<VpdField> fields_from_json(const json &j, const char *key)
{
    std::vector<VpdField> fields;
    if (j.contains(key))
        for (const json &f : j.at(key)) {
            VpdField field{f.at(0).get<std::string>(), f.at(1).get<std::string>()};
            if (field.keyword.size() != 2 || field.value.size() > 255)
                throw std::runtime_error("lab.json: bad VPD field " + field.keyword);
            fields.push_back(field);
        }
    return fields;
}

json vpd_to_json(const Vpd &vpd)
{
    json j = {{"present", vpd.present}, {"id_string", vpd.id_string},
              {"fields", fields_to_json(vpd.fields)}, {"end_tag", vpd.end_tag},
              {"end_in_word", vpd.end_in_word}};
    if (!vpd.writable_fields.empty())
        j["writable_fields"] = fields_to_json(vpd.writable_fields);
    return j;
}

Vpd vpd_from_json(const json &j)
{
    Vpd vpd;
    get_opt(j, "present", vpd.present);
    get_opt(j, "id_string", vpd.id_string);
    get_opt(j, "end_tag", vpd.end_tag);
    get_opt(j, "end_in_word", vpd.end_in_word);
    vpd.fields = fields_from_json(j, "fields");
    vpd.writable_fields = fields_from_json(j, "writable_fields");
    return vpd;
}

std::string hex_bytes(const std::vector<uint8_t> &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

std::vector<uint8_t> bytes_from_hex(const std::string &text)
{
    if (text.size() % 2)
        throw std::runtime_error("lab.json: eeprom is hexadecimal text of whole bytes");
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < text.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

json activity_to_json(const PartitionActivity &a)
{
    return {{"erases", a.erases}, {"writes", a.writes}, {"reads", a.reads},
            {"bytes_erased", a.bytes_erased}, {"bytes_written", a.bytes_written},
            {"bytes_read", a.bytes_read}};
}

PartitionActivity activity_from_json(const json &j)
{
    PartitionActivity a;
    get_opt(j, "erases", a.erases);
    get_opt(j, "writes", a.writes);
    get_opt(j, "reads", a.reads);
    get_opt(j, "bytes_erased", a.bytes_erased);
    get_opt(j, "bytes_written", a.bytes_written);
    get_opt(j, "bytes_read", a.bytes_read);
    return a;
}

std::string hex32(uint32_t value)
{
    char text[12];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

uint32_t get_u32(const json &j, const char *key, uint32_t fallback)
{
    if (!j.contains(key))
        return fallback;
    const json &v = j.at(key);
    unsigned long long value = v.is_number_unsigned() ? v.get<unsigned long long>()
                                                      : std::stoull(v.get<std::string>(), nullptr, 0);
    if (value > 0xFFFFFFFFull)
        throw std::runtime_error(std::string("lab.json: ") + key + " is not a 32-bit number");
    return static_cast<uint32_t>(value);
}

json partition_to_json(const Partition &p)
{
    json mtd = p.mtd_all_ports ? json("all") : json(p.mtd_ports);
    return {{"id", p.id},
            {"kind", p.kind},
            {"subtype", hex32(p.subtype)},
            {"size", hex32(p.size)},
            {"erase_size", hex32(p.erase_size)},
            {"mcdi_type", p.mcdi_type == 0xFFFFFFFF ? json("none") : json(hex32(p.mcdi_type))},
            {"mcdi_write_size", hex32(p.mcdi_write_size)},
            {"mcdi_metadata", p.mcdi_metadata},
            {"mcdi_read_max", p.mcdi_read_max},
            {"mtd", mtd},
            {"erase_block_us", p.erase_block_us},
            {"write_byte_ns", p.write_byte_ns},
            {"read_byte_ns", p.read_byte_ns},
            {"last_run", activity_to_json(p.last_run)}};
}

Partition partition_from_json(const json &j)
{
    Partition p;
    p.id = j.at("id").get<std::string>();
    p.kind = j.at("kind").get<unsigned>();
    p.subtype = get_u32(j, "subtype", 0);
    p.size = get_u32(j, "size", 0);
    p.erase_size = get_u32(j, "erase_size", 0);
    if (j.contains("mcdi_type") && j.at("mcdi_type") != "none")
        p.mcdi_type = get_u32(j, "mcdi_type", 0);
    p.mcdi_write_size = get_u32(j, "mcdi_write_size", 0);
    get_opt(j, "mcdi_metadata", p.mcdi_metadata);
    p.mcdi_read_max = get_u32(j, "mcdi_read_max", 252);
    if (j.contains("mtd")) {
        const json &m = j.at("mtd");
        if (m.is_string()) {
            if (m != "all" && m != "none")
                throw std::runtime_error("lab.json: partition " + p.id +
                                         ": mtd is \"all\", \"none\" or a list of port indices");
            p.mtd_all_ports = m == "all";
        } else {
            p.mtd_all_ports = false;
            p.mtd_ports = m.get<std::vector<unsigned>>();
        }
    }
    get_opt(j, "erase_block_us", p.erase_block_us);
    get_opt(j, "write_byte_ns", p.write_byte_ns);
    get_opt(j, "read_byte_ns", p.read_byte_ns);
    if (j.contains("last_run"))
        p.last_run = activity_from_json(j.at("last_run"));
    if (p.id.empty() || p.id.find_first_of("/ \"") != std::string::npos)
        throw std::runtime_error("lab.json: a partition id is a non-empty file name: \"" + p.id + "\"");
    // A size that is not a multiple of the erase size is possible: its last
    // block then cannot be erased.
    if (p.erase_size == 0 || p.size == 0)
        throw std::runtime_error("lab.json: partition " + p.id + ": size and erase_size are not zero");
    if (p.mcdi_read_max > 252)
        throw std::runtime_error("lab.json: partition " + p.id + ": mcdi_read_max is at most 252");
    return p;
}

json adapter_to_json(const Adapter &a)
{
    json ports = json::array();
    for (const Port &p : a.ports)
        ports.push_back({{"ifname", p.ifname},
                         {"mac", p.mac},
                         {"pci_addr", p.pci_addr},
                         {"phy_type", p.phy_type},
                         {"up", p.up},
                         {"phy_flash_cfg", p.phy_flash_cfg}});
    json partitions = json::array();
    for (const Partition &p : a.partitions)
        partitions.push_back(partition_to_json(p));
    return {{"preset", a.preset},
            {"product", a.product},
            {"vendor_id", hex16(a.vendor_id)},
            {"device_id", hex16(a.device_id)},
            {"subsystem_vendor_id", hex16(a.subsystem_vendor_id)},
            {"subsystem_device_id", hex16(a.subsystem_device_id)},
            {"firmware_version", a.firmware_version},
            {"vpd", vpd_to_json(a.vpd)},
            {"vpd_eeprom_size", a.vpd_eeprom_size},
            {"vpd_writable", a.vpd_writable},
            {"eeprom", hex_bytes(a.eeprom)},
            {"vpd_sysfs", a.vpd_sysfs},
            {"vpd_sysfs_size", a.vpd_sysfs_size},
            {"proc_bus_pci", a.proc_bus_pci},
            {"config", {{"openable", a.config.openable},
                        {"capability_list", a.config.capability_list},
                        {"vpd_capability", a.config.vpd_capability},
                        {"vpd_polls", a.config.vpd_polls}}},
            {"ports", ports},
            {"partitions", partitions},
            {"requires_signed_mcfw", a.requires_signed_mcfw},
            {"signed_verify_result", a.signed_verify_result}};
}

Adapter adapter_from_json(const json &j)
{
    Adapter a;
    get_opt(j, "preset", a.preset);
    get_opt(j, "product", a.product);
    a.vendor_id = get_hex16(j, "vendor_id");
    a.device_id = get_hex16(j, "device_id");
    a.subsystem_vendor_id = get_hex16(j, "subsystem_vendor_id");
    a.subsystem_device_id = get_hex16(j, "subsystem_device_id");
    get_opt(j, "firmware_version", a.firmware_version);
    if (j.contains("vpd"))
        a.vpd = vpd_from_json(j.at("vpd"));
    get_opt(j, "vpd_eeprom_size", a.vpd_eeprom_size);
    get_opt(j, "vpd_writable", a.vpd_writable);
    if (j.contains("eeprom"))
        a.eeprom = bytes_from_hex(j.at("eeprom").get<std::string>());
    get_opt(j, "vpd_sysfs", a.vpd_sysfs);
    get_opt(j, "vpd_sysfs_size", a.vpd_sysfs_size);
    get_opt(j, "proc_bus_pci", a.proc_bus_pci);
    if (a.vpd_eeprom_size == 0 || a.vpd_eeprom_size > 32768 || a.vpd_eeprom_size % 4 ||
        a.eeprom.size() > a.vpd_eeprom_size)
        throw std::runtime_error("lab.json: vpd_eeprom_size is a multiple of 4 up to 32768 that holds eeprom");
    if (a.vpd_sysfs_size != 0 && a.vpd_sysfs_size != 32768)
        throw std::runtime_error("lab.json: vpd_sysfs_size is 0 (the VPD's length) or 32768");
    if (j.contains("config")) {
        const json &c = j.at("config");
        get_opt(c, "openable", a.config.openable);
        get_opt(c, "capability_list", a.config.capability_list);
        get_opt(c, "vpd_capability", a.config.vpd_capability);
        get_opt(c, "vpd_polls", a.config.vpd_polls);
    }
    for (const json &pj : j.at("ports")) {
        Port p;
        p.ifname = pj.at("ifname").get<std::string>();
        p.mac = pj.at("mac").get<std::string>();
        p.pci_addr = pj.at("pci_addr").get<std::string>();
        get_opt(pj, "phy_type", p.phy_type);
        get_opt(pj, "up", p.up);
        get_opt(pj, "phy_flash_cfg", p.phy_flash_cfg);
        a.ports.push_back(p);
    }
    if (j.contains("partitions"))
        for (const json &pj : j.at("partitions")) {
            Partition p = partition_from_json(pj);
            for (unsigned port : p.mtd_ports)
                if (port >= a.ports.size())
                    throw std::runtime_error("lab.json: partition " + p.id + " names port " +
                                             std::to_string(port) + " of an adapter without it");
            // The controller names partitions by type: one type, one partition.
            for (const Partition &other : a.partitions)
                if (p.mcdi_type != 0xFFFFFFFF && other.mcdi_type == p.mcdi_type)
                    throw std::runtime_error("lab.json: partitions " + other.id + " and " + p.id +
                                             " have the same mcdi_type");
            a.partitions.push_back(p);
        }
    get_opt(j, "requires_signed_mcfw", a.requires_signed_mcfw);
    a.signed_verify_result = get_u32(j, "signed_verify_result", 1);
    return a;
}

json interface_to_json(const Interface &i)
{
    json j = {{"ifname", i.ifname}, {"kind", i.kind}, {"has_drvinfo", i.has_drvinfo},
              {"driver", i.driver}, {"version", i.version}, {"bus_info", i.bus_info},
              {"mac", i.mac}, {"up", i.up}};
    if (i.kind == "vlan") {
        j["lower"] = i.lower;
        j["vlan_id"] = i.vlan_id;
    }
    if (!i.bus_info.empty()) {
        j["vendor_id"] = hex16(i.vendor_id);
        j["device_id"] = hex16(i.device_id);
    }
    return j;
}

Interface interface_from_json(const json &j)
{
    Interface i;
    i.ifname = j.at("ifname").get<std::string>();
    get_opt(j, "kind", i.kind);
    get_opt(j, "has_drvinfo", i.has_drvinfo);
    get_opt(j, "driver", i.driver);
    get_opt(j, "version", i.version);
    get_opt(j, "bus_info", i.bus_info);
    get_opt(j, "mac", i.mac);
    get_opt(j, "up", i.up);
    get_opt(j, "lower", i.lower);
    get_opt(j, "vlan_id", i.vlan_id);
    i.vendor_id = get_hex16(j, "vendor_id");
    i.device_id = get_hex16(j, "device_id");
    return i;
}

} // namespace

const char *host_kind_name(HostKind kind)
{
    switch (kind) {
    case HostKind::esx:
        return "esx";
    case HostKind::esxi:
        return "esxi";
    default:
        return "linux";
    }
}

HostKind host_kind_from_name(const std::string &name)
{
    if (name == "linux")
        return HostKind::linux_host;
    if (name == "esx")
        return HostKind::esx;
    if (name == "esxi")
        return HostKind::esxi;
    throw std::runtime_error("unknown platform \"" + name + "\" (linux, esx or esxi)");
}

LabState load_state(const std::string &path)
{
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    LabState state;
    try {
        json j = json::parse(in);
        const json &h = j.at("host");
        state.host.kind = host_kind_from_name(h.at("platform").get<std::string>());
        get_opt(h, "hostname", state.host.hostname);
        get_opt(h, "kernel_release", state.host.kernel_release);
        get_opt(h, "euid", state.host.euid);
        get_opt(h, "driver_loaded", state.host.driver_loaded);
        get_opt(h, "driver_version", state.host.driver_version);
        get_opt(h, "modules_loaded", state.host.modules_loaded);
        get_opt(h, "modules_available", state.host.modules_available);
        get_opt(h, "modules_loaded_at_us", state.host.modules_loaded_at_us);
        get_opt(h, "mtd_node_delay_s", state.host.mtd_node_delay_s);
        get_opt(h, "mcdi_available", state.host.mcdi_available);
        get_opt(h, "qsc_control_major", state.host.qsc_control_major);
        get_opt(h, "vmnic_major", state.host.vmnic_major);
        get_opt(h, "owners", state.host.owners);
        if (h.contains("device_ids_errno"))
            throw std::runtime_error("host.device_ids_errno is gone: describe the fault in \"faults\" "
                                     "(operation \"command\", request \"0xEF22\")");
        std::set<std::string> partition_ids;
        for (const json &a : j.at("adapters")) {
            state.adapters.push_back(adapter_from_json(a));
            for (const Partition &p : state.adapters.back().partitions)
                if (!partition_ids.insert(p.id).second)
                    throw std::runtime_error("lab.json: two partitions are called " + p.id);
        }
        if (j.contains("interfaces"))
            for (const json &i : j.at("interfaces"))
                state.interfaces.push_back(interface_from_json(i));
        if (j.contains("nodes"))
            for (const json &n : j.at("nodes"))
                state.nodes.push_back({n.at("path").get<std::string>(), n.value("block", false),
                                       n.at("major").get<unsigned>(), n.at("minor").get<unsigned>(),
                                       n.value("mode", 0600u)});
        if (j.contains("faults"))
            state.faults = faults_from_json(j.at("faults"));
        get_opt(j, "clock_us", state.clock_us);
        get_opt(j, "runs", state.runs);
    } catch (const json::exception &e) {
        throw std::runtime_error(path + ": " + e.what());
    }
    return state;
}

void save_state(const LabState &state, const std::string &path)
{
    const Host &h = state.host;
    json j;
    j["host"] = {{"platform", host_kind_name(h.kind)},
                 {"hostname", h.hostname},
                 {"kernel_release", h.kernel_release},
                 {"euid", h.euid},
                 {"driver_loaded", h.driver_loaded},
                 {"driver_version", h.driver_version},
                 {"modules_loaded", h.modules_loaded},
                 {"modules_available", h.modules_available},
                 {"modules_loaded_at_us", h.modules_loaded_at_us},
                 {"mtd_node_delay_s", h.mtd_node_delay_s},
                 {"mcdi_available", h.mcdi_available},
                 {"qsc_control_major", h.qsc_control_major},
                 {"vmnic_major", h.vmnic_major},
                 {"owners", h.owners}};
    j["adapters"] = json::array();
    for (const Adapter &a : state.adapters)
        j["adapters"].push_back(adapter_to_json(a));
    j["interfaces"] = json::array();
    for (const Interface &i : state.interfaces)
        j["interfaces"].push_back(interface_to_json(i));
    j["nodes"] = json::array();
    for (const DeviceNode &n : state.nodes)
        j["nodes"].push_back({{"path", n.path}, {"block", n.block}, {"major", n.major},
                              {"minor", n.minor}, {"mode", n.mode}});
    j["faults"] = faults_to_json(state.faults);
    j["clock_us"] = state.clock_us;
    j["runs"] = state.runs;

    std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << j.dump(2) << '\n';
        if (!out)
            throw std::runtime_error("cannot write " + tmp);
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot replace " + path);
}

PortRef find_port(LabState &state, const std::string &ifname)
{
    if (!state.host.driver_loaded)
        return {};
    for (Adapter &a : state.adapters)
        for (size_t i = 0; i < a.ports.size(); ++i)
            if (a.ports[i].ifname == ifname)
                return {&a, &a.ports[i], static_cast<unsigned>(i)};
    return {};
}

Interface *find_interface(LabState &state, const std::string &ifname)
{
    for (Interface &i : state.interfaces)
        if (i.ifname == ifname)
            return &i;
    return nullptr;
}

bool parse_mac(const std::string &text, uint8_t out[6])
{
    unsigned b[6];
    char tail;
    if (std::sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &b[0], &b[1], &b[2], &b[3], &b[4],
                    &b[5], &tail) != 6)
        return false;
    for (int i = 0; i < 6; ++i)
        out[i] = static_cast<uint8_t>(b[i]);
    return true;
}

std::string lab_json_path(const std::string &dir)
{
    return (std::filesystem::path(dir) / "lab.json").string();
}

std::string events_log_path(const std::string &dir)
{
    return (std::filesystem::path(dir) / "events.log").string();
}

std::string partition_file(const std::string &dir, const Partition &partition)
{
    return dir + "/flash/" + partition.id + ".bin";
}

bool module_loaded(const Host &host, const std::string &name)
{
    return std::find(host.modules_loaded.begin(), host.modules_loaded.end(), name) !=
           host.modules_loaded.end();
}

} // namespace lab
