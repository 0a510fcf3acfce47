#include "lab/host/lab_mtd_node.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>

#include <fcntl.h>

#include "lab/controller/lab_mc_verdict.h"
#include "lab/flash/lab_mtd.h"
#include "lab/model/lab_preset_flash.h"

namespace lab {

namespace {

ssize_t fail(int err)
{
    errno = err;
    return -1;
}

// The page cache of one MTD block device, shared by all its descriptors.
// Pages written through it stay there until its last descriptor closes;
// then the block layer writes them back and mtdblock rewrites the erase
// blocks they fall in.  Until then every other path reads the old bytes,
// and what another path wrote meanwhile into a written page is lost.  A
// page only partly written is read from the flash first.  Write-back
// errors reach nobody: close succeeds all the same.
class BlockCache {
public:
    static constexpr uint64_t PAGE = 4096;

    // `written_back` runs after a flush that wrote something.
    BlockCache(Flash &flash, std::vector<std::string> via, std::function<void()> written_back)
        : flash_(flash), via_(std::move(via)), written_back_(std::move(written_back))
    {
    }
    ~BlockCache() { flush(); }

    // Writes the pages back, a run of consecutive ones at a time, and
    // forgets them; -1 with the errno of a write that failed (its pages
    // are lost, as the kernel drops pages it could not write back).
    int flush()
    {
        int err = 0;
        for (auto it = pages_.begin(); it != pages_.end();) {
            const uint64_t first = it->first;
            std::vector<uint8_t> run;
            for (; it != pages_.end() && it->first == first + run.size() / PAGE; ++it)
                run.insert(run.end(), it->second.begin(), it->second.end());
            errno = 0;
            if (flash_.write_in_place(first * PAGE, run, via_) != static_cast<ssize_t>(run.size()) && !err)
                err = errno ? errno : EIO; // a write cut short says nothing more
        }
        const bool wrote = !pages_.empty();
        pages_.clear();
        if (wrote)
            written_back_();
        return err ? static_cast<int>(fail(err)) : 0;
    }
    BlockCache(const BlockCache &) = delete;
    BlockCache &operator=(const BlockCache &) = delete;

    ssize_t read(uint64_t offset, std::span<uint8_t> out)
    {
        size_t done = 0;
        while (done < out.size()) {
            const uint64_t at = offset + done;
            size_t length = std::min<uint64_t>(out.size() - done, PAGE - at % PAGE);
            if (auto page = pages_.find(at / PAGE); page != pages_.end()) {
                std::memcpy(out.data() + done, page->second.data() + at % PAGE, length);
            } else {
                // The pages up to the next written one come from the flash in one read.
                while (done + length < out.size() && !pages_.count((at + length) / PAGE))
                    length += std::min<uint64_t>(out.size() - done - length, PAGE);
                if (flash_.read(at, out.subspan(done, length), via_) < 0)
                    return done ? static_cast<ssize_t>(done) : -1;
            }
            done += length;
        }
        return static_cast<ssize_t>(done);
    }

    ssize_t write(uint64_t offset, std::span<const uint8_t> data)
    {
        size_t done = 0;
        while (done < data.size()) {
            const uint64_t at = offset + done, index = at / PAGE;
            const size_t length = std::min<uint64_t>(data.size() - done, PAGE - at % PAGE);
            auto page = pages_.find(index);
            if (page == pages_.end()) {
                std::vector<uint8_t> bytes(std::min<uint64_t>(PAGE, flash_.partition().size - index * PAGE));
                if (length < bytes.size() && flash_.read(index * PAGE, bytes, via_) < 0)
                    return done ? static_cast<ssize_t>(done) : -1;
                page = pages_.emplace(index, std::move(bytes)).first;
            }
            std::memcpy(page->second.data() + at % PAGE, data.data() + done, length);
            done += length;
        }
        return static_cast<ssize_t>(done);
    }

private:
    Flash &flash_;
    std::vector<std::string> via_;
    std::function<void()> written_back_;
    std::map<uint64_t, std::vector<uint8_t>> pages_; // by page index
};

// The driver's MTD devices reach the flash through the management
// controller, which judges new controller firmware when the update ends:
// at the last close of a device that changed it.
void controller_judges(Lab &lab, size_t adapter, const Flash &flash, const std::string &via)
{
    if (flash.partition().kind != PART_MCFW || !lab.controller(adapter))
        return;
    std::string verdict;
    const int err = mc::judge_written(lab, adapter, verdict);
    lab.events().record("controller judges " + flash.partition().id + " written through " + via + ": " +
                        (err ? "the status record could not be written" : verdict));
}

// The page cache belongs to the block device, not to a descriptor: every
// open of the same device shares it, for as long as one is open.
std::shared_ptr<BlockCache> block_cache(Lab &lab, size_t adapter, Flash &flash, unsigned number,
                                        const std::string &path)
{
    static std::map<std::pair<const Flash *, unsigned>, std::weak_ptr<BlockCache>> caches;
    std::weak_ptr<BlockCache> &entry = caches[{&flash, number}];
    std::shared_ptr<BlockCache> cache = entry.lock();
    if (!cache)
        entry = cache = std::make_shared<BlockCache>(flash, std::vector<std::string>{path}, [&lab, adapter, &flash, path] {
            controller_judges(lab, adapter, flash, path);
        });
    return cache;
}

class MtdFile final : public OpenFile {
public:
    MtdFile(Lab &lab, size_t adapter, Flash &flash, const DeviceNode &node, unsigned number, int flags)
        : lab_(lab), adapter_(adapter), flash_(flash), block_(node.block), flags_(flags), via_{node.path},
          size_(flash.partition().size),
          cache_(node.block ? block_cache(lab, adapter, flash, number, node.path) : nullptr)
    {
    }
    ~MtdFile() override
    {
        if (changed_)
            controller_judges(lab_, adapter_, flash_, via_.front());
    }

    ssize_t read(void *buf, size_t count) override
    {
        if ((flags_ & O_ACCMODE) == O_WRONLY)
            return fail(EBADF);
        if (pos_ >= size_)
            return 0;
        count = std::min(count, static_cast<size_t>(size_ - pos_));
        std::span<uint8_t> out{static_cast<uint8_t *>(buf), count};
        ssize_t got = cache_ ? cache_->read(static_cast<uint64_t>(pos_), out)
                             : flash_.read(static_cast<uint64_t>(pos_), out, via_);
        if (got > 0)
            pos_ += got;
        return got;
    }

    // A write that starts at the end has no room (mtdchar says so even of
    // an empty one); one that crosses it is cut to fit.
    ssize_t write(const void *buf, size_t count) override
    {
        if ((flags_ & O_ACCMODE) == O_RDONLY)
            return fail(EBADF);
        if (count == 0 && block_)
            return 0;
        if (pos_ >= size_)
            return fail(ENOSPC);
        if (count == 0)
            return 0;
        std::span<const uint8_t> data{static_cast<const uint8_t *>(buf),
                                      std::min(count, static_cast<size_t>(size_ - pos_))};
        ssize_t put = cache_ ? cache_->write(static_cast<uint64_t>(pos_), data)
                             : flash_.program(static_cast<uint64_t>(pos_), data, via_);
        if (put > 0)
            pos_ += put;
        changed_ = changed_ || (put > 0 && !cache_);
        return put;
    }

    // The block device's pages reach the flash; a character device has
    // no fsync.
    int fsync() override { return cache_ ? cache_->flush() : static_cast<int>(fail(EINVAL)); }

    off_t lseek(off_t offset, int whence) override
    {
        if (const Fault *fault = lab_.faults().strike({via_, "lseek", std::nullopt}))
            return fail(fault->error);
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
        // The MTD core answers an empty erase before the chip's driver
        // looks at its alignment.
        if (info.length == 0)
            return 0;
        const int rc = flash_.erase(info.start, info.length, via_);
        changed_ = changed_ || rc == 0;
        return rc;
    }

private:
    Lab &lab_;
    size_t adapter_;
    Flash &flash_;
    bool block_;
    bool changed_ = false; // through the character device: judged at close
    int flags_;
    std::vector<std::string> via_;
    off_t size_;
    off_t pos_ = 0;
    std::shared_ptr<BlockCache> cache_;
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
        return std::make_unique<MtdFile>(lab, d.adapter, lab.flash(d.adapter, d.partition), node, number, flags);
    }
    errno = ENODEV;
    return nullptr;
}

} // namespace lab
