// The production platform: each operation is the C library call it mirrors.
#include <cerrno>
#include <cstdlib>
#include <ctime>

#include <csignal>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "lib/platform/platform.h"

namespace {

// A parent that ignores SIGCHLD has its children reaped for it, and no
// exit status is left to collect.  While a command runs, the default
// disposition is put back so that its status can be read; nothing else
// changes, and a handler of the caller's own is left alone.
class ChildStatusKept {
public:
    ChildStatusKept()
    {
        struct sigaction current;
        if (::sigaction(SIGCHLD, nullptr, &current) != 0 ||
            (current.sa_handler != SIG_IGN && !(current.sa_flags & SA_NOCLDWAIT)))
            return;
        struct sigaction dfl = {};
        dfl.sa_handler = SIG_DFL;
        sigemptyset(&dfl.sa_mask);
        restore_ = ::sigaction(SIGCHLD, &dfl, &saved_) == 0;
    }
    ~ChildStatusKept()
    {
        if (restore_)
            ::sigaction(SIGCHLD, &saved_, nullptr);
    }
    ChildStatusKept(const ChildStatusKept &) = delete;
    ChildStatusKept &operator=(const ChildStatusKept &) = delete;

private:
    struct sigaction saved_ = {};
    bool restore_ = false;
};

class RealPlatform final : public Platform {
public:
    int open(const char *path, int flags, mode_t mode) override { return ::open(path, flags, mode); }
    int stat(const char *path, struct stat *st) override { return ::stat(path, st); }
    int mkdir(const char *path, mode_t mode) override { return ::mkdir(path, mode); }
    int mknod(const char *path, mode_t mode, dev_t dev) override { return ::mknod(path, mode, dev); }
    int unlink(const char *path) override { return ::unlink(path); }

    int list_dir(const char *path, std::vector<std::string> &names) override
    {
        DIR *dir = ::opendir(path);
        if (!dir)
            return -1;
        names.clear();
        errno = 0;
        while (struct dirent *entry = ::readdir(dir))
            names.emplace_back(entry->d_name);
        int saved = errno;
        ::closedir(dir);
        errno = saved;
        return saved ? -1 : static_cast<int>(names.size());
    }

    FILE *reopen_stream(const char *path, const char *mode, FILE *stream) override
    {
        return ::freopen(path, mode, stream);
    }

    ssize_t read(int fd, void *buf, size_t count) override { return ::read(fd, buf, count); }
    ssize_t write(int fd, const void *buf, size_t count) override { return ::write(fd, buf, count); }
    off_t lseek(int fd, off_t offset, int whence) override { return ::lseek(fd, offset, whence); }
    int ftruncate(int fd, off_t length) override { return ::ftruncate(fd, length); }
    int fsync(int fd) override { return ::fsync(fd); }
    int close(int fd) override { return ::close(fd); }
    int ioctl(int fd, unsigned long request, void *arg) override { return ::ioctl(fd, request, arg); }
    int flock(int fd, int operation) override { return ::flock(fd, operation); }
    int socket(int domain, int type, int protocol) override { return ::socket(domain, type, protocol); }

    int uname(struct utsname *name) override { return ::uname(name); }
    uid_t geteuid() override { return ::geteuid(); }
    pid_t getpid() override { return ::getpid(); }
    int system(const char *command) override
    {
        ChildStatusKept keep;
        return ::system(command);
    }

    int run_capture(const char *command, std::string &output) override
    {
        ChildStatusKept keep;
        FILE *pipe = ::popen(command, "r");
        if (!pipe)
            return -1;
        output.clear();
        char chunk[256];
        size_t got;
        while ((got = ::fread(chunk, 1, sizeof chunk, pipe)) > 0)
            output.append(chunk, got);
        // The output is complete whatever becomes of the status.
        int status = ::pclose(pipe);
        return status < 0 ? RUN_STATUS_UNKNOWN : status;
    }

    void sleep_us(unsigned long usec) override
    {
        struct timespec ts;
        ts.tv_sec = static_cast<time_t>(usec / 1000000);
        ts.tv_nsec = static_cast<long>(usec % 1000000) * 1000;
        while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
    }
};

} // namespace

Platform &real_platform()
{
    static RealPlatform instance;
    return instance;
}
