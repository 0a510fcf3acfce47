#include "lab/host/lab_devices.h"

#include <cerrno>
#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "lab/host/lab_netdev.h"
#include "lab/model/lab_vpd.h"

namespace lab {

ssize_t OpenFile::read(void *, size_t)
{
    errno = EINVAL;
    return -1;
}

ssize_t OpenFile::write(const void *, size_t)
{
    errno = EINVAL;
    return -1;
}

off_t OpenFile::lseek(off_t, int)
{
    errno = ESPIPE;
    return -1;
}

int OpenFile::ioctl(unsigned long, void *)
{
    errno = ENOTTY;
    return -1;
}

int OpenFile::flock(int)
{
    return 0;
}

int OpenFile::fsync()
{
    errno = EINVAL;
    return -1;
}

namespace {

class NetdevFile final : public OpenFile {
public:
    NetdevFile(Lab &lab, std::optional<std::string> bound) : lab_(lab), bound_(std::move(bound)) {}
    ssize_t read(void *, size_t) override
    {
        errno = ENOTCONN;
        return -1;
    }
    ssize_t write(const void *, size_t) override
    {
        errno = ENOTCONN;
        return -1;
    }
    int ioctl(unsigned long request, void *arg) override
    {
        return netdev_ioctl(lab_, request, arg, bound_ ? bound_->c_str() : nullptr);
    }

private:
    Lab &lab_;
    std::optional<std::string> bound_;
};

class ControlFile final : public OpenFile {
public:
    explicit ControlFile(Lab &lab) : lab_(lab) {}
    int ioctl(unsigned long request, void *arg) override
    {
        return control_device_ioctl(lab_, request, arg);
    }

private:
    Lab &lab_;
};

// A seekable file of a fixed size, checked against its open mode.
class PositionedFile : public OpenFile {
public:
    PositionedFile(int flags, off_t size) : flags_(flags), size_(size) {}

    off_t lseek(off_t offset, int whence) override
    {
        off_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? pos_ : whence == SEEK_END ? size_ : -1;
        if (base < 0 || base + offset < 0) {
            errno = EINVAL;
            return -1;
        }
        pos_ = base + offset;
        return pos_;
    }

protected:
    bool readable() const { return (flags_ & O_ACCMODE) != O_WRONLY; }
    bool writable() const { return (flags_ & O_ACCMODE) != O_RDONLY; }

    int flags_;
    off_t size_;
    off_t pos_ = 0;
};

class ConfigFile final : public PositionedFile {
public:
    ConfigFile(PciConfigSpace &space, int flags, off_t readable_size)
        : PositionedFile(flags, PCI_CONFIG_SPACE_SIZE), space_(space), readable_size_(readable_size)
    {
    }
    // Closing the last descriptor of an open file releases its lock.
    ~ConfigFile() override { space_.lock(this, LOCK_UN); }

    int flock(int operation) override
    {
        int err = space_.lock(this, operation);
        if (err == 0)
            return 0;
        errno = err;
        return -1;
    }

    ssize_t read(void *buf, size_t count) override
    {
        if (!readable()) {
            errno = EBADF;
            return -1;
        }
        if (pos_ >= readable_size_)
            return 0;
        count = std::min(count, static_cast<size_t>(readable_size_ - pos_));
        size_t got = space_.read(static_cast<size_t>(pos_), static_cast<uint8_t *>(buf), count,
                                 space_.holds_exclusive(this));
        pos_ += static_cast<off_t>(got);
        return static_cast<ssize_t>(got);
    }

    ssize_t write(const void *buf, size_t count) override
    {
        if (!writable()) {
            errno = EBADF;
            return -1;
        }
        size_t put = space_.write(static_cast<size_t>(pos_), static_cast<const uint8_t *>(buf), count,
                                  space_.holds_exclusive(this));
        pos_ += static_cast<off_t>(put);
        return static_cast<ssize_t>(put);
    }

private:
    PciConfigSpace &space_;
    off_t readable_size_;
};

// The sysfs "vpd" file: the kernel reads the EEPROM through the VPD
// capability, at most a page per read.  Sized to the VPD, or to the whole
// 32 KiB window on older kernels, where a read stops short at the end of
// the EEPROM and one that starts past it fails: the device never answers
// and the kernel's wait for it ends in ETIMEDOUT.
class VpdSysfsFile final : public PositionedFile {
public:
    VpdSysfsFile(const Eeprom &eeprom, int flags, off_t size) : PositionedFile(flags, size), eeprom_(eeprom) {}

    ssize_t read(void *buf, size_t count) override
    {
        if (!readable()) {
            errno = EBADF;
            return -1;
        }
        if (pos_ >= size_)
            return 0;
        off_t eeprom_size = static_cast<off_t>(eeprom_.bytes.size());
        if (pos_ >= eeprom_size) {
            errno = ETIMEDOUT;
            return -1;
        }
        size_t n = std::min({count, SYSFS_PAGE_SIZE, static_cast<size_t>(std::min(size_, eeprom_size) - pos_)});
        std::copy_n(eeprom_.bytes.begin() + pos_, n, static_cast<uint8_t *>(buf));
        pos_ += static_cast<off_t>(n);
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const void *, size_t) override
    {
        // The lab's kernel takes no VPD writes through sysfs.
        errno = writable() ? EPERM : EBADF;
        return -1;
    }

private:
    static constexpr size_t SYSFS_PAGE_SIZE = 4096;
    const Eeprom &eeprom_;
};

// The driver's "phy_flash_cfg" attribute: shows its value, takes 0 or 1.
class PhyFlashCfgFile final : public PositionedFile {
public:
    PhyFlashCfgFile(Lab &lab, Port &port, int flags) : PositionedFile(flags, 4096), lab_(lab), port_(port) {}

    ssize_t read(void *buf, size_t count) override
    {
        if (!readable()) {
            errno = EBADF;
            return -1;
        }
        std::string text = std::to_string(port_.phy_flash_cfg) + "\n";
        if (pos_ >= static_cast<off_t>(text.size()))
            return 0;
        count = std::min(count, text.size() - static_cast<size_t>(pos_));
        text.copy(static_cast<char *>(buf), count, static_cast<size_t>(pos_));
        pos_ += static_cast<off_t>(count);
        return static_cast<ssize_t>(count);
    }

    ssize_t write(const void *buf, size_t count) override
    {
        if (!writable()) {
            errno = EBADF;
            return -1;
        }
        std::string text(static_cast<const char *>(buf), count);
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        if (text != "0" && text != "1") {
            errno = EINVAL;
            return -1;
        }
        port_.phy_flash_cfg = text == "1";
        lab_.events().record("phy_flash_cfg of " + port_.ifname + " set to " + text);
        return static_cast<ssize_t>(count);
    }

private:
    Lab &lab_;
    Port &port_;
};

} // namespace

std::unique_ptr<OpenFile> open_netdev(Lab &lab)
{
    return std::make_unique<NetdevFile>(lab, std::nullopt);
}

std::unique_ptr<OpenFile> open_netdev_node(Lab &lab, const std::string &ifname)
{
    return std::make_unique<NetdevFile>(lab, ifname);
}

std::unique_ptr<OpenFile> open_control_device(Lab &lab)
{
    return std::make_unique<ControlFile>(lab);
}

std::unique_ptr<OpenFile> open_emulated(Lab &lab, const EmulatedFile &file, int flags)
{
    bool root = lab.state().host.euid == 0;
    bool wants_write = (flags & O_ACCMODE) != O_RDONLY;
    Adapter &adapter = lab.state().adapters.at(file.adapter);
    if (file.kind == EmulatedFile::Kind::pci_config) {
        // Mode 0644: others may read, but the kernel shows them only the
        // first 64 bytes.
        if (!adapter.config.openable || (wants_write && !root)) {
            errno = EACCES;
            return nullptr;
        }
        return std::make_unique<ConfigFile>(lab.config_space(file.adapter, file.port), flags,
                                            root ? PCI_CONFIG_SPACE_SIZE : 64);
    }
    if (file.kind == EmulatedFile::Kind::vpd) {
        // Mode 0600: root only.
        if (!root) {
            errno = EACCES;
            return nullptr;
        }
        const Eeprom &eeprom = lab.eeprom(file.adapter);
        off_t size = static_cast<off_t>(adapter.vpd_sysfs_size ? adapter.vpd_sysfs_size : vpd_length(eeprom.bytes));
        return std::make_unique<VpdSysfsFile>(eeprom, flags, size);
    }
    if (wants_write && !root) {
        errno = EACCES;
        return nullptr;
    }
    return std::make_unique<PhyFlashCfgFile>(lab, adapter.ports.at(file.port), flags);
}

} // namespace lab
