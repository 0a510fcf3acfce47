// Open files whose behaviour the lab emulates: sockets, interface and
// control device nodes, PCI configuration space, driver attributes.
#pragma once

#include <cstddef>
#include <memory>

#include <sys/types.h>

#include "lab/lab.h"

namespace lab {

class OpenFile {
public:
    virtual ~OpenFile() = default;
    // Defaults answer as a character device without these operations.
    virtual ssize_t read(void *buf, size_t count);
    virtual ssize_t write(const void *buf, size_t count);
    virtual off_t lseek(off_t offset, int whence);
    virtual int ioctl(unsigned long request, void *arg);
};

// An AF_INET socket, or an ESXi "vmnic" node: interface ioctls by name.
std::unique_ptr<OpenFile> open_netdev(Lab &lab);
// The driver's control device.
std::unique_ptr<OpenFile> open_control_device(Lab &lab);
// Emulated sysfs files; flags are open(2)'s.  Null with errno on failure.
std::unique_ptr<OpenFile> open_emulated(Lab &lab, const EmulatedFile &file, int flags);

} // namespace lab
