#include "lib/platform/host_files.h"

#include <cerrno>
#include <string>

#include <fcntl.h>

#include "lib/platform/fd_guard.h"
#include "lib/platform/platform.h"

namespace {

int write_whole(int fd, std::span<const uint8_t> bytes)
{
    while (!bytes.empty()) {
        ssize_t n = platform().write(fd, bytes.data(), bytes.size());
        if (n < 0)
            return -1;
        if (n == 0) {
            errno = ENOSPC; // a regular file that takes nothing more: the disk is full
            return -1;
        }
        bytes = bytes.subspan(static_cast<size_t>(n));
    }
    return 0;
}

} // namespace

int flush_directory_of(const char *path)
{
    std::string dir(path);
    const size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    FdGuard fd(platform().open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid())
        return -1;
    return platform().fsync(fd.get());
}

int write_file_durably(const char *path, file_creation how, mode_t mode,
                       std::initializer_list<std::span<const uint8_t>> pieces)
{
    const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC |
                      (how == file_creation::exclusive ? O_EXCL : O_TRUNC);
    FdGuard fd(platform().open(path, flags, mode));
    if (!fd.valid())
        return -1;
    int rc = 0;
    for (std::span<const uint8_t> piece : pieces)
        if (rc == 0)
            rc = write_whole(fd.get(), piece);
    if (rc == 0)
        rc = platform().fsync(fd.get());
    if (rc == 0)
        rc = platform().close(fd.release());
    if (rc == 0)
        rc = flush_directory_of(path);
    if (rc != 0) {
        // A partial file would pass for a whole one later.
        int err = errno;
        fd.reset();
        platform().unlink(path);
        errno = err;
    }
    return rc;
}

int read_whole_file(const char *path, size_t max, std::vector<uint8_t> &out)
{
    FdGuard fd(platform().open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid())
        return -1;
    out.clear();
    uint8_t chunk[4096];
    for (;;) {
        ssize_t n = platform().read(fd.get(), chunk, sizeof chunk);
        if (n < 0)
            return -1;
        if (n == 0)
            return 0;
        if (out.size() + static_cast<size_t>(n) > max) {
            errno = EFBIG;
            return -1;
        }
        out.insert(out.end(), chunk, chunk + n);
    }
}
