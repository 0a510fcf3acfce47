#include "app/qsupdate/update_lock.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include "lib/platform/fd_guard.h"
#include "lib/platform/platform.h"

namespace {

// The process id the holder wrote, or 0 when the file does not hold one.
pid_t recorded_holder(int fd)
{
    char text[24] = "";
    ssize_t got = platform().read(fd, text, sizeof text - 1);
    if (got <= 0)
        return 0;
    text[got] = '\0';
    char *end = nullptr;
    long pid = std::strtol(text, &end, 10);
    bool named = end != text && (*end == '\n' || *end == '\0');
    return named && pid > 0 && pid <= std::numeric_limits<pid_t>::max() ? static_cast<pid_t>(pid) : 0;
}

// Whether only root can make or replace names in the directory.
bool roots_alone(const struct stat &st)
{
    return S_ISDIR(st.st_mode) && st.st_uid == 0 && !(st.st_mode & (S_IWGRP | S_IWOTH));
}

} // namespace

int update_lock_take(pid_t *holder, bool *unsafe_dir)
{
    *holder = 0;
    *unsafe_dir = false;
    // Only root can make the directory (its parent is root's), and made
    // here nobody else can enter it.  One that exists must be as safe.
    if (platform().mkdir(UPDATE_LOCK_DIR, 0700) != 0 && errno != EEXIST)
        return -1;
    struct stat st;
    if (platform().stat(UPDATE_LOCK_DIR, &st) != 0)
        return -1;
    if (!roots_alone(st)) {
        *unsafe_dir = true;
        errno = EPERM;
        return -1;
    }
    FdGuard fd(platform().open(UPDATE_LOCK_PATH, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.valid())
        return -1;
    if (platform().flock(fd.get(), LOCK_EX | LOCK_NB) < 0) {
        if (errno == EWOULDBLOCK) {
            *holder = recorded_holder(fd.get());
            errno = EWOULDBLOCK;
        }
        return -1;
    }
    // The lock is what keeps runs apart; the name in the file only helps the
    // user, so a run whose name cannot be written still goes ahead.
    char text[24];
    int len = std::snprintf(text, sizeof text, "%d\n", static_cast<int>(platform().getpid()));
    if (platform().ftruncate(fd.get(), 0) == 0)
        platform().write(fd.get(), text, static_cast<size_t>(len));
    return fd.release();
}
