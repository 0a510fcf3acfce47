// The MTD device nodes: /dev/mtdN (character, major 90, minor 2N; minor
// 2N+1 is the same device read-only) and /dev/mtdblockN (block, major 31,
// minor N), answering as the kernel's mtdchar and mtdblock drivers do over
// the partition's flash.  Whatever path a node has, its numbers decide.
#pragma once

#include <memory>

#include "lab/host/lab.h"
#include "lab/host/lab_devices.h"

namespace lab {

bool is_mtd_node(const DeviceNode &node);

// Opens an MTD node with open(2)'s flags; null with errno when its driver
// is not loaded (ENXIO), has no such device (ENODEV), or the read-only
// minor is opened for writing (EACCES).
std::unique_ptr<OpenFile> open_mtd_node(Lab &lab, const DeviceNode &node, int flags);

} // namespace lab
