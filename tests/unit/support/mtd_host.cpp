#include "tests/unit/support/mtd_host.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/sysmacros.h>

namespace {

constexpr unsigned long MEMERASE = 0x40084D02; // _IOW('M', 2, struct erase_info_user)
struct erase_info_user {
    uint32_t start, length;
};
constexpr unsigned MTD_CHAR_MAJOR = 90;  // /dev/mtdN: minor 2N
constexpr unsigned MTD_BLOCK_MAJOR = 31; // /dev/mtdblockN: minor N

int fail_with(int err)
{
    errno = err;
    return -1;
}

} // namespace

void MtdHost::add(const std::string &name, uint32_t size, uint32_t erase_size, char fill)
{
    add_file("/flash/mtd" + std::to_string(devices.size()), std::string(size, fill));
    devices.push_back({name, size, erase_size});
    publish();
}

void MtdHost::publish()
{
    std::string text = "dev:    size   erasesize  name\n";
    for (size_t i = 0; i < devices.size(); ++i) {
        char line[300];
        std::snprintf(line, sizeof line, "mtd%zu: %08x %08x \"%s\"\n", i, devices[i].size, devices[i].erase_size,
                      devices[i].name.c_str());
        text += line;
    }
    add_file("/proc/mtd", text);
}

int MtdHost::open_device(unsigned n, const char *module)
{
    if (open_errno || n >= devices.size() || !loaded.count(module))
        return fail_with(open_errno ? open_errno : n >= devices.size() ? ENXIO : ENODEV);
    int fd = FakePlatform::open(("/flash/mtd" + std::to_string(n)).c_str(), 0, 0);
    device_of_[fd] = n;
    return fd;
}

int MtdHost::open(const char *path, int flags, mode_t mode)
{
    unsigned n;
    char rest;
    bool block = std::sscanf(path, "/dev/mtdblock%u%c", &n, &rest) == 1;
    if (block || std::sscanf(path, "/dev/mtd%u%c", &n, &rest) == 1) {
        opened.push_back(path);
        const char *module = block ? "mtdblock" : "mtdchar";
        unsigned long since = loaded_at_us_.count(module) ? loaded_at_us_[module] : 0;
        bool present = loaded.count(module) && node_delay_s >= 0 && slept_us - since >= node_delay_s * 1000000ul;
        return present ? open_device(n, module) : fail_with(ENOENT);
    }
    auto node = nodes_.find(path);
    if (node == nodes_.end())
        return FakePlatform::open(path, flags, mode);
    opened.push_back(path);
    unsigned major_number = major(node->second), minor_number = minor(node->second);
    if (major_number == MTD_CHAR_MAJOR && minor_number % 2 == 0)
        return open_device(minor_number / 2, "mtdchar");
    return major_number == MTD_BLOCK_MAJOR ? open_device(minor_number, "mtdblock") : fail_with(ENXIO);
}

int MtdHost::close(int fd)
{
    device_of_.erase(fd);
    return FakePlatform::close(fd);
}

ssize_t MtdHost::fault(int fd, size_t &count)
{
    if (!device_of_.count(fd))
        return 0;
    transfers.push_back(count);
    if (io_fault_at-- != 0)
        return 0;
    if (io_short)
        count /= 2;
    return io_short ? 0 : fail_with(io_errno);
}

ssize_t MtdHost::read(int fd, void *buf, size_t count)
{
    return fault(fd, count) < 0 ? -1 : FakePlatform::read(fd, buf, count);
}

ssize_t MtdHost::write(int fd, const void *buf, size_t count)
{
    return fault(fd, count) < 0 ? -1 : FakePlatform::write(fd, buf, count);
}

int MtdHost::ioctl(int fd, unsigned long request, void *arg)
{
    if (!device_of_.count(fd) || request != MEMERASE)
        return FakePlatform::ioctl(fd, request, arg);
    const Device &dev = devices[device_of_[fd]];
    auto *erase = static_cast<erase_info_user *>(arg);
    erased.push_back(erase->start);
    if (!dev.erase_size || erase->length != dev.erase_size || erase->start % dev.erase_size ||
        erase->start >= dev.size)
        return fail_with(EINVAL);
    if (erase_fault_at-- == 0)
        return fail_with(EIO);
    std::string &data = flash(device_of_[fd]);
    std::fill(data.begin() + std::min<size_t>(erase->start, data.size()),
              data.begin() + std::min<size_t>(erase->start + erase->length, data.size()), '\xff');
    return 0;
}

int MtdHost::mkdir(const char *path, mode_t mode)
{
    char text[200];
    std::snprintf(text, sizeof text, "%s %o", path, static_cast<unsigned>(mode));
    made.push_back(text);
    struct stat st;
    if (stat(path, &st) == 0)
        return fail_with(EEXIST);
    add_dir(path);
    return 0;
}

int MtdHost::mknod(const char *path, mode_t mode, dev_t dev)
{
    char text[200];
    std::snprintf(text, sizeof text, "%s %o %u:%u", path, static_cast<unsigned>(mode), major(dev), minor(dev));
    made.push_back(text);
    if (mknod_errno || nodes_.count(path))
        return fail_with(mknod_errno ? mknod_errno : EEXIST);
    nodes_[path] = dev;
    return 0;
}

int MtdHost::system(const char *command)
{
    commands.push_back(command);
    char module[32];
    if (std::sscanf(command, "modprobe %31s >/dev/null 2>&1", module) != 1 || !loadable.count(module)) {
        errno = ECHILD; // what the command's own failure left behind
        return 1 << 8;
    }
    if (loaded.insert(module).second)
        loaded_at_us_[module] = slept_us;
    return 0;
}

int MtdHost::uname(struct utsname *name)
{
    FakePlatform::uname(name);
    std::strncpy(name->release, release.c_str(), sizeof name->release - 1);
    return 0;
}

int MtdHost::socket(int domain, int type, int protocol)
{
    ++sockets;
    return FakePlatform::socket(domain, type, protocol);
}
