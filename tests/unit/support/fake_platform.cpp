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
constexpr unsigned long PRIVATE_ADAPTER_IOCTL = 0x89F3;
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

std::string *FakePlatform::content(int fd)
{
    OpenFile *f = file(fd);
    return f && !f->path.empty() ? &nodes_.at(f->path).content : nullptr;
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
    for (const auto &[name, node] : nodes_)
        if (name.size() > prefix.size() && name.starts_with(prefix) && name.find('/', prefix.size()) == std::string::npos)
            names.push_back(name.substr(prefix.size()));
    return static_cast<int>(names.size());
}

FILE *FakePlatform::reopen_stream(const char *path, const char *mode, FILE *stream)
{
    return real_platform().reopen_stream(path, mode, stream);
}

ssize_t FakePlatform::read(int fd, void *buf, size_t count)
{
    std::string *data = content(fd);
    if (!data)
        return fail(EBADF);
    off_t &offset = file(fd)->offset;
    size_t n = offset >= static_cast<off_t>(data->size()) ? 0 : std::min(count, data->size() - size_t(offset));
    std::memcpy(buf, data->data() + offset, n);
    offset += static_cast<off_t>(n);
    return static_cast<ssize_t>(n);
}

ssize_t FakePlatform::write(int fd, const void *buf, size_t count)
{
    std::string *data = content(fd);
    if (!data)
        return fail(EBADF);
    off_t &offset = file(fd)->offset;
    if (data->size() < size_t(offset) + count)
        data->resize(size_t(offset) + count, '\0');
    std::memcpy(data->data() + offset, buf, count);
    offset += static_cast<off_t>(count);
    return static_cast<ssize_t>(count);
}

int FakePlatform::ftruncate(int fd, off_t length)
{
    std::string *data = content(fd);
    if (!data || length < 0)
        return fail(data ? EINVAL : EBADF);
    data->resize(static_cast<size_t>(length));
    return 0;
}

off_t FakePlatform::lseek(int fd, off_t offset, int whence)
{
    std::string *data = content(fd);
    if (!data)
        return fail(file(fd) ? ESPIPE : EBADF);
    off_t &at = file(fd)->offset;
    off_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? at : static_cast<off_t>(data->size());
    return base + offset < 0 ? fail(EINVAL) : at = base + offset;
}

int FakePlatform::close(int fd)
{
    return fds_.erase(fd) ? 0 : fail(EBADF);
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
