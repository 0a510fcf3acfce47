#include "tests/unit/support/fake_platform.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/sysmacros.h>

namespace {
std::string parent_of(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0)
        return "/";
    return path.substr(0, slash);
}
} // namespace

FakePlatform::FakePlatform()
{
    nodes_["/"].mode = S_IFDIR | 0755;
}

void FakePlatform::add_dir(const std::string &path)
{
    if (path.empty() || nodes_.count(path))
        return;
    add_dir(parent_of(path));
    nodes_[path].mode = S_IFDIR | 0755;
}

void FakePlatform::add_file(const std::string &path, const std::string &content)
{
    add_dir(parent_of(path));
    Node &n = nodes_[path];
    n.mode = S_IFREG | 0644;
    n.content = content;
}

void FakePlatform::remove(const std::string &path)
{
    nodes_.erase(path);
}

FakePlatform::OpenFile *FakePlatform::file(int fd)
{
    auto it = fds_.find(fd);
    return it == fds_.end() ? nullptr : &it->second;
}

int FakePlatform::open(const char *path, int flags, mode_t mode)
{
    auto it = nodes_.find(path);
    if (it == nodes_.end()) {
        if (!(flags & O_CREAT)) {
            errno = ENOENT;
            return -1;
        }
        if (!nodes_.count(parent_of(path))) {
            errno = ENOENT;
            return -1;
        }
        Node &n = nodes_[path];
        n.mode = S_IFREG | (mode & 07777);
        it = nodes_.find(path);
    } else if (S_ISDIR(it->second.mode) && (flags & O_ACCMODE) != O_RDONLY) {
        errno = EISDIR;
        return -1;
    }
    if ((flags & O_TRUNC) && S_ISREG(it->second.mode))
        it->second.content.clear();
    int fd = next_fd_++;
    fds_[fd] = OpenFile{path, 0, flags};
    return fd;
}

int FakePlatform::stat(const char *path, struct stat *st)
{
    auto it = nodes_.find(path);
    if (it == nodes_.end()) {
        errno = ENOENT;
        return -1;
    }
    std::memset(st, 0, sizeof *st);
    st->st_mode = it->second.mode;
    st->st_rdev = it->second.rdev;
    st->st_size = static_cast<off_t>(it->second.content.size());
    return 0;
}

int FakePlatform::mkdir(const char *path, mode_t mode)
{
    if (nodes_.count(path)) {
        errno = EEXIST;
        return -1;
    }
    if (!nodes_.count(parent_of(path))) {
        errno = ENOENT;
        return -1;
    }
    nodes_[path].mode = S_IFDIR | (mode & 07777);
    return 0;
}

int FakePlatform::mknod(const char *path, mode_t mode, dev_t dev)
{
    if (nodes_.count(path)) {
        errno = EEXIST;
        return -1;
    }
    if (!nodes_.count(parent_of(path))) {
        errno = ENOENT;
        return -1;
    }
    Node &n = nodes_[path];
    n.mode = mode;
    n.rdev = dev;
    return 0;
}

int FakePlatform::unlink(const char *path)
{
    if (!nodes_.erase(path)) {
        errno = ENOENT;
        return -1;
    }
    return 0;
}

int FakePlatform::list_dir(const char *dir_path, std::vector<std::string> &names)
{
    // "/dev/" and "/dev" name the same directory.
    std::string dir = dir_path;
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    const char *path = dir.c_str();
    auto it = nodes_.find(path);
    if (it == nodes_.end() || !S_ISDIR(it->second.mode)) {
        errno = it == nodes_.end() ? ENOENT : ENOTDIR;
        return -1;
    }
    std::string prefix = std::string(path) == "/" ? "/" : std::string(path) + "/";
    names = {".", ".."};
    for (const auto &[name, node] : nodes_) {
        if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
            name.find('/', prefix.size()) == std::string::npos)
            names.push_back(name.substr(prefix.size()));
    }
    return static_cast<int>(names.size());
}

FILE *FakePlatform::reopen_stream(const char *path, const char *mode, FILE *stream)
{
    return real_platform().reopen_stream(path, mode, stream);
}

ssize_t FakePlatform::read(int fd, void *buf, size_t count)
{
    OpenFile *f = file(fd);
    if (!f || f->path.empty()) {
        errno = EBADF;
        return -1;
    }
    const std::string &data = nodes_.at(f->path).content;
    if (f->offset >= static_cast<off_t>(data.size()))
        return 0;
    size_t n = std::min(count, data.size() - static_cast<size_t>(f->offset));
    std::memcpy(buf, data.data() + f->offset, n);
    f->offset += static_cast<off_t>(n);
    return static_cast<ssize_t>(n);
}

ssize_t FakePlatform::write(int fd, const void *buf, size_t count)
{
    OpenFile *f = file(fd);
    if (!f || f->path.empty() || (f->flags & O_ACCMODE) == O_RDONLY) {
        errno = EBADF;
        return -1;
    }
    std::string &data = nodes_.at(f->path).content;
    size_t end = static_cast<size_t>(f->offset) + count;
    if (data.size() < end)
        data.resize(end, '\0');
    std::memcpy(data.data() + f->offset, buf, count);
    f->offset = static_cast<off_t>(end);
    return static_cast<ssize_t>(count);
}

off_t FakePlatform::lseek(int fd, off_t offset, int whence)
{
    OpenFile *f = file(fd);
    if (!f || f->path.empty()) {
        errno = f ? ESPIPE : EBADF;
        return -1;
    }
    off_t base = whence == SEEK_SET   ? 0
                 : whence == SEEK_CUR ? f->offset
                                      : static_cast<off_t>(nodes_.at(f->path).content.size());
    if (base + offset < 0) {
        errno = EINVAL;
        return -1;
    }
    f->offset = base + offset;
    return f->offset;
}

int FakePlatform::close(int fd)
{
    if (!fds_.erase(fd)) {
        errno = EBADF;
        return -1;
    }
    return 0;
}

int FakePlatform::ioctl(int fd, unsigned long request, void *arg)
{
    OpenFile *f = file(fd);
    if (!f) {
        errno = EBADF;
        return -1;
    }
    if (!ioctl_handler) {
        errno = ENOTTY;
        return -1;
    }
    return ioctl_handler(f->path, request, arg);
}

int FakePlatform::flock(int fd, int)
{
    if (!file(fd)) {
        errno = EBADF;
        return -1;
    }
    return 0;
}

int FakePlatform::socket(int, int, int)
{
    int fd = next_fd_++;
    fds_[fd] = OpenFile{};
    return fd;
}

int FakePlatform::uname(struct utsname *name)
{
    std::memset(name, 0, sizeof *name);
    std::strncpy(name->sysname, sysname.c_str(), sizeof name->sysname - 1);
    std::strncpy(name->release, release.c_str(), sizeof name->release - 1);
    return 0;
}

int FakePlatform::system(const char *command)
{
    std::string ignored;
    commands_run.emplace_back(command);
    return command_handler ? command_handler(command, ignored) : 127 << 8;
}

int FakePlatform::run_capture(const char *command, std::string &output)
{
    output.clear();
    commands_run.emplace_back(command);
    return command_handler ? command_handler(command, output) : 127 << 8;
}

void add_linux_driver(FakePlatform &fake)
{
    fake.add_dir("/sys/bus/pci/drivers/qsc");
    fake.add_dir("/sys/class/net");
}
