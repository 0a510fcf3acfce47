// `qslab capture`: a lab description made from what a host shows of its
// adapters (sysfs, procfs, the VPD, /proc/mtd and, when asked, the MTD
// devices' contents), so that an update can be rehearsed on a copy of it.
#pragma once

#include <string>
#include <vector>

#include "lab/model/lab_model.h"
#include "lab/qslab/lab_host_files.h"

namespace lab {

struct Capture {
    LabState state; // partitions' initial_contents hold the flash read
    // One sentence each: what the host did not show and the lab filled in.
    std::vector<std::string> notes;
};

// Throws std::runtime_error when the root cannot be read or shows no port
// of the qsc driver.
Capture capture_host(const HostFiles &host, bool with_flash);

// The adapters' partitions as /proc/mtd lists them, grouped per adapter;
// with `with_flash`, each one's contents read through the first device
// that shows it.
void capture_partitions(const HostFiles &host, bool with_flash, Capture &capture);

} // namespace lab
