#include "lab/qslab/lab_show.h"

#include <fstream>
#include <iterator>

#include "lab/flash/lab_mtd.h"
#include "lab/host/lab.h"
#include "lab/model/lab_config_view.h"
#include "lab/model/lab_events.h"
#include "lab/model/lab_preset_flash.h"
#include "lab/qslab/lab_show_events.h"

namespace lab {

namespace {

const char *platform_title(HostKind kind)
{
    switch (kind) {
    case HostKind::esx:
        return "VMware ESX service console";
    case HostKind::esxi:
        return "VMware ESXi";
    default:
        return "Linux";
    }
}

std::string join(const std::vector<std::string> &items)
{
    std::string out;
    for (const std::string &item : items)
        out += (out.empty() ? "" : ", ") + item;
    return out.empty() ? "none" : out;
}

std::string vpd_access(const Adapter &a)
{
    std::string text;
    if (!a.config.openable)
        text = "configuration space cannot be opened";
    else if (!a.config.capability_list || !a.config.vpd_capability)
        text = "no VPD capability";
    else
        text = "VPD capability, data ready after " + std::to_string(a.config.vpd_polls) + " polls";
    text += "; " + std::to_string(a.vpd_eeprom_size) + "-byte EEPROM, " +
            (a.vpd_writable ? "writable" : "write-protected");
    if (!a.vpd_sysfs)
        return text + "; no sysfs vpd file";
    return text + (a.vpd_sysfs_size ? "; sysfs vpd file of the 32 KiB window" : "; sysfs vpd file");
}

// "2 MiB", "64 KiB", "4097 bytes".
std::string size_text(uint64_t bytes)
{
    if (bytes >= 1024 * 1024 && bytes % (1024 * 1024) == 0)
        return std::to_string(bytes / (1024 * 1024)) + " MiB";
    if (bytes >= 1024 && bytes % 1024 == 0)
        return std::to_string(bytes / 1024) + " KiB";
    return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}

std::string count_text(unsigned count, uint64_t bytes)
{
    return std::to_string(count) + " (" + std::to_string(bytes) + (bytes == 1 ? " byte)" : " bytes)");
}

// One line: what the partition is, how it is reached and what the last run
// did to it.
void show_partition(FILE *out, const Partition &p, const std::vector<std::string> &devices)
{
    char subtype[16];
    std::snprintf(subtype, sizeof subtype, "0x%02x", p.subtype);
    std::string line = p.id + "  " + partition_kind_name(p.kind) + " subtype " + subtype + ", " +
                       size_text(p.size) +
                       (p.erase_size == 1 ? " EEPROM" : " in " + size_text(p.erase_size) + " blocks");
    if (p.mcdi_type != NO_MCDI_TYPE) {
        char type[16];
        std::snprintf(type, sizeof type, "0x%x", p.mcdi_type);
        line += std::string(", MCDI type ") + type;
    }
    std::string reach;
    for (const std::string &d : devices)
        reach += (reach.empty() ? "" : ", ") + d;
    if (reach.empty())
        reach = p.mcdi_type != NO_MCDI_TYPE ? "MCDI only" : "not reachable";
    const PartitionActivity &r = p.last_run;
    std::string activity = r.erases || r.writes || r.reads
                               ? "erases " + count_text(r.erases, r.bytes_erased) + ", writes " +
                                     count_text(r.writes, r.bytes_written) + ", reads " +
                                     count_text(r.reads, r.bytes_read)
                               : "untouched";
    std::fprintf(out, "    %s; %s; last run: %s\n", line.c_str(), reach.c_str(), activity.c_str());
}

void show_partitions(FILE *out, size_t adapter, const Adapter &a, const std::vector<MtdDevice> &mtd)
{
    if (a.partitions.empty()) {
        std::fprintf(out, "  Partitions: none\n");
        return;
    }
    std::fprintf(out, "  Partitions:\n");
    for (size_t i = 0; i < a.partitions.size(); ++i) {
        std::vector<std::string> devices;
        for (const MtdDevice &d : mtd)
            if (d.adapter == adapter && d.partition == i)
                devices.push_back("mtd" + std::to_string(d.number) + " " + d.name);
        show_partition(out, a.partitions[i], devices);
    }
}

// What each configuration partition records, read from its file: what
// qsupdate wrote there, or why it cannot be read.
void show_configs(FILE *out, const std::string &dir, const Adapter &a)
{
    bool any = false;
    for (const Partition &p : a.partitions) {
        std::ifstream in(partition_file(dir, p), std::ios::binary);
        std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
        ConfigView view;
        if (!read_config_partition(a, p, bytes, view))
            continue;
        if (!any)
            std::fprintf(out, "  Configurations:\n");
        any = true;
        for (const std::string &line : config_lines(p.id, view))
            std::fprintf(out, "    %s\n", line.c_str());
    }
}

void show_adapter(FILE *out, size_t n, const Adapter &a)
{
    std::fprintf(out, "Adapter %zu: %s (preset %s)\n", n, a.product.c_str(), a.preset.c_str());
    std::fprintf(out, "  PCI ids %04x:%04x, subsystem %04x:%04x, firmware %s\n", a.vendor_id,
                 a.device_id, a.subsystem_vendor_id, a.subsystem_device_id, a.firmware_version.c_str());
    std::string fields;
    for (const VpdField &f : a.vpd.fields)
        fields += " " + f.keyword + "=" + f.value;
    if (!a.vpd.writable_fields.empty()) {
        fields += " (read-write:";
        for (const VpdField &f : a.vpd.writable_fields)
            fields += " " + f.keyword + "=" + f.value;
        fields += ")";
    }
    if (!a.eeprom.empty())
        fields += " (EEPROM since written)";
    if (!a.vpd.present)
        fields = " none";
    else if (!a.vpd.end_tag)
        fields += " (no end tag)";
    std::fprintf(out, "  VPD:%s\n  VPD access: %s\n", fields.c_str(), vpd_access(a).c_str());
    if (a.requires_signed_mcfw || a.signed_verify_result != 1)
        std::fprintf(out, "  Controller firmware: %s; signed images get verification result %u\n",
                     a.requires_signed_mcfw ? "signed images only" : "signed or not", a.signed_verify_result);
    std::fprintf(out, "  Port  Interface  MAC address        PCI address   PHY  State\n");
    for (size_t i = 0; i < a.ports.size(); ++i) {
        const Port &p = a.ports[i];
        std::fprintf(out, "  %-4zu  %-9s  %-17s  %-12s  %-3d  %s%s\n", i, p.ifname.c_str(),
                     p.mac.c_str(), p.pci_addr.c_str(), p.phy_type, p.up ? "up" : "down",
                     p.phy_flash_cfg ? ", PHY in flash configuration mode" : "");
    }
}

void show_interfaces(FILE *out, const LabState &s)
{
    std::fprintf(out, "Other interfaces:\n");
    for (const Interface &i : s.interfaces) {
        std::string what;
        if (i.kind == "vlan")
            what = "VLAN " + std::to_string(i.vlan_id) + " on " + i.lower;
        else if (!i.has_drvinfo)
            what = i.kind + ", no driver information";
        else
            what = i.kind + ", driver " + i.driver + (i.bus_info.empty() ? "" : " at " + i.bus_info);
        std::fprintf(out, "  %-9s  %-40s  %s\n", i.ifname.c_str(), what.c_str(), i.up ? "up" : "down");
    }
}

} // namespace

std::string fault_text(const Fault &f)
{
    std::string what = f.operation + (f.request.empty() ? "" : " " + f.request) + " of " + f.target;
    std::string when = f.occurrence ? "occurrence " + std::to_string(f.occurrence) : "every time";
    return what + ", " + when + ": " + fault_effect(f);
}

void show_lab(const std::string &dir, FILE *out)
{
    LabState s = load_state(lab_json_path(dir));
    const Host &h = s.host;
    std::fprintf(out, "Lab in %s\n", dir.c_str());
    std::fprintf(out, "Host: %s, kernel %s, effective uid %u\n", platform_title(h.kind),
                 h.kernel_release.c_str(), h.euid);
    std::fprintf(out, "Driver qsc %s: %s%s\n", h.driver_version.c_str(), h.driver_loaded ? "loaded" : "not loaded",
                 h.mcdi_available ? "" : ", without MCDI pass-through");
    std::fprintf(out, "Modules loaded: %s\n", join(h.modules_loaded).c_str());
    std::fprintf(out, "Runs: %u, virtual clock at %s\n\n", s.runs, format_seconds(s.clock_us).c_str());

    std::vector<MtdDevice> mtd = mtd_devices(s);
    for (size_t n = 0; n < s.adapters.size(); ++n) {
        show_adapter(out, n + 1, s.adapters[n]);
        show_partitions(out, n, s.adapters[n], mtd);
        show_configs(out, dir, s.adapters[n]);
        std::fprintf(out, "\n");
    }
    if (s.adapters.empty())
        std::fprintf(out, "No adapters.\n\n");
    show_interfaces(out, s);
    if (!s.faults.empty()) {
        std::fprintf(out, "\nFaults:\n");
        for (const Fault &f : s.faults)
            std::fprintf(out, "  %s\n", fault_text(f).c_str());
    }
    std::vector<DeviceNode> nodes = all_nodes(s);
    if (!nodes.empty()) {
        std::fprintf(out, "\nDevice nodes:\n");
        for (const DeviceNode &n : nodes)
            std::fprintf(out, "  %-20s %s %u:%u\n", n.path.c_str(), n.block ? "block" : "character",
                         n.major, n.minor);
    }

    std::fprintf(out, "\nEvents:\n");
    std::ifstream log(events_log_path(dir));
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);)
        lines.push_back(line);
    for (const std::string &line : condensed_events(lines))
        std::fprintf(out, "  %s\n", line.c_str());
    if (lines.empty())
        std::fprintf(out, "  none yet\n");
}

} // namespace lab
