#include "lab/lab_mtd_node.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>

#include "lab/lab_mtd.h"

namespace lab {

namespace {

ssize_t fail(int err)
{
    errno = err;
    return -1;
}

class MtdFile final : public OpenFile {
public:
    MtdFile(Lab &lab, Flash &flash, const DeviceNode &node, int flags)
        : lab_(lab), flash_(flash), block_(node.block), flags_(flags), via_{node.path},
          size_(flash.partition().size)
    {
    }

    ssize_t read(void *buf, size_t count) override
    {
        if ((flags_ & O_ACCMODE) == O_WRONLY)
            return fail(EBADF);
        if (pos_ >= size_)
            return 0;
        count = std::min(count, static_cast<size_t>(size_ - pos_));
        ssize_t got = flash_.read(static_cast<uint64_t>(pos_), {static_cast<uint8_t *>(buf), count}, via_);
        if (got > 0)
            pos_ += got;
        return got;
    }

    // A write that starts at the end has no room; one that crosses it is
    // cut to fit.
    ssize_t write(const void *buf, size_t count) override
    {
        if ((flags_ & O_ACCMODE) == O_RDONLY)
            return fail(EBADF);
        if (count == 0)
            return 0;
        if (pos_ >= size_)
            return fail(ENOSPC);
        std::span<const uint8_t> data{static_cast<const uint8_t *>(buf),
                                      std::min(count, static_cast<size_t>(size_ - pos_))};
        ssize_t put = block_ ? flash_.write_in_place(static_cast<uint64_t>(pos_), data, via_)
                             : flash_.program(static_cast<uint64_t>(pos_), data, via_);
        if (put > 0)
            pos_ += put;
        return put;
    }

    off_t lseek(off_t offset, int whence) override
    {
        off_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? pos_ : whence == SEEK_END ? size_ : -1;
        if (base < 0 || offset < -base || offset > size_ - base) {
            errno = EINVAL;
            return -1;
        }
        return pos_ = base + offset;
    }

    int ioctl(unsigned long request, void *arg) override
    {
        if (const Fault *fault = lab_.faults().strike({via_, "ioctl", request}))
            return static_cast<int>(fail(fault->error));
        if (block_ || request != MTD_MEMERASE)
            return static_cast<int>(fail(ENOTTY));
        // Changing ioctls need a descriptor open for writing.
        if ((flags_ & O_ACCMODE) == O_RDONLY)
            return static_cast<int>(fail(EPERM));
        if (!arg)
            return static_cast<int>(fail(EFAULT));
        MtdEraseInfo info;
        std::memcpy(&info, arg, sizeof info);
        if (info.start >= size_ || info.length > size_ - info.start)
            return static_cast<int>(fail(EINVAL));
        return flash_.erase(info.start, info.length, via_);
    }

private:
    Lab &lab_;
    Flash &flash_;
    bool block_;
    int flags_;
    std::vector<std::string> via_;
    off_t size_;
    off_t pos_ = 0;
};

} // namespace

bool is_mtd_node(const DeviceNode &node)
{
    return node.block ? node.major == MTD_BLOCK_MAJOR : node.major == MTD_CHAR_MAJOR;
}

std::unique_ptr<OpenFile> open_mtd_node(Lab &lab, const DeviceNode &node, int flags)
{
    // No driver holds the major until its module is loaded.
    if (!module_loaded(lab.state().host, node.block ? "mtdblock" : "mtdchar")) {
        errno = ENXIO;
        return nullptr;
    }
    unsigned number = node.block ? node.minor : node.minor / 2;
    for (const MtdDevice &d : mtd_devices(lab.state())) {
        if (d.number != number)
            continue;
        if (!node.block && (node.minor & 1) && (flags & O_ACCMODE) != O_RDONLY) {
            errno = EACCES;
            return nullptr;
        }
        return std::make_unique<MtdFile>(lab, lab.flash(d.adapter, d.partition), node, flags);
    }
    errno = ENODEV;
    return nullptr;
}

} // namespace lab
