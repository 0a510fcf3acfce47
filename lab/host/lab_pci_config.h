// A PCI function's configuration space as the device presents it: the
// standard header, a capability list and the VPD capability with its
// address/flag handshake.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "lab/model/lab_model.h"

namespace lab {

constexpr size_t PCI_CONFIG_HEADER_SIZE = 256;
constexpr size_t PCI_CONFIG_SPACE_SIZE = 4096; // PCI Express

// The header with its capabilities at rest (no VPD transfer in progress),
// as "/proc/bus/pci" files and the sysfs "config" file start.
std::array<uint8_t, PCI_CONFIG_HEADER_SIZE> build_config_header(const Adapter &adapter,
                                                                unsigned function);

// The adapter's VPD EEPROM, shared by its functions' capabilities and the
// sysfs "vpd" files.
struct Eeprom {
    std::vector<uint8_t> bytes;
    bool writable = false;
    bool written = false;
};

class PciConfigSpace {
public:
    PciConfigSpace(const Adapter &adapter, unsigned function, Eeprom &eeprom);

    // Accesses at byte offsets; both return the number of bytes moved,
    // which is short at the end of the space.  `exclusive` tells whether
    // the descriptor used holds the exclusive lock on the file.
    size_t read(size_t offset, uint8_t *buf, size_t len, bool exclusive = false);
    size_t write(size_t offset, const uint8_t *buf, size_t len, bool exclusive = false);

    // flock(2) on the file by one open file description: 0, or an errno
    // value when another description's lock is in the way.
    int lock(const void *owner, int operation);
    bool holds_exclusive(const void *owner) const { return exclusive_owner_ == owner; }

    // 32-bit VPD reads the device has completed, and how many of them were
    // requested or collected without the exclusive lock.
    unsigned vpd_reads() const { return vpd_reads_; }
    unsigned vpd_reads_unlocked() const { return vpd_reads_unlocked_; }
    // 32-bit VPD write requests completed (stored or not).
    unsigned vpd_writes() const { return vpd_writes_; }
    // Writes that touched any register other than the VPD capability's.
    unsigned other_writes() const { return other_writes_; }

private:
    void poll_vpd(bool exclusive);
    void start_vpd_access(bool exclusive);

    std::vector<uint8_t> regs_;
    Eeprom &eeprom_;
    size_t vpd_cap_ = 0; // 0: no VPD capability
    int polls_needed_;
    int polls_left_ = 0;
    bool pending_ = false;
    bool pending_write_ = false;
    bool pending_locked_ = false;
    unsigned vpd_reads_ = 0;
    unsigned vpd_reads_unlocked_ = 0;
    unsigned vpd_writes_ = 0;
    unsigned other_writes_ = 0;
    const void *exclusive_owner_ = nullptr;
    std::vector<const void *> shared_owners_;
};

} // namespace lab
