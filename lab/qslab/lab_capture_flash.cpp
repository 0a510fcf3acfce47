// The adapters' flash as /proc/mtd shows it.  The driver lists a partition
// once per port that shows it; whether two ports' devices are one
// partition or each port's own follows the management controller's
// numbering, which gives a port's own partition a type of its own.
#include <cstdio>
#include <sstream>
#include <stdexcept>

#include "lab/flash/lab_mtd.h"
#include "lab/model/lab_image.h"
#include "lab/model/lab_preset_flash.h"
#include "lab/qslab/lab_capture.h"

namespace lab {

namespace {

struct MtdLine {
    unsigned number = 0;
    uint32_t size = 0;
    uint32_t erase_size = 0;
    std::string name;
};

std::vector<MtdLine> proc_mtd(const std::string &text)
{
    std::vector<MtdLine> lines;
    std::istringstream in(text);
    std::string line;
    std::getline(in, line); // header
    while (std::getline(in, line)) {
        MtdLine l;
        char name[256];
        if (std::sscanf(line.c_str(), "mtd%u: %x %x \"%255[^\"]\"", &l.number, &l.size, &l.erase_size, name) != 4)
            continue;
        l.name = name;
        lines.push_back(l);
    }
    return lines;
}

bool own_per_port(const Adapter &a, unsigned kind)
{
    return mcdi_partition_type(a.device_id, kind, 0) != mcdi_partition_type(a.device_id, kind, 1);
}

struct Seen {
    size_t adapter;
    size_t partition;
    unsigned device; // the first MTD device that shows it
};

} // namespace

void capture_partitions(const HostFiles &host, bool with_flash, Capture &capture)
{
    LabState &state = capture.state;
    auto text = host.text("/proc/mtd");
    if (!text) {
        capture.notes.push_back("there is no " + host.on_root("/proc/mtd") + ": no partition is captured");
        return;
    }
    std::vector<Seen> seen;
    unsigned others = 0;
    for (const MtdLine &l : proc_mtd(*text)) {
        std::string ifname;
        unsigned kind = 0, subtype = 0;
        PortRef ref;
        if (parse_mtd_partition_name(l.name, ifname, kind, subtype))
            ref = find_port(state, ifname);
        if (!ref.port || l.erase_size == 0 || l.size == 0) {
            ++others;
            continue;
        }
        Adapter &adapter = *ref.adapter;
        const size_t a = static_cast<size_t>(ref.adapter - state.adapters.data());
        const unsigned port = ref.port_num;
        const bool own = own_per_port(adapter, kind);
        const uint32_t type = mcdi_partition_type(adapter.device_id, kind, port);
        Partition *partition = nullptr;
        for (Partition &p : adapter.partitions)
            if (p.kind == kind && p.subtype == subtype && p.mcdi_type == type)
                partition = &p;
        if (!partition) {
            Partition p;
            p.id = partition_id(static_cast<unsigned>(a + 1), kind, subtype, own ? static_cast<int>(port) : -1);
            p.kind = kind;
            p.subtype = subtype;
            p.size = l.size;
            p.erase_size = l.erase_size;
            p.mcdi_type = type;
            p.mtd_all_ports = false;
            adapter.partitions.push_back(p);
            seen.push_back({a, adapter.partitions.size() - 1, l.number});
            partition = &adapter.partitions.back();
        } else if (partition->size != l.size || partition->erase_size != l.erase_size) {
            throw std::runtime_error("/proc/mtd shows " + l.name + " with another size than the same partition "
                                     "through another port");
        }
        partition->mtd_ports.push_back(port);
    }
    for (Adapter &a : state.adapters)
        for (Partition &p : a.partitions)
            if (p.mtd_ports.size() == a.ports.size()) {
                p.mtd_all_ports = true;
                p.mtd_ports.clear();
            }

    if (with_flash)
        for (const Seen &s : seen) {
            Partition &p = state.adapters[s.adapter].partitions[s.partition];
            p.initial_contents = host.mtd(s.device, p.size);
            if (p.kind == PART_MCFW)
                state.adapters[s.adapter].firmware_version = plain_image_version(p.initial_contents);
        }
    else
        capture.notes.push_back("flash contents are not read (no --with-flash): every partition starts erased, "
                                "so what the adapters record in flash reads as erased");
    if (others)
        capture.notes.push_back(std::to_string(others) + " MTD device" + (others == 1 ? "" : "s") +
                                " of /proc/mtd belong to no port of the driver and are left out");
    for (const Adapter &a : state.adapters)
        if ((a.device_id & 0x0F00) != 0x0700) {
            capture.notes.push_back("partitions that only the management controllers reach are not in /proc/mtd "
                                    "and are not captured");
            break;
        }
    capture.notes.push_back("flash timing is not captured: erases and writes take no virtual time");
}

} // namespace lab
