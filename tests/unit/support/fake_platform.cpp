#include "tests/unit/support/fake_platform.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>

namespace {
std::string parent_of(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}
} // namespace

int FakePlatform::fail(int err)
{
    errno = err;
    return -1;
}

void FakePlatform::add_dir(const std::string &path)
{
    if (path.empty() || nodes_.count(path))
        return;
    add_dir(parent_of(path));
    nodes_[path].dir = true;
}

void FakePlatform::add_file(const std::string &path, const std::string &content)
{
    add_dir(parent_of(path));
    nodes_[path] = Node{false, content};
}

FakePlatform::OpenFile *FakePlatform::file(int fd)
{
    auto it = fds_.find(fd);
    return it == fds_.end() ? nullptr : &it->second;
}

int FakePlatform::open(const char *path, int, mode_t)
{
    if (!nodes_.count(path))
        return fail(ENOENT);
    fds_[next_fd_] = OpenFile{path, 0};
    return next_fd_++;
}

int FakePlatform::stat(const char *path, struct stat *st)
{
    auto it = nodes_.find(path);
    if (it == nodes_.end())
        return fail(ENOENT);
    std::memset(st, 0, sizeof *st);
    st->st_mode = it->second.dir ? S_IFDIR | 0755 : S_IFREG | 0644;
    st->st_size = static_cast<off_t>(it->second.content.size());
    return 0;
}

int FakePlatform::list_dir(const char *path, std::vector<std::string> &names)
{
    std::string dir = path;
    if (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    auto it = nodes_.find(dir);
    if (it == nodes_.end() || !it->second.dir)
        return fail(it == nodes_.end() ? ENOENT : ENOTDIR);
    std::string prefix = dir == "/" ? "/" : dir + "/";
    names = {".", ".."};
    for (const auto &entry : nodes_) {
        const std::string &name = entry.first;
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
    if (!f || f->path.empty())
        return fail(EBADF);
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
    if (!f || f->path.empty())
        return fail(EBADF);
    std::string &data = nodes_.at(f->path).content;
    size_t end = static_cast<size_t>(f->offset) + count;
    if (data.size() < end)
        data.resize(end, '\0');
    std::memcpy(data.data() + f->offset, buf, count);
    f->offset = static_cast<off_t>(end);
    return static_cast<ssize_t>(count);
}

int FakePlatform::ftruncate(int fd, off_t length)
{
    OpenFile *f = file(fd);
    if (!f || f->path.empty() || length < 0)
        return fail(f ? EINVAL : EBADF);
    nodes_.at(f->path).content.resize(static_cast<size_t>(length));
    return 0;
}

off_t FakePlatform::lseek(int fd, off_t offset, int whence)
{
    OpenFile *f = file(fd);
    if (!f || f->path.empty())
        return fail(f ? ESPIPE : EBADF);
    off_t base = whence == SEEK_SET   ? 0
                 : whence == SEEK_CUR ? f->offset
                                      : static_cast<off_t>(nodes_.at(f->path).content.size());
    if (base + offset < 0)
        return fail(EINVAL);
    return f->offset = base + offset;
}

int FakePlatform::close(int fd)
{
    return fds_.erase(fd) ? 0 : fail(EBADF);
}

namespace {
constexpr unsigned long PRIVATE_ADAPTER_IOCTL = 0x89F3;
}

int FakePlatform::ioctl(int fd, unsigned long request, void *arg)
{
    OpenFile *f = file(fd);
    if (!f)
        return fail(EBADF);
    // No driver here carries the adapter's private commands.
    if (request == PRIVATE_ADAPTER_IOCTL)
        return fail(EOPNOTSUPP);
    if (ioctl_handler)
        return ioctl_handler(f->path, request, arg);
    return fail(f->path.empty() ? ENODEV : ENOTTY);
}

int FakePlatform::socket(int, int, int)
{
    fds_[next_fd_] = OpenFile{};
    return next_fd_++;
}

int FakePlatform::uname(struct utsname *name)
{
    std::memset(name, 0, sizeof *name);
    std::strncpy(name->sysname, sysname.c_str(), sizeof name->sysname - 1);
    return 0;
}
