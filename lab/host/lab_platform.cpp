#include "lab/host/lab_platform.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "lab/host/lab_mtd_node.h"
#include "lab/host/lab_shell.h"
#include "lab/model/lab_faults.h"

namespace lab {

namespace {

const char *const MAPPED_PREFIXES[] = {"/sys", "/proc", "/dev", "/var/lib/qsutils", "/run/lock", "/run/qsupdate"};
constexpr size_t SYSFS_PAGE_SIZE = 4096;

bool under(const std::string &path, const std::string &prefix)
{
    return path == prefix || path.compare(0, prefix.size() + 1, prefix + "/") == 0;
}

int fail(int err)
{
    errno = err;
    return -1;
}

std::string parent_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string &path)
{
    return path.substr(path.rfind('/') + 1);
}

// The canonical real path of an existing file, or "".
std::string real_path_of(const std::string &path)
{
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

} // namespace

std::string normalise_path(const std::string &path)
{
    std::string out;
    for (char c : path)
        if (c != '/' || out.empty() || out.back() != '/')
            out += c;
    if (out.size() > 1 && out.back() == '/')
        out.pop_back();
    return out;
}

LabPlatform::LabPlatform(Lab &lab) : lab_(lab)
{
    set_power_loss_hook([this] { lose_unflushed_files(); });
}

LabPlatform::~LabPlatform()
{
    set_power_loss_hook({});
    for (auto &entry : files_)
        ::close(entry.first);
}

std::optional<std::string> LabPlatform::map_path(const char *path) const
{
    std::string p = normalise_path(path);
    if (p == "/dev/null" || p.empty() || p[0] != '/')
        return std::nullopt;
    for (const char *prefix : MAPPED_PREFIXES)
        if (under(p, prefix))
            return lab_.root() + p;
    return std::nullopt;
}

int LabPlatform::install(std::unique_ptr<OpenFile> file, std::vector<std::string> names)
{
    if (!file)
        return -1;
    int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    files_[fd] = std::move(file);
    if (!names.empty())
        fd_names_[fd] = std::move(names);
    return fd;
}

const Fault *LabPlatform::strike(int fd, const char *operation, std::optional<unsigned long> request)
{
    auto it = fd_names_.find(fd);
    if (it == fd_names_.end())
        return nullptr;
    return lab_.faults().strike({it->second, operation, request});
}

OpenFile *LabPlatform::emulated(int fd)
{
    auto it = files_.find(fd);
    return it == files_.end() ? nullptr : it->second.get();
}

static std::optional<DeviceNode> find_node(const LabState &state, const std::string &path)
{
    for (const DeviceNode &n : all_nodes(state))
        if (n.path == path)
            return n;
    return std::nullopt;
}

int LabPlatform::open_node(const DeviceNode &node, int flags)
{
    const Host &h = lab_.state().host;
    if (h.euid != 0 && (node.mode & 0006) == 0)
        return fail(EACCES);
    // The flash names itself to the fault table on every operation, so its
    // descriptors carry no names of their own here.
    if (is_mtd_node(node))
        return install(open_mtd_node(lab_, node, flags));
    // A node is only a number: what answers is whichever driver holds it.
    if (!node.block && node.major == h.qsc_control_major && node.minor == 1 && h.driver_loaded)
        return install(open_control_device(lab_), {node.path});
    bool esxi = h.kind == HostKind::esxi;
    if (!node.block && esxi && node.major == h.vmnic_major) {
        std::string ifname = "vmnic" + std::to_string(node.minor);
        if (find_port(lab_.state(), ifname).port || find_interface(lab_.state(), ifname))
            return install(open_netdev_node(lab_, ifname), {node.path});
    }
    // As Linux answers: ENXIO when no driver holds the number, ENODEV when
    // the driver that does has no such device.
    bool held = !node.block && ((node.major == h.qsc_control_major && h.driver_loaded) ||
                                (esxi && node.major == h.vmnic_major));
    return fail(held ? ENODEV : ENXIO);
}

unsigned LabPlatform::owner_of(const std::string &path) const
{
    const auto &owners = lab_.state().host.owners;
    auto it = owners.find(path);
    return it == owners.end() ? 0 : it->second;
}

int LabPlatform::check_access(const std::string &real, const std::string &path, int flags)
{
    struct stat st;
    const unsigned euid = lab_.state().host.euid;
    if (::stat(real.c_str(), &st) != 0) {
        // A new name needs a directory its maker may write to.
        struct stat dir;
        const std::string parent = parent_of(path);
        if ((flags & O_CREAT) && euid != 0 && ::stat(parent_of(real).c_str(), &dir) == 0 &&
            !(dir.st_mode & S_IWOTH) && !(owner_of(parent) == euid && (dir.st_mode & S_IWUSR)))
            return fail(EACCES);
        return 0;
    }
    if (S_ISDIR(st.st_mode))
        return 0;
    bool want_write = (flags & O_ACCMODE) != O_RDONLY || (flags & O_TRUNC);
    bool want_read = (flags & O_ACCMODE) != O_WRONLY;
    // sysfs and procfs refuse writes to files without a store method,
    // whoever asks.
    if (want_write && (under(path, "/sys") || under(path, "/proc")) && !(st.st_mode & 0222))
        return fail(EACCES);
    // An unprivileged user has the owner's rights on their own files, the
    // others' on the rest.
    const bool own = owner_of(path) == euid;
    if (euid != 0 && ((want_write && !(st.st_mode & (own ? S_IWUSR : S_IWOTH))) ||
                      (want_read && !(st.st_mode & (own ? S_IRUSR : S_IROTH)))))
        return fail(EACCES);
    return 0;
}

int LabPlatform::open(const char *path, int flags, mode_t mode)
{
    ++lab_.calls().opens;
    auto mapped = map_path(path);
    if (!mapped)
        return real_platform().open(path, flags, mode);
    std::string p = normalise_path(path);
    std::string real = real_path_of(*mapped);
    std::vector<std::string> names = {p};
    if (!real.empty() && lab_.lab_path(real) != p)
        names.push_back(lab_.lab_path(real));
    if (const Fault *fault = lab_.faults().strike({names, "open", std::nullopt}))
        return fail(fault->error);
    // As the kernel decides before it looks at what a name leads to: an
    // exclusive create finds any name taken, a link included, and
    // O_NOFOLLOW refuses a link, whatever emulated file it points at.
    auto node = find_node(lab_.state(), p);
    struct stat own;
    bool on_disk = !node && ::lstat(mapped->c_str(), &own) == 0;
    if ((flags & O_CREAT) && (flags & O_EXCL) && (node || on_disk))
        return fail(EEXIST);
    if ((flags & O_NOFOLLOW) && on_disk && S_ISLNK(own.st_mode))
        return fail(ELOOP);
    if (node)
        return open_node(*node, flags);
    if (const EmulatedFile *file = real.empty() ? nullptr : lab_.emulated_file(real))
        return install(open_emulated(lab_, *file, flags), names);
    if (check_access(*mapped, p, flags) != 0)
        return -1;
    int fd = real_platform().open(mapped->c_str(), flags, mode);
    if (fd >= 0 && (flags & O_CREAT) && !on_disk && lab_.state().host.euid != 0)
        lab_.state().host.owners[p] = lab_.state().host.euid;
    if (fd >= 0 && under(p, "/sys"))
        sysfs_fds_.insert(fd);
    if (fd >= 0) {
        fd_names_[fd] = names;
        fd_real_paths_[fd] = *mapped;
        if ((flags & O_CREAT) && !on_disk)
            unflushed_names_.insert(*mapped);
    }
    return fd;
}

int LabPlatform::stat(const char *path, struct stat *st)
{
    auto mapped = map_path(path);
    if (!mapped)
        return real_platform().stat(path, st);
    if (auto node = find_node(lab_.state(), normalise_path(path))) {
        std::memset(st, 0, sizeof *st);
        st->st_mode = (node->block ? S_IFBLK : S_IFCHR) | node->mode;
        st->st_rdev = makedev(node->major, node->minor);
        st->st_nlink = 1;
        return 0;
    }
    if (real_platform().stat(mapped->c_str(), st) != 0)
        return -1;
    // The files are the test's; on the host they would be root's, or the
    // user's who made them.
    st->st_uid = owner_of(normalise_path(path));
    st->st_gid = 0;
    return 0;
}

int LabPlatform::mkdir(const char *path, mode_t mode)
{
    auto mapped = map_path(path);
    if (!mapped)
        return real_platform().mkdir(path, mode);
    struct stat st;
    if (lab_.state().host.euid != 0)
        return fail(real_platform().stat(mapped->c_str(), &st) == 0 ? EEXIST : EACCES);
    if (real_platform().mkdir(mapped->c_str(), mode) != 0)
        return -1;
    lab_.events().record("directory " + normalise_path(path) + " created");
    return 0;
}

int LabPlatform::mknod(const char *path, mode_t mode, dev_t dev)
{
    auto mapped = map_path(path);
    if (!mapped)
        return real_platform().mknod(path, mode, dev);
    std::string p = normalise_path(path);
    struct stat st;
    if (lab_.state().host.euid != 0)
        return fail(EPERM);
    if (this->stat(p.c_str(), &st) == 0)
        return fail(EEXIST);
    if (this->stat(parent_of(p).c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return fail(ENOENT);
    if (!S_ISCHR(mode) && !S_ISBLK(mode))
        return fail(EINVAL); // the product makes device nodes only
    // Device nodes stay in the description: a real one in the fake root
    // would lead to the build host's own devices.
    DeviceNode node{p, S_ISBLK(mode), major(dev), minor(dev), static_cast<unsigned>(mode & 07777)};
    lab_.state().nodes.push_back(node);
    lab_.events().record(std::string(node.block ? "block" : "character") + " device " + p +
                         " created (" + std::to_string(node.major) + ", " +
                         std::to_string(node.minor) + ")");
    return 0;
}

int LabPlatform::unlink(const char *path)
{
    auto mapped = map_path(path);
    if (!mapped)
        return real_platform().unlink(path);
    std::string p = normalise_path(path);
    if (lab_.state().host.euid != 0)
        return fail(EACCES);
    auto &nodes = lab_.state().nodes;
    auto it = std::find_if(nodes.begin(), nodes.end(), [&](const DeviceNode &n) { return n.path == p; });
    if (it != nodes.end()) {
        nodes.erase(it);
    } else if (find_node(lab_.state(), p) || under(p, "/sys") || under(p, "/proc")) {
        return fail(EPERM);
    } else if (real_platform().unlink(mapped->c_str()) != 0) {
        return -1;
    }
    lab_.events().record(p + " removed");
    return 0;
}

int LabPlatform::list_dir(const char *path, std::vector<std::string> &names)
{
    auto mapped = map_path(path);
    if (!mapped)
        return real_platform().list_dir(path, names);
    if (real_platform().list_dir(mapped->c_str(), names) < 0)
        return -1;
    std::string dir = normalise_path(path);
    for (const DeviceNode &n : all_nodes(lab_.state()))
        if (parent_of(n.path) == dir && std::find(names.begin(), names.end(), name_of(n.path)) == names.end())
            names.push_back(name_of(n.path));
    return static_cast<int>(names.size());
}

FILE *LabPlatform::reopen_stream(const char *path, const char *mode, FILE *stream)
{
    auto mapped = map_path(path);
    return real_platform().reopen_stream(mapped ? mapped->c_str() : path, mode, stream);
}

ssize_t LabPlatform::read(int fd, void *buf, size_t count)
{
    if (const Fault *fault = strike(fd, "read"))
        return fail(fault->error);
    OpenFile *file = emulated(fd);
    if (file)
        return file->read(buf, count);
    if (sysfs_fds_.count(fd))
        count = std::min(count, SYSFS_PAGE_SIZE);
    return real_platform().read(fd, buf, count);
}

ssize_t LabPlatform::write(int fd, const void *buf, size_t count)
{
    const Fault *fault = strike(fd, "write");
    if (fault && fault->error)
        return fail(fault->error);
    // A disk that says it took what it dropped.
    if (fault && fault->silent == Fault::Silent::drop)
        return static_cast<ssize_t>(count);
    if (fault && fault->write_cut_after)
        count = std::min(count, *fault->write_cut_after);
    OpenFile *file = emulated(fd);
    ssize_t n = file ? file->write(buf, count) : real_platform().write(fd, buf, count);
    if (auto it = fd_real_paths_.find(fd); n > 0 && it != fd_real_paths_.end())
        unflushed_contents_.insert(it->second);
    if (fault && fault->power_cut)
        lose_power(lab_.events());
    return n;
}

void LabPlatform::lose_unflushed_files()
{
    for (const std::string &path : unflushed_names_)
        ::unlink(path.c_str());
    for (const std::string &path : unflushed_contents_)
        if (!unflushed_names_.count(path))
            ::truncate(path.c_str(), 0);
}

off_t LabPlatform::lseek(int fd, off_t offset, int whence)
{
    if (const Fault *fault = strike(fd, "lseek"))
        return fail(fault->error);
    OpenFile *file = emulated(fd);
    return file ? file->lseek(offset, whence) : real_platform().lseek(fd, offset, whence);
}

int LabPlatform::ftruncate(int fd, off_t length)
{
    // Devices have no length to cut, as the kernel answers for them.
    if (emulated(fd))
        return fail(EINVAL);
    return real_platform().ftruncate(fd, length);
}

int LabPlatform::fsync(int fd)
{
    if (const Fault *fault = strike(fd, "fsync"))
        return fail(fault->error);
    if (OpenFile *file = emulated(fd))
        return file->fsync();
    if (real_platform().fsync(fd) != 0)
        return -1;
    if (auto it = fd_real_paths_.find(fd); it != fd_real_paths_.end()) {
        // A folder's flush keeps the names made in it; a file's, its bytes.
        const std::filesystem::path folder = it->second;
        std::erase_if(unflushed_names_,
                      [&](const std::string &name) { return std::filesystem::path(name).parent_path() == folder; });
        unflushed_contents_.erase(it->second);
    }
    return 0;
}

int LabPlatform::close(int fd)
{
    fd_names_.erase(fd);
    fd_real_paths_.erase(fd);
    auto it = files_.find(fd);
    if (it == files_.end()) {
        sysfs_fds_.erase(fd);
        return real_platform().close(fd);
    }
    files_.erase(it);
    return ::close(fd);
}

int LabPlatform::ioctl(int fd, unsigned long request, void *arg)
{
    ++lab_.calls().ioctls;
    if (const Fault *fault = strike(fd, "ioctl", request))
        return fail(fault->error);
    OpenFile *file = emulated(fd);
    return file ? file->ioctl(request, arg) : real_platform().ioctl(fd, request, arg);
}

int LabPlatform::flock(int fd, int operation)
{
    int op = operation & ~LOCK_NB;
    if (op != LOCK_SH && op != LOCK_EX && op != LOCK_UN)
        return fail(EINVAL);
    if (const Fault *fault = strike(fd, "lock"))
        return fail(fault->error);
    OpenFile *file = emulated(fd);
    return file ? file->flock(operation) : real_platform().flock(fd, operation);
}

int LabPlatform::socket(int domain, int type, int protocol)
{
    int kind = type & ~(SOCK_CLOEXEC | SOCK_NONBLOCK);
    if ((type & ~(SOCK_CLOEXEC | SOCK_NONBLOCK | 0xF)) || kind > SOCK_PACKET)
        return fail(EINVAL);
    // A socket has no name yet: only a fault aimed at "*" strikes it.
    if (const Fault *fault = lab_.faults().strike({{}, "socket", std::nullopt}))
        return fail(fault->error);
    // Only the Internet family is emulated: it is the one whose sockets
    // carry interface ioctls in qsupdate.
    if (domain != AF_INET)
        return fail(EAFNOSUPPORT);
    // As Linux's inet_create answers: each type has its protocols.
    switch (kind) {
    case SOCK_STREAM:
        if (protocol != 0 && protocol != IPPROTO_TCP)
            return fail(EPROTONOSUPPORT);
        break;
    case SOCK_DGRAM:
        if (protocol == IPPROTO_ICMP)
            return fail(EACCES); // ping sockets: no group is allowed by default
        if (protocol != 0 && protocol != IPPROTO_UDP)
            return fail(EPROTONOSUPPORT);
        break;
    case SOCK_RAW:
        if (protocol == 0)
            return fail(EPROTONOSUPPORT);
        if (lab_.state().host.euid != 0)
            return fail(EPERM);
        break;
    default:
        return fail(ESOCKTNOSUPPORT);
    }
    return install(open_netdev(lab_));
}

int LabPlatform::uname(struct utsname *name)
{
    const Host &h = lab_.state().host;
    std::memset(name, 0, sizeof *name);
    auto put = [](char *dst, size_t size, const std::string &src) { src.copy(dst, size - 1); };
    put(name->sysname, sizeof name->sysname, h.kind == HostKind::esxi ? "VMkernel" : "Linux");
    put(name->nodename, sizeof name->nodename, h.hostname);
    put(name->release, sizeof name->release, h.kernel_release);
    put(name->version, sizeof name->version, "#1 SMP");
    put(name->machine, sizeof name->machine, "x86_64");
    return 0;
}

uid_t LabPlatform::geteuid()
{
    return lab_.state().host.euid;
}

// qsupdate runs in this very process, whoever it believes it is.
pid_t LabPlatform::getpid()
{
    return ::getpid();
}

int LabPlatform::system(const char *command)
{
    if (!command)
        return 1; // a shell is available
    std::string output;
    return run_capture(command, output);
}

int LabPlatform::run_capture(const char *command, std::string &output)
{
    // A command that cannot be started (no process, no memory) never reaches the shell.
    if (const Fault *fault = lab_.faults().strike({{command}, "run", std::nullopt}))
        return fail(fault->error);
    return run_shell_command(lab_, command, output);
}

void LabPlatform::sleep_us(unsigned long usec)
{
    lab_.events().sleep(usec);
}

} // namespace lab
