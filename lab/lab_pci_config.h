// A PCI function's configuration space as the device presents it: the
// standard header, a capability list and the VPD capability with its
// address/flag handshake.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "lab/lab_model.h"

namespace lab {

constexpr size_t PCI_CONFIG_HEADER_SIZE = 256;
constexpr size_t PCI_CONFIG_SPACE_SIZE = 4096; // PCI Express

// The header with its capabilities at rest (no VPD transfer in progress),
// as "/proc/bus/pci" files and the sysfs "config" file start.
std::array<uint8_t, PCI_CONFIG_HEADER_SIZE> build_config_header(const Adapter &adapter,
                                                                unsigned function);

class PciConfigSpace {
public:
    PciConfigSpace(const Adapter &adapter, unsigned function);

    // Accesses at byte offsets; both return the number of bytes moved,
    // which is short at the end of the space.
    size_t read(size_t offset, uint8_t *buf, size_t len);
    size_t write(size_t offset, const uint8_t *buf, size_t len);

    // 32-bit VPD reads the device has completed.
    unsigned vpd_reads() const { return vpd_reads_; }

private:
    void poll_vpd();
    void start_vpd_access();

    std::vector<uint8_t> regs_;
    std::vector<uint8_t> vpd_; // the EEPROM behind the capability
    size_t vpd_cap_ = 0;       // 0: no VPD capability
    int polls_needed_;
    int polls_left_ = 0;
    bool pending_ = false;
    unsigned vpd_reads_ = 0;
};

} // namespace lab
