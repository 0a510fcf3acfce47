#include "app/qsupdate/update_lock.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include <fcntl.h>
#include <sys/file.h>

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

} // namespace

int update_lock_take(pid_t *holder)
{
    *holder = 0;
    // Never follow a link: the directory is writable by everyone.
    FdGuard fd(platform().open(UPDATE_LOCK_PATH, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
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
