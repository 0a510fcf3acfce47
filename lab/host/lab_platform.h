// The platform qsupdate sees inside a lab: "/sys", "/proc", "/dev",
// "/var/lib/qsutils", "/run/lock" and "/run/qsupdate" lead into the lab's
// fake root and emulated devices;
// every other path (and "/dev/null") is the real host's.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "lab/host/lab.h"
#include "lab/host/lab_devices.h"
#include "lib/platform/platform.h"

namespace lab {

class LabPlatform final : public Platform {
public:
    explicit LabPlatform(Lab &lab);
    ~LabPlatform() override;

    // The path inside the fake root for a mapped path, or none.
    std::optional<std::string> map_path(const char *path) const;

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
    int ftruncate(int fd, off_t length) override;
    int fsync(int fd) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void *arg) override;
    int flock(int fd, int operation) override;
    int socket(int domain, int type, int protocol) override;
    int uname(struct utsname *name) override;
    uid_t geteuid() override;
    pid_t getpid() override;
    int system(const char *command) override;
    int run_capture(const char *command, std::string &output) override;
    void sleep_us(unsigned long usec) override;

private:
    int install(std::unique_ptr<OpenFile> file, std::vector<std::string> names = {});
    OpenFile *emulated(int fd);
    // 0 when no fault of the table strikes this operation on the
    // descriptor's file, else the fault.
    const Fault *strike(int fd, const char *operation, std::optional<unsigned long> request = {});
    int open_node(const DeviceNode &node, int flags);
    int check_access(const std::string &real_path, const std::string &path, int flags);
    // The uid a path of the fake root belongs to.
    unsigned owner_of(const std::string &path) const;
    // What a power cut takes of the fake root's files: a name made since
    // its folder was last flushed, and what was written to a file since it
    // was last flushed (the file is left empty, as journalling file
    // systems leave it).
    void lose_unflushed_files();

    Lab &lab_;
    // Emulated descriptors, numbered by a real descriptor kept open on
    // "/dev/null" so that they never collide with real ones.
    std::map<int, std::unique_ptr<OpenFile>> files_;
    // Real descriptors of fake sysfs files, read a page at a time as the
    // kernel hands them out.
    std::set<int> sysfs_fds_;
    // The names of the file behind each descriptor of a mapped path (as
    // named, and as resolved), for the fault table.
    std::map<int, std::vector<std::string>> fd_names_;
    // Real descriptors of the fake root's files and folders, by path in it.
    std::map<int, std::string> fd_real_paths_;
    // Files made, and files written, and not yet flushed to disk.
    std::set<std::string> unflushed_names_, unflushed_contents_;
};

// "//sys/class//net/" -> "/sys/class/net"
std::string normalise_path(const std::string &path);

} // namespace lab
