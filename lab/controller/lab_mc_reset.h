// What an adapter's management controller does when the driver resets it:
// it starts again from the controller firmware its partition holds, so
// that the version ethtool then reports is the one in flash.
#pragma once

#include <cstddef>
#include <string>

namespace lab {

class LabRun;

namespace mc {

// Resets the controller of the adapter (its index in the lab): it unpacks
// a new bundle its bundle partition holds (the bundle metadata then names
// the bundle's version, logged), runs the image in its controller-firmware
// partition when it accepts that image, and keeps what it ran when it
// refuses it or finds none.  Returns the event-log line that tells which,
// or "" for a board without controller firmware.
std::string reset_controller(LabRun &lab, size_t adapter);

} // namespace mc
} // namespace lab
