// Identity of a port on the Linux path: PCI ids and PHY type from the
// sysfs attributes of its PCI function.
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>

#include "lib/platform/fd_guard.h"
#include "lib/platform/platform.h"
#include "lib/utils/linux/qsu_device_internal.h"
#include "lib/utils/netif.h"

namespace {

enum class AttrRead { ok, cannot_open, cannot_read };

constexpr size_t ATTR_LINE_MAX = 99;

// The first line of an attribute, at most 99 characters, as fgets gives it.
AttrRead read_attr_line(const char *pci_addr, const char *attr, std::string &line)
{
    char path[SYSFS_PATH_LEN];
    pci_attr_path(path, pci_addr, attr);
    FdGuard fd(platform().open(path, O_RDONLY));
    if (!fd.valid())
        return AttrRead::cannot_open;

    char buf[ATTR_LINE_MAX];
    size_t len = 0;
    while (len < sizeof buf && !std::memchr(buf, '\n', len)) {
        ssize_t got = platform().read(fd.get(), buf + len, sizeof buf - len);
        if (got < 0)
            return AttrRead::cannot_read;
        if (got == 0)
            break;
        len += static_cast<size_t>(got);
    }
    if (len == 0)
        return AttrRead::cannot_read;
    const char *newline = static_cast<const char *>(std::memchr(buf, '\n', len));
    line.assign(buf, newline ? static_cast<size_t>(newline - buf) : len);
    return AttrRead::ok;
}

} // namespace

uint32_t get_pci_id(const char *pci_addr, const char *high_attr, const char *low_attr)
{
    std::string line;
    if (read_attr_line(pci_addr, high_attr, line) != AttrRead::ok)
        return 0;
    unsigned long high = std::strtoul(line.c_str(), nullptr, 0);
    if (high == 0)
        return 0;
    uint32_t id = static_cast<uint32_t>(high << 16);

    switch (read_attr_line(pci_addr, low_attr, line)) {
    case AttrRead::cannot_open:
        return id;
    case AttrRead::cannot_read:
        return 0;
    case AttrRead::ok:
        break;
    }
    return id + static_cast<uint32_t>(std::strtoul(line.c_str(), nullptr, 0));
}

int get_phy_type(const char *pci_addr)
{
    std::string line;
    if (read_attr_line(pci_addr, "phy_type", line) != AttrRead::ok)
        return -1;
    return static_cast<int>(std::strtol(line.c_str(), nullptr, 0));
}
