// The kernel's view of the adapters' flash: one MTD device per partition and
// port that exposes it, named by the driver, numbered in the order the
// driver registers them (adapter by adapter, port by port).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "lab/model/lab_model.h"
#include "lab/wire/lab_mtd_wire.h"

namespace lab {

struct MtdDevice {
    unsigned number = 0; // N of /dev/mtdN
    size_t adapter = 0;
    size_t port = 0;
    size_t partition = 0; // index in the adapter's partitions
    std::string name;     // as "/proc/mtd" quotes it, e.g. "eth0 qsc_mcfw:00"
};

// The driver's name for a partition seen through a port, or "" when the
// driver does not export that partition of this device.
std::string mtd_partition_name(const Adapter &adapter, const Port &port, const Partition &partition);

// The inverse of mtd_partition_name: the interface, kind and subtype a
// driver's name stands for; false for names the driver does not give.
bool parse_mtd_partition_name(const std::string &name, std::string &ifname, unsigned &kind, unsigned &subtype);

// Every MTD device of the host; none while the driver is not loaded.
std::vector<MtdDevice> mtd_devices(const LabState &state);

// Whether the device manager has made the nodes of a module ("mtdchar" or
// "mtdblock"): the module is loaded and the host's node delay has passed
// on the virtual clock since it was.
bool mtd_nodes_present(const LabState &state, const std::string &module);

} // namespace lab
