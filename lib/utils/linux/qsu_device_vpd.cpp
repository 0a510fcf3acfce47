// Reading a port's VPD: through the VPD capability in PCI configuration
// space, else through the kernel's sysfs "vpd" file.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

#include <fcntl.h>
#include <libintl.h>
#include <sys/file.h>

#include "lib/platform/fd_guard.h"
#include "lib/platform/platform.h"
#include "lib/utils/byteorder.h"
#include "lib/utils/linux/qsu_device.h"
#include "lib/utils/linux/qsu_device_internal.h"
#include "lib/utils/netif.h"
#include "lib/utils/qs_assert.h"

namespace {

constexpr unsigned PCI_STATUS = 0x06;
constexpr uint16_t PCI_STATUS_CAP_LIST = 0x10;
constexpr unsigned PCI_CAPABILITY_LIST = 0x34;
constexpr uint8_t PCI_CAP_ID_VPD = 0x03;
constexpr unsigned PCI_VPD_ADDR = 2;
constexpr unsigned PCI_VPD_DATA = 4;
constexpr uint16_t PCI_VPD_ADDR_F = 0x8000;
// Capabilities sit at 4-byte steps above the 64-byte header; a longer walk
// can only be a loop in a broken list.
constexpr int PCI_MAX_CAPABILITIES = 48;

constexpr size_t VPD_CONFIG_MAX = 32768;
constexpr int VPD_POLLS = 126;
constexpr unsigned long VPD_POLL_US = 1000;
constexpr uint8_t VPD_END_TAG = 0x78;
constexpr uint8_t VPD_LARGE_RESOURCE = 0x80;
constexpr size_t VPD_SYSFS_STEP = 65536;

struct FreeDeleter {
    void operator()(uint8_t *p) const { std::free(p); }
};
using VpdBuffer = std::unique_ptr<uint8_t, FreeDeleter>;

// Holds an exclusive advisory lock while in scope.  Declared after the
// descriptor's guard, so that the lock goes before the descriptor does.
class ExclusiveLock {
public:
    explicit ExclusiveLock(int fd) : fd_(fd), held_(platform().flock(fd, LOCK_EX) == 0) {}
    ~ExclusiveLock()
    {
        if (held_) {
            int saved = errno;
            platform().flock(fd_, LOCK_UN);
            errno = saved;
        }
    }
    ExclusiveLock(const ExclusiveLock &) = delete;
    ExclusiveLock &operator=(const ExclusiveLock &) = delete;
    bool held() const { return held_; }

private:
    int fd_;
    bool held_;
};

void report_open_failure(const qsu_device *dev, const char *path)
{
    // A virtual function has no VPD; its missing file is no news.
    if (!qsu_maybe_vf(dev))
        std::fprintf(stderr, gettext("Failed to open %s, you may have insufficient permissions.\n"),
                     path);
}

int write_pci_config16(int fd, unsigned offset, uint16_t value)
{
    uint8_t bytes[2];
    store_le16(bytes, value);
    if (platform().lseek(fd, offset, SEEK_SET) != static_cast<off_t>(offset))
        return errno;
    ssize_t put = platform().write(fd, bytes, sizeof bytes);
    if (put < 0)
        return errno;
    return put == static_cast<ssize_t>(sizeof bytes) ? 0 : EIO;
}

int read_pci_config16(int fd, unsigned offset, uint16_t *value)
{
    uint8_t bytes[2];
    int rc = read_pci_config(fd, offset, bytes, sizeof bytes);
    if (rc == 0)
        *value = load_le16(bytes);
    return rc;
}

// Offset of the VPD capability, or 0 when the function has none.
unsigned find_vpd_capability(int fd)
{
    uint16_t status;
    if (read_pci_config16(fd, PCI_STATUS, &status) != 0 || !(status & PCI_STATUS_CAP_LIST))
        return 0;
    uint8_t pos;
    if (read_pci_config(fd, PCI_CAPABILITY_LIST, &pos, 1) != 0)
        return 0;
    for (int i = 0; i < PCI_MAX_CAPABILITIES && pos != 0; ++i) {
        uint8_t cap[2]; // id, next pointer
        if (read_pci_config(fd, pos, cap, sizeof cap) != 0)
            return 0;
        if (cap[0] == PCI_CAP_ID_VPD)
            return pos;
        pos = cap[1];
    }
    return 0;
}

// Reads the four VPD bytes at addr through the capability at cap.
int read_vpd_word(int fd, unsigned cap, unsigned addr, uint8_t *out)
{
    int rc = write_pci_config16(fd, cap + PCI_VPD_ADDR, static_cast<uint16_t>(addr & ~PCI_VPD_ADDR_F));
    if (rc != 0)
        return rc;
    for (int poll = 0; poll < VPD_POLLS; ++poll) {
        platform().sleep_us(VPD_POLL_US);
        uint16_t reg;
        rc = read_pci_config16(fd, cap + PCI_VPD_ADDR, &reg);
        if (rc != 0)
            return rc;
        if (reg & PCI_VPD_ADDR_F)
            return read_pci_config(fd, cap + PCI_VPD_DATA, out, 4);
    }
    return ETIMEDOUT;
}

} // namespace

// Steps over at most one resource tag once the bytes read so far (up to
// addr + 3) reach it.  True with the VPD length when the end tag is found.
bool reached_vpd_end(const uint8_t *buf, size_t addr, size_t &next_tag, size_t &len)
{
    if (addr + 3 < next_tag)
        return false;
    uint8_t tag = buf[next_tag];
    if (tag == VPD_END_TAG) {
        len = next_tag + 1;
        return true;
    }
    if (!(tag & VPD_LARGE_RESOURCE))
        next_tag += (tag & 7u) + 1;
    else if (addr + 1 >= next_tag) // both length bytes are in
        next_tag += load_le16(buf + next_tag + 1) + 3u;
    return false;
}

namespace {

// 0 with the VPD read through configuration space, else an errno value.
int read_vpd_config(qsu_device *dev, VpdBuffer &out, size_t &out_len)
{
    VpdBuffer buf(static_cast<uint8_t *>(std::malloc(VPD_CONFIG_MAX)));
    if (!buf)
        return ENOMEM;
    char path[SYSFS_PATH_LEN];
    netif_attr_path(path, dev->netif_name, "device/config");
    FdGuard fd(platform().open(path, O_RDWR | O_SYNC));
    if (!fd.valid()) {
        int saved = errno;
        report_open_failure(dev, path);
        return saved;
    }
    // Another process's address writes must not interleave with ours.
    ExclusiveLock lock(fd.get());
    if (!lock.held())
        return errno;

    unsigned cap = find_vpd_capability(fd.get());
    if (cap == 0)
        return ENOENT;

    size_t len = VPD_CONFIG_MAX;
    size_t next_tag = 0;
    for (size_t addr = 0; addr < VPD_CONFIG_MAX; addr += 4) {
        int rc = read_vpd_word(fd.get(), cap, static_cast<unsigned>(addr), buf.get() + addr);
        if (rc != 0)
            return rc;
        if (reached_vpd_end(buf.get(), addr, next_tag, len))
            break;
    }
    out = std::move(buf);
    out_len = len;
    return 0;
}

// 0 with the whole sysfs "vpd" file, else an errno value.
int read_vpd_sysfs(qsu_device *dev, uint8_t **vpd_data, size_t *vpd_len)
{
    char path[SYSFS_PATH_LEN];
    netif_attr_path(path, dev->netif_name, "device/vpd");
    FdGuard fd(platform().open(path, O_RDONLY));
    if (!fd.valid()) {
        int saved = errno;
        report_open_failure(dev, path);
        return saved;
    }

    // sysfs hands out at most a page per read, so a short read is not the
    // end of the file: only a read of nothing is.
    VpdBuffer buf;
    size_t len = 0, capacity = 0;
    for (;;) {
        if (len == capacity) {
            auto *grown = static_cast<uint8_t *>(std::realloc(buf.get(), capacity + VPD_SYSFS_STEP));
            if (!grown)
                return ENOMEM;
            static_cast<void>(buf.release());
            buf.reset(grown);
            capacity += VPD_SYSFS_STEP;
        }
        ssize_t got = platform().read(fd.get(), buf.get() + len, capacity - len);
        // A failed first read is not an empty VPD.  Older kernels expose a
        // 32 KiB window whose reads past the EEPROM fail: there, a failure
        // after data is the end of it.
        if (got < 0 && len == 0)
            return errno;
        if (got <= 0)
            break;
        len += static_cast<size_t>(got);
    }
    *vpd_data = buf.release();
    *vpd_len = len;
    return 0;
}

} // namespace

int read_pci_config(int fd, unsigned offset, void *buf, unsigned len)
{
    if (platform().lseek(fd, offset, SEEK_SET) != static_cast<off_t>(offset))
        return errno;
    ssize_t got = platform().read(fd, buf, len);
    if (got < 0)
        return errno;
    return got == static_cast<ssize_t>(len) ? 0 : EIO;
}

int qsu_device_get_vpd(qsu_device *dev, uint8_t **vpd_data, size_t *vpd_len)
{
    QS_ASSERT(dev && vpd_data && vpd_len);
    VpdBuffer buf;
    size_t len = 0;
    if (read_vpd_config(dev, buf, len) == 0 && len > 0) {
        *vpd_data = buf.release();
        *vpd_len = len;
        return 0;
    }
    return read_vpd_sysfs(dev, vpd_data, vpd_len);
}
