// MTD devices as the driver registers them.
#include "lab/flash/lab_mtd.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace lab {

namespace {

// The driver's kind names, indexed by partition kind; null for numbers
// that name no partition.
const char *const KIND_NAMES[] = {
    "qsc_mcfw",    "qsc_dynamic_cfg", "qsc_static_cfg", "qsc_exp_rom", "qsc_exp_rom_cfg",
    "qsc_phy_fw",  "qsc_fpga",        "qsc_fcfw",       "qsc_cpld",    "qsc_fpgadiag",
    nullptr,       "qsc_mumfw",       "qsc_uefi",       "qsc_status",  nullptr,
    "qsc_dynamic_cfg_dflt", "qsc_exp_rom_cfg_dflt", "qsc_bundle", "qsc_bundle_metadata",
};

bool exposed_on(const Partition &partition, size_t port)
{
    return partition.mtd_all_ports ||
           std::find(partition.mtd_ports.begin(), partition.mtd_ports.end(), port) !=
               partition.mtd_ports.end();
}

} // namespace

std::string mtd_partition_name(const Adapter &adapter, const Port &port, const Partition &partition)
{
    // The first generation's boards: 0x0703 exports nothing, 0x0710 its
    // boot ROM and boot ROM configuration under names of their own.
    if (adapter.device_id == 0x0703)
        return "";
    if (adapter.device_id == 0x0710) {
        if (partition.subtype != 0)
            return "";
        if (partition.kind == 3)
            return port.ifname + " qsc_flash_bootrom";
        if (partition.kind == 4)
            return port.ifname + " qsc_bootconfig";
        return "";
    }
    if (partition.kind >= std::size(KIND_NAMES) || !KIND_NAMES[partition.kind])
        return "";
    char subtype[16];
    std::snprintf(subtype, sizeof subtype, ":%02x", partition.subtype);
    return port.ifname + " " + KIND_NAMES[partition.kind] + subtype;
}

bool parse_mtd_partition_name(const std::string &name, std::string &ifname, unsigned &kind, unsigned &subtype)
{
    size_t space = name.find(' ');
    if (space == std::string::npos || space == 0)
        return false;
    ifname = name.substr(0, space);
    const std::string rest = name.substr(space + 1);
    subtype = 0;
    if (rest == "qsc_flash_bootrom" || rest == "qsc_bootconfig") {
        kind = rest == "qsc_flash_bootrom" ? 3 : 4;
        return true;
    }
    size_t colon = rest.rfind(':');
    if (colon == std::string::npos || colon + 1 == rest.size() ||
        rest.find_first_not_of("0123456789abcdef", colon + 1) != std::string::npos)
        return false;
    for (unsigned k = 0; k < std::size(KIND_NAMES); ++k)
        if (KIND_NAMES[k] && rest.compare(0, colon, KIND_NAMES[k]) == 0 && std::strlen(KIND_NAMES[k]) == colon) {
            kind = k;
            subtype = static_cast<unsigned>(std::stoul(rest.substr(colon + 1), nullptr, 16));
            return true;
        }
    return false;
}

std::vector<MtdDevice> mtd_devices(const LabState &state)
{
    std::vector<MtdDevice> devices;
    if (!state.host.driver_loaded || state.host.kind == HostKind::esxi)
        return devices;
    unsigned number = 0;
    for (size_t a = 0; a < state.adapters.size(); ++a) {
        const Adapter &adapter = state.adapters[a];
        for (size_t p = 0; p < adapter.ports.size(); ++p)
            for (size_t i = 0; i < adapter.partitions.size(); ++i) {
                const Partition &partition = adapter.partitions[i];
                if (!exposed_on(partition, p))
                    continue;
                std::string name = mtd_partition_name(adapter, adapter.ports[p], partition);
                if (!name.empty())
                    devices.push_back({number++, a, p, i, name});
            }
    }
    return devices;
}

bool mtd_nodes_present(const LabState &state, const std::string &module)
{
    const Host &h = state.host;
    if (!module_loaded(h, module) || h.mtd_node_delay_s < 0)
        return false;
    auto loaded = h.modules_loaded_at_us.find(module);
    return loaded == h.modules_loaded_at_us.end() ||
           state.clock_us >= loaded->second + static_cast<uint64_t>(h.mtd_node_delay_s) * 1000000;
}

} // namespace lab
