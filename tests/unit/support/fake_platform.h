// An in-memory host for unit tests: a small file tree, programmable
// ioctls and shell commands, and a clock that sleeps cost nothing on.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "lib/platform/platform.h"

class FakePlatform : public Platform {
public:
    struct Node {
        mode_t mode = S_IFREG | 0644;
        dev_t rdev = 0;
        std::string content;
    };

    FakePlatform();

    // A regular file (parents are created as directories).
    void add_file(const std::string &path, const std::string &content);
    void add_dir(const std::string &path);
    void remove(const std::string &path);
    bool has(const std::string &path) const { return nodes_.count(path) != 0; }
    const std::string &content(const std::string &path) const { return nodes_.at(path).content; }
    Node &node(const std::string &path) { return nodes_.at(path); }

    // Answers ioctls: the descriptor's path ("" for a socket), the request
    // and its argument.  Returns 0 or -1 with errno.  Unset: ENOTTY.
    std::function<int(const std::string &path, unsigned long request, void *arg)> ioctl_handler;
    // Answers shell commands: the wait status, and output for run_capture.
    std::function<int(const std::string &command, std::string &output)> command_handler;

    std::string sysname = "Linux";
    std::string release = "6.1.0";
    uid_t euid = 0;
    unsigned long slept_us = 0;
    std::vector<std::string> commands_run;

    int open(const char *path, int flags, mode_t mode) override;
    int stat(const char *path, struct stat *st) override;
    int mkdir(const char *path, mode_t mode) override;
    int mknod(const char *path, mode_t mode, dev_t dev) override;
    int unlink(const char *path) override;
    int list_dir(const char *path, std::vector<std::string> &names) override;
    FILE *reopen_stream(const char *path, const char *mode, FILE *stream) override;
    ssize_t read(int fd, void *buf, size_t count) override;
    ssize_t write(int fd, const void *buf, size_t count) override;
    off_t lseek(int fd, off_t offset, int whence) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void *arg) override;
    int flock(int fd, int operation) override;
    int socket(int domain, int type, int protocol) override;
    int uname(struct utsname *name) override;
    uid_t geteuid() override { return euid; }
    int system(const char *command) override;
    int run_capture(const char *command, std::string &output) override;
    void sleep_us(unsigned long usec) override { slept_us += usec; }

    // Descriptors still open: a leak check for the code under test.
    size_t open_descriptors() const { return fds_.size(); }

private:
    struct OpenFile {
        std::string path; // empty for a socket
        off_t offset = 0;
        int flags = 0;
    };
    OpenFile *file(int fd);

    std::map<std::string, Node> nodes_;
    std::map<int, OpenFile> fds_;
    int next_fd_ = 100;
};

// A host with the adapter driver loaded and nothing else.
void add_linux_driver(FakePlatform &fake);
