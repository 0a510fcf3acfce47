// A Linux host whose adapter driver exports partitions as MTD devices:
// "/proc/mtd", device nodes that appear a while after their module loads,
// modprobe, nodes made by hand, and flash (the file "/flash/mtdN") that
// records erases and transfers.  The kernel's facts (erase ioctl, majors
// and minors) are written down here, not taken from the product.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/unit/support/fake_platform.h"

class MtdHost : public FakePlatform {
public:
    struct Device {
        std::string name;
        uint32_t size, erase_size;
    };
    std::vector<Device> devices; // mtdN is devices[N]
    std::set<std::string> loaded{"mtdchar"}, loadable{"mtdchar", "mtdblock"};
    int node_delay_s = 0; // from a module's load until its /dev nodes appear; -1: never
    std::string release = "3.10.0";
    int mknod_errno = 0, open_errno = 0; // open_errno: of every device node
    // The Nth (from 0) erase, or read or write, fails with io_errno, or
    // the transfer is cut to half with io_short.
    int erase_fault_at = -1, io_fault_at = -1, io_errno = EIO;
    bool io_short = false;

    std::vector<std::string> commands, opened; // shell commands; device nodes tried
    std::vector<std::string> made;             // "path mode[ major:minor]"
    std::vector<uint32_t> erased;              // start of each erased block
    std::vector<size_t> transfers;             // size of each read or write
    int sockets = 0;

    // Adds mtdN filled with `fill` and lists it in "/proc/mtd".
    void add(const std::string &name, uint32_t size, uint32_t erase_size, char fill = 'x');
    void publish(); // "/proc/mtd" from `devices`
    std::string &flash(unsigned n) { return node("/flash/mtd" + std::to_string(n)).content; }
    size_t open_devices() const { return device_of_.size(); }

    int open(const char *path, int flags, mode_t mode) override;
    int close(int fd) override;
    ssize_t read(int fd, void *buf, size_t count) override;
    ssize_t write(int fd, const void *buf, size_t count) override;
    int ioctl(int fd, unsigned long request, void *arg) override;
    int mkdir(const char *path, mode_t mode) override;
    int mknod(const char *path, mode_t mode, dev_t dev) override;
    int system(const char *command) override;
    int uname(struct utsname *name) override;
    int socket(int domain, int type, int protocol) override;

private:
    int open_device(unsigned n, const char *module);
    ssize_t fault(int fd, size_t &count);

    std::map<int, unsigned> device_of_;
    std::map<std::string, unsigned long> loaded_at_us_;
    std::map<std::string, dev_t> nodes_; // made by hand
};
