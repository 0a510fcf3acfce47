// Ready-made hosts and adapters for `qslab create`.
#pragma once

#include <string>

#include "lab/model/lab_model.h"

namespace lab {

// A host of the given kind with its own interfaces (loopback, an on-board
// NIC of another driver) and, when the driver is loaded, the driver's
// module and control device as that kind of host has them.
LabState make_host(HostKind kind, bool driver_loaded);

// Appends an adapter built from a preset ("alder", "alder-0710", "birch",
// "cedar", "dogwood", "dogwood2", "oem"); ports 0 means the preset's
// default.  Serial numbers, MAC addresses and PCI buses continue from the
// adapters already present.  Throws std::runtime_error on a bad request.
void add_preset_adapter(LabState &state, const std::string &preset, unsigned ports);

// Names of the presets, for usage texts.
std::string preset_names();

} // namespace lab
