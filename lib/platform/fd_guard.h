// Closes a descriptor through the platform seam when it goes out of scope,
// keeping errno so that the cause of a failure survives the cleanup.
#pragma once

#include <cerrno>

#include "lib/platform/platform.h"

class FdGuard {
public:
    explicit FdGuard(int fd = -1) : fd_(fd) {}
    ~FdGuard() { reset(); }
    FdGuard(const FdGuard &) = delete;
    FdGuard &operator=(const FdGuard &) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (fd_ >= 0) {
            int saved = errno;
            platform().close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }

private:
    int fd_;
};
