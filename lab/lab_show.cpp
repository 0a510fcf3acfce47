#include "lab/lab_show.h"

#include <fstream>

#include "lab/lab.h"
#include "lab/lab_events.h"

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

void show_lab(const std::string &dir, FILE *out)
{
    LabState s = load_state(lab_json_path(dir));
    const Host &h = s.host;
    std::fprintf(out, "Lab in %s\n", dir.c_str());
    std::fprintf(out, "Host: %s, kernel %s, effective uid %u\n", platform_title(h.kind),
                 h.kernel_release.c_str(), h.euid);
    std::fprintf(out, "Driver qsc %s: %s\n", h.driver_version.c_str(),
                 h.driver_loaded ? "loaded" : "not loaded");
    std::fprintf(out, "Modules loaded: %s\n", join(h.modules_loaded).c_str());
    std::fprintf(out, "Runs: %u, virtual clock at %s\n\n", s.runs, format_seconds(s.clock_us).c_str());

    for (size_t n = 0; n < s.adapters.size(); ++n) {
        show_adapter(out, n + 1, s.adapters[n]);
        std::fprintf(out, "\n");
    }
    if (s.adapters.empty())
        std::fprintf(out, "No adapters.\n\n");
    show_interfaces(out, s);
    if (!s.faults.empty()) {
        std::fprintf(out, "\nFaults:\n");
        for (const Fault &f : s.faults) {
            std::string what = f.operation + (f.request.empty() ? "" : " " + f.request) + " of " + f.target;
            std::string when = f.occurrence ? "occurrence " + std::to_string(f.occurrence) : "every time";
            std::string how = f.write_cut_after ? "cut short after " + std::to_string(*f.write_cut_after) + " bytes"
                                                : "fails with " + errno_name(f.error);
            std::fprintf(out, "  %s, %s: %s\n", what.c_str(), when.c_str(), how.c_str());
        }
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
    std::string line;
    bool any = false;
    while (std::getline(log, line)) {
        std::fprintf(out, "  %s\n", line.c_str());
        any = true;
    }
    if (!any)
        std::fprintf(out, "  none yet\n");
}

} // namespace lab
