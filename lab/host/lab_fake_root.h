// The fake root: plain files where Linux has plain files (sysfs attributes,
// procfs texts, PCI headers), laid out with the same directories and
// symbolic links, rebuilt from the lab's description.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "lab/model/lab_model.h"

namespace lab {

// A file whose behaviour the lab emulates instead of reading it.
struct EmulatedFile {
    enum class Kind { pci_config, phy_flash_cfg, vpd };
    Kind kind;
    size_t adapter;
    size_t port;
};

// Rebuilds ROOT/sys and ROOT/proc from the state (ROOT/dev, ROOT/var and
// ROOT/run are left as they are) and returns the emulated files, keyed by
// their canonical paths on the real file system.
std::map<std::string, EmulatedFile> build_fake_root(const LabState &state, const std::string &root);

// Rewrites ROOT/proc/devices after a module has been loaded.
void refresh_proc_devices(const LabState &state, const std::string &root);

// Device nodes of the host: those its drivers make (ESXi's control and
// "vmnic" nodes, present while their driver is; the MTD nodes once the
// device manager has made them) and those made on it since (`nodes`, kept
// in the description).
std::vector<DeviceNode> all_nodes(const LabState &state);

} // namespace lab
