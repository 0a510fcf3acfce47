// The one seam between qsupdate and the operating system.  Product code
// never calls these C library functions itself, so that a simulated host
// can stand in for the real one.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/utsname.h>
#include <sys/wait.h>

// A result of run_capture that no wait status takes: neither a normal exit
// nor a signal, so that nobody reads it as success.
constexpr int RUN_STATUS_UNKNOWN = 0x7FFFFFFF;
static_assert(!WIFEXITED(RUN_STATUS_UNKNOWN) && !WIFSIGNALED(RUN_STATUS_UNKNOWN));

class Platform {
public:
    virtual ~Platform() = default;

    // Paths.  All return -1 with errno on failure, like their C namesakes.
    virtual int open(const char *path, int flags, mode_t mode = 0) = 0;
    virtual int stat(const char *path, struct stat *st) = 0;
    virtual int mkdir(const char *path, mode_t mode) = 0;
    virtual int mknod(const char *path, mode_t mode, dev_t dev) = 0;
    virtual int unlink(const char *path) = 0;
    // Every entry name of a directory ("." and ".." included), unsorted.
    virtual int list_dir(const char *path, std::vector<std::string> &names) = 0;
    // freopen(3) of a standard stream onto a file.
    virtual FILE *reopen_stream(const char *path, const char *mode, FILE *stream) = 0;

    // Descriptors.
    virtual ssize_t read(int fd, void *buf, size_t count) = 0;
    virtual ssize_t write(int fd, const void *buf, size_t count) = 0;
    virtual off_t lseek(int fd, off_t offset, int whence) = 0;
    virtual int ftruncate(int fd, off_t length) = 0;
    // fsync(2): what was written reaches the disk (of a directory: its entries).
    virtual int fsync(int fd) = 0;
    virtual int close(int fd) = 0;
    virtual int ioctl(int fd, unsigned long request, void *arg) = 0;
    virtual int flock(int fd, int operation) = 0;
    virtual int socket(int domain, int type, int protocol) = 0;

    // Host.
    virtual int uname(struct utsname *name) = 0;
    virtual uid_t geteuid() = 0;
    virtual pid_t getpid() = 0;
    // Runs a shell command; the result is a wait status as system(3) gives.
    virtual int system(const char *command) = 0;
    // Runs a shell command and collects what it prints, as popen(3) "r"
    // would.  -1 with errno only when the command cannot be started;
    // otherwise every line it printed is in `output` and the result is its
    // wait status, or RUN_STATUS_UNKNOWN when that status cannot be
    // collected (a parent that ignores SIGCHLD has no child to wait for).
    virtual int run_capture(const char *command, std::string &output) = 0;
    virtual void sleep_us(unsigned long usec) = 0;
};

// The platform in force: the real host unless a ScopedPlatform says otherwise.
Platform &platform();
Platform &real_platform();

// Installs another platform for the lifetime of the object.
class ScopedPlatform {
public:
    explicit ScopedPlatform(Platform &replacement);
    ~ScopedPlatform();
    ScopedPlatform(const ScopedPlatform &) = delete;
    ScopedPlatform &operator=(const ScopedPlatform &) = delete;

private:
    Platform *previous_;
};

// True when the path names something that stat can see.
bool platform_exists(const char *path);
