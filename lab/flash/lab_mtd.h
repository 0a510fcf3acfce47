// The kernel's view of the adapters' flash: one MTD device per partition and
// port that exposes it, named by the driver, numbered in the order the
// driver registers them (adapter by adapter, port by port).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "lab/model/lab_model.h"

namespace lab {

// MTD majors and the ioctl that erases, as the kernel defines them.
constexpr unsigned MTD_CHAR_MAJOR = 90;  // /dev/mtdN is minor 2N (2N+1 read-only)
constexpr unsigned MTD_BLOCK_MAJOR = 31; // /dev/mtdblockN is minor N
constexpr unsigned long MTD_MEMERASE = 0x40084D02;

// MEMERASE's argument, in the host's byte order as every ioctl argument.
struct MtdEraseInfo {
    uint32_t start;
    uint32_t length;
};
static_assert(sizeof(MtdEraseInfo) == 8);
static_assert(offsetof(MtdEraseInfo, length) == 4);
// _IOW('M', 2, struct erase_info_user): the size is part of the number.
static_assert(MTD_MEMERASE == (0x40000000ul | (sizeof(MtdEraseInfo) << 16) | ('M' << 8) | 2));

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
