#include "lab/qslab/lab_host_files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

#include "lab/flash/lab_mtd.h"
#include "lab/host/lab.h"
#include "lab/model/lab_vpd.h"

namespace fs = std::filesystem;

namespace lab {

namespace {

// Reads a file from its start to its end.  A read that fails after some
// bytes keeps them when `keep_short` is set: an old kernel's VPD window
// stops answering at the end of the EEPROM.
bool read_whole(const std::string &path, std::vector<uint8_t> &out, bool keep_short, size_t limit = SIZE_MAX)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return false;
    out.clear();
    bool ok = true;
    while (out.size() < limit) {
        uint8_t buf[65536];
        ssize_t n = ::read(fd, buf, std::min(sizeof buf, limit - out.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            ok = keep_short && !out.empty();
        if (n <= 0)
            break;
        out.insert(out.end(), buf, buf + n);
    }
    int saved = errno;
    ::close(fd);
    errno = saved;
    return ok;
}

// DIR when `root` is DIR/root of a lab.
std::string lab_of_root(const std::string &root)
{
    std::error_code ec;
    fs::path dir = fs::path(root).parent_path();
    if (!fs::exists(dir / "lab.json", ec) || !fs::exists(dir / "root", ec) ||
        !fs::equivalent(dir / "root", root, ec))
        return "";
    return dir.string();
}

std::runtime_error mtd_error(unsigned number, int char_error, int block_error)
{
    const std::string n = std::to_string(number);
    std::string text = "cannot read MTD device " + n + ": /dev/mtd" + n + ": " + std::strerror(char_error) +
                       ", /dev/mtdblock" + n + ": " + std::strerror(block_error);
    // The nodes come with the modules, which a capture never loads.
    if (char_error == ENOENT && block_error == ENOENT)
        text += " (load mtdchar first)";
    return std::runtime_error(text);
}

const Adapter *adapter_with(const LabState &state, const std::string &pci_addr)
{
    for (const Adapter &a : state.adapters)
        for (const Port &p : a.ports)
            if (p.pci_addr == pci_addr)
                return &a;
    return nullptr;
}

} // namespace

HostFiles::HostFiles(const std::string &root)
{
    std::error_code ec;
    fs::path canonical = fs::canonical(root, ec);
    if (ec || !fs::is_directory(canonical, ec))
        throw std::runtime_error("cannot read " + root + ": " +
                                 (ec ? ec.message() : std::string(std::strerror(ENOTDIR))));
    root_ = canonical.string();
    lab_dir_ = lab_of_root(root_);
    if (!lab_dir_.empty())
        lab_ = load_state(lab_json_path(lab_dir_));
}

std::string HostFiles::on_root(const std::string &path) const
{
    return root_ == "/" ? path : root_ + path;
}

bool HostFiles::exists(const std::string &path) const
{
    std::error_code ec;
    return fs::exists(fs::symlink_status(on_root(path), ec)) && !ec;
}

std::optional<std::string> HostFiles::text(const std::string &path) const
{
    std::vector<uint8_t> bytes;
    if (!read_whole(on_root(path), bytes, false))
        return std::nullopt;
    return std::string(bytes.begin(), bytes.end());
}

std::optional<std::string> HostFiles::line(const std::string &path) const
{
    auto t = text(path);
    if (!t)
        return std::nullopt;
    return t->substr(0, t->find('\n'));
}

std::vector<std::string> HostFiles::list(const std::string &dir) const
{
    std::error_code ec;
    std::vector<std::string> names;
    for (fs::directory_iterator it(on_root(dir), ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    if (ec)
        throw std::runtime_error("cannot read " + on_root(dir) + ": " + ec.message());
    std::sort(names.begin(), names.end());
    return names;
}

std::string HostFiles::link_name(const std::string &path) const
{
    std::error_code ec;
    if (!fs::is_symlink(on_root(path), ec))
        return "";
    fs::path target = fs::canonical(on_root(path), ec);
    return ec ? "" : target.filename().string();
}

std::optional<std::vector<uint8_t>> HostFiles::vpd(const std::string &pci_addr) const
{
    if (lab_) {
        const Adapter *a = adapter_with(*lab_, pci_addr);
        if (!a || !a->vpd_sysfs)
            return std::nullopt;
        std::vector<uint8_t> eeprom = eeprom_contents(*a);
        // The whole window reads to the end of the EEPROM; a file sized by
        // the tags, to the end of the VPD.
        if (!a->vpd_sysfs_size)
            eeprom.resize(vpd_length(eeprom));
        return eeprom;
    }
    std::vector<uint8_t> bytes;
    if (!read_whole(on_root("/sys/bus/pci/devices/" + pci_addr + "/vpd"), bytes, true, VPD_ADDRESS_SPACE))
        return std::nullopt;
    return bytes;
}

uint64_t HostFiles::vpd_file_size(const std::string &pci_addr) const
{
    std::error_code ec;
    uintmax_t size = fs::file_size(on_root("/sys/bus/pci/devices/" + pci_addr + "/vpd"), ec);
    return ec ? 0 : size;
}

std::vector<uint8_t> HostFiles::mtd(unsigned number, uint32_t size) const
{
    if (lab_)
        return lab_mtd(number, size);
    const std::string n = std::to_string(number);
    int errors[2];
    for (int i = 0; i < 2; ++i) {
        std::vector<uint8_t> bytes;
        bool read = read_whole(on_root((i ? "/dev/mtdblock" : "/dev/mtd") + n), bytes, false, size);
        if (read && bytes.size() == size)
            return bytes;
        errors[i] = read ? EIO : errno;
    }
    throw mtd_error(number, errors[0], errors[1]);
}

// The lab's host has the nodes its description gives it: none before a
// module is loaded, as on a host where nobody has loaded mtdchar yet.
std::vector<uint8_t> HostFiles::lab_mtd(unsigned number, uint32_t size) const
{
    const std::string n = std::to_string(number);
    bool node = false;
    for (const DeviceNode &d : all_nodes(*lab_))
        node |= (d.path == "/dev/mtd" + n && !d.block && d.major == MTD_CHAR_MAJOR && d.minor / 2 == number) ||
                (d.path == "/dev/mtdblock" + n && d.block && d.major == MTD_BLOCK_MAJOR && d.minor == number);
    if (!node)
        throw mtd_error(number, ENOENT, ENOENT);
    for (const MtdDevice &d : mtd_devices(*lab_))
        if (d.number == number) {
            const Partition &p = lab_->adapters[d.adapter].partitions[d.partition];
            std::vector<uint8_t> bytes;
            if (p.size == size && read_whole(partition_file(lab_dir_, p), bytes, false, size) && bytes.size() == size)
                return bytes;
        }
    throw std::runtime_error("cannot read MTD device " + n + " of the lab in " + lab_dir_);
}

} // namespace lab
