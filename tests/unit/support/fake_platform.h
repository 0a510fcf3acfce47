// An in-memory host for unit tests: a small file tree, programmable ioctls, free sleeps.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "lib/platform/platform.h"

class FakePlatform : public Platform {
public:
    struct Node {
        bool dir = false;
        std::string content;
    };

    FakePlatform() { nodes_["/"].dir = true; }

    // A regular file; missing parent directories are made too.
    void add_file(const std::string &path, const std::string &content);
    void add_dir(const std::string &path);
    void remove(const std::string &path) { nodes_.erase(path); }
    Node &node(const std::string &path) { return nodes_.at(path); }

    // Answers ioctls but the driver's private one (EOPNOTSUPP); path "" for a socket; unset: ENODEV/ENOTTY.
    std::function<int(const std::string &path, unsigned long request, void *arg)> ioctl_handler;

    std::string sysname = "Linux";
    size_t open_descriptors() const { return fds_.size(); }

    int open(const char *path, int flags, mode_t mode) override;
    int stat(const char *path, struct stat *st) override;
    int list_dir(const char *path, std::vector<std::string> &names) override;
    FILE *reopen_stream(const char *path, const char *mode, FILE *stream) override;
    ssize_t read(int fd, void *buf, size_t count) override;
    ssize_t write(int fd, const void *buf, size_t count) override;
    off_t lseek(int fd, off_t offset, int whence) override;
    int ftruncate(int fd, off_t length) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void *arg) override;
    int flock(int fd, int) override { return file(fd) ? 0 : fail(EBADF); }
    int socket(int, int, int) override;
    int uname(struct utsname *name) override;
    uid_t geteuid() override { return 0; }
    pid_t getpid() override { return 4242; }
    void sleep_us(unsigned long) override {}
    // What the code under unit test never does.
    int mkdir(const char *, mode_t) override { return fail(EROFS); }
    int mknod(const char *, mode_t, dev_t) override { return fail(EROFS); }
    int unlink(const char *) override { return fail(EROFS); }
    int fsync(int fd) override { return file(fd) ? 0 : fail(EBADF); }
    int system(const char *) override { return 127 << 8; }
    int run_capture(const char *, std::string &) override { return fail(ENOSYS); }

private:
    struct OpenFile {
        std::string path; // empty for a socket
        off_t offset = 0;
    };
    OpenFile *file(int fd);
    std::string *content(int fd); // null for a socket or a closed descriptor
    static int fail(int err);

    std::map<std::string, Node> nodes_;
    std::map<int, OpenFile> fds_;
    int next_fd_ = 100;
};
