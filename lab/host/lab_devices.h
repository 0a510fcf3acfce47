// Open files whose behaviour the lab emulates: sockets, interface and
// control device nodes, PCI configuration space, driver attributes.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include <sys/types.h>

#include "lab/host/lab.h"

namespace lab {

class OpenFile {
public:
    virtual ~OpenFile() = default;
    // Defaults answer as a character device without these operations.
    virtual ssize_t read(void *buf, size_t count);
    virtual ssize_t write(const void *buf, size_t count);
    virtual off_t lseek(off_t offset, int whence);
    virtual int ioctl(unsigned long request, void *arg);
    // flock(2): 0, or -1 with errno.  Nothing else competes for most files.
    virtual int flock(int operation);
    // fsync(2): character devices have none (EINVAL).
    virtual int fsync();
};

// A socket: interface ioctls for the interface the request names.
std::unique_ptr<OpenFile> open_netdev(Lab &lab);
// An ESXi "vmnic" node: interface ioctls for its own interface, whatever
// name the request carries.
std::unique_ptr<OpenFile> open_netdev_node(Lab &lab, const std::string &ifname);
// The driver's control device.
std::unique_ptr<OpenFile> open_control_device(Lab &lab);
// Emulated sysfs files; flags are open(2)'s.  Null with errno on failure.
std::unique_ptr<OpenFile> open_emulated(Lab &lab, const EmulatedFile &file, int flags);

} // namespace lab
