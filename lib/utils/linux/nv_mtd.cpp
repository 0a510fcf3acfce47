// The MTD backend: the driver exports each partition of a port as a kernel
// MTD device, reached through the MTD character device or, failing that,
// the MTD block device.
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <libintl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>

#include "lib/platform/host_files.h"
#include "lib/platform/platform.h"
#include "lib/utils/i18n.h"
#include "lib/utils/linux/nv_backends.h"
#include "lib/utils/linux/nv_memory.h"
#include "lib/utils/linux/qsu_device.h"
#include "lib/utils/qs_assert.h"

bool probed_mtdchar = false;
bool probed_mtdblock = false;
bool create_dev_nodes = false;
bool buggy_mtdblock = false;
bool reported_buggy_mtdblock = false;

const nv_ops nv_ops_mtd = {mtd_open, mtd_read, mtd_write_all};

namespace {

// The kernel's erase request: host byte order, as every ioctl argument.
struct erase_info_user {
    uint32_t start;
    uint32_t length;
};
static_assert(sizeof(erase_info_user) == 8);
static_assert(offsetof(erase_info_user, length) == 4);
constexpr unsigned long MEMERASE = 0x40084D02;

constexpr size_t MTD_IO_CHUNK = 4096;
constexpr size_t PROC_MTD_LINE_MAX = 255;
constexpr unsigned long ONE_SECOND_US = 1000000;
// Tries of a device node before giving up on its module.
constexpr unsigned NODE_WAIT_TRIES = 5;

const char *const mtd_kind_names[MAX_NV_PART] = {
    "qsc_mcfw",    "qsc_dynamic_cfg",      "qsc_static_cfg",       "qsc_exp_rom", "qsc_exp_rom_cfg",
    "qsc_phy_fw",  "qsc_fpga",             "qsc_fcfw",             "qsc_cpld",    "qsc_fpgadiag",
    nullptr,       "qsc_mumfw",            "qsc_uefi",             "qsc_status",  nullptr,
    "qsc_dynamic_cfg_dflt", "qsc_exp_rom_cfg_dflt", "qsc_bundle", "qsc_bundle_metadata",
};

const char *const MTD_DRIVER_ADVICE = N_(
    "This command requires either the 'mtdchar' or 'mtdblock' driver for\n"
    "access to flash memory on Duskhollow adapters.  The current kernel does\n"
    "not have the 'mtdchar' driver, but may have the 'mtdblock' driver.\n"
    "You may try to use the 'mtdblock' driver by running 'modprobe mtdblock'\n"
    "and then running this command again, but you MUST reboot when you have\n"
    "finished.\n");

// The character and the block flavour of a partition's device node.
struct mtd_node_kind {
    const char *dev_format;
    const char *own_format; // under QSUTILS_DIR, when /dev has no node
    mode_t type;
    unsigned major;
    unsigned minors_per_device;
    bool *probed;
    const char *modprobe;
};

const mtd_node_kind char_nodes = {"/dev/mtd%u", "%s/dev_mtd%u", S_IFCHR, 90, 2, &probed_mtdchar,
                                  "modprobe mtdchar >/dev/null 2>&1"};
const mtd_node_kind block_nodes = {"/dev/mtdblock%u", "%s/dev_mtdblock%u", S_IFBLK, 31, 1,
                                   &probed_mtdblock, "modprobe mtdblock >/dev/null 2>&1"};

// "/proc/mtd" whole; -1 with errno when it cannot be read.
int read_proc_mtd(std::string &text)
{
    int fd = platform().open("/proc/mtd", O_RDONLY);
    if (fd < 0)
        return -1;
    char buf[MTD_IO_CHUNK];
    ssize_t n;
    while ((n = platform().read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    int err = errno;
    platform().close(fd);
    return n < 0 ? nv_fail(err) : 0;
}

bool parse_number(std::string_view &s, int base, uint32_t *value)
{
    uint64_t v = 0;
    size_t digits = 0;
    for (; digits < s.size(); ++digits) {
        char c = s[digits];
        int d = c >= '0' && c <= '9'                ? c - '0'
                : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
                : base == 16 && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
        if (d < 0)
            break;
        v = v * base + d;
        if (v > UINT32_MAX)
            return false;
    }
    s.remove_prefix(digits);
    *value = static_cast<uint32_t>(v);
    return digits > 0;
}

size_t skip_spaces(std::string_view &s)
{
    size_t n = 0;
    while (n < s.size() && (s[n] == ' ' || s[n] == '\t'))
        ++n;
    s.remove_prefix(n);
    return n;
}

} // namespace

bool parse_mtd_line(std::string_view s, uint32_t *number, uint32_t *size, uint32_t *erase_size,
                    std::string_view *name)
{
    if (s.size() > PROC_MTD_LINE_MAX || s.substr(0, 3) != "mtd")
        return false;
    s.remove_prefix(3);
    if (!parse_number(s, 10, number) || s.empty() || s[0] != ':')
        return false;
    s.remove_prefix(1);
    skip_spaces(s);
    if (!parse_number(s, 16, size) || skip_spaces(s) == 0 || !parse_number(s, 16, erase_size) ||
        skip_spaces(s) == 0 || s.empty() || s[0] != '"')
        return false;
    s.remove_prefix(1);
    size_t quote = s.find('"');
    if (quote == std::string_view::npos)
        return false;
    *name = s.substr(0, quote);
    return true;
}

namespace {

// The devices of "/proc/mtd" after its header, up to the first line that
// is not one; 0, or -1 with errno when there is no room for them.
int list_mtd_devices(const std::string &text, std::vector<mtd_listing_entry> &devices)
{
    size_t eol = text.find('\n');
    if (eol == std::string::npos)
        return 0; // nothing after the header
    std::string_view rest(text);
    rest.remove_prefix(eol + 1);
    try {
        while (!rest.empty()) {
            eol = rest.find('\n');
            std::string_view line = rest.substr(0, eol);
            rest.remove_prefix(eol == std::string_view::npos ? rest.size() : eol + 1);
            uint32_t n, size, erase_size;
            std::string_view name;
            if (!parse_mtd_line(line, &n, &size, &erase_size, &name))
                break;
            devices.push_back({std::string(name), n, size, erase_size});
        }
    } catch (const std::bad_alloc &) {
        return nv_fail(ENOMEM);
    }
    return 0;
}

// The kernel's MTD block driver loses data on 2.6.16 and earlier and on
// 2.6.26 to 2.6.27.52; a kernel that does not say is not trusted either.
bool mtdblock_usable()
{
    struct utsname uts;
    if (platform().uname(&uts) != 0)
        return false;
    unsigned v[4] = {0, 0, 0, 0};
    if (std::sscanf(uts.release, "%u.%u.%u.%u", &v[0], &v[1], &v[2], &v[3]) < 2)
        return false;
    uint32_t version = (v[0] << 24) + (v[1] << 16) + (v[2] << 8) + v[3];
    return version >= 0x02061100 && (version < 0x02061A00 || version > 0x02061B34);
}

int make_own_node(const char *path, const mtd_node_kind &kind, unsigned number)
{
    if (platform().mkdir(QSUTILS_DIR, 0755) != 0 && errno != EEXIST)
        return -1;
    if (platform().mknod(path, kind.type | 0600, makedev(kind.major, kind.minors_per_device * number)) != 0)
        return errno == EEXIST ? 0 : -1;
    nv_forget_mtd_listing();
    return 0;
}

enum class phase_result { opened, next_phase, failed };

// Opens the partition's node of one kind.  A missing module is loaded once
// per run, and a node that does not appear within the wait is made under
// QSUTILS_DIR for the rest of the run.
phase_result open_phase(nv_context *ctx, const mtd_node_kind &kind, unsigned number, unsigned wait)
{
    for (;;) {
        char node[64];
        if (create_dev_nodes) {
            std::snprintf(node, sizeof node, kind.own_format, QSUTILS_DIR, number);
            if (make_own_node(node, kind, number) != 0)
                return phase_result::next_phase;
        } else {
            std::snprintf(node, sizeof node, kind.dev_format, number);
        }
        int fd = platform().open(node, O_RDWR);
        if (fd >= 0) {
            ctx->fd = fd;
            return phase_result::opened;
        }
        int err = errno;
        if (err == ENOENT && *kind.probed && !create_dev_nodes) {
            if (wait == 0) {
                create_dev_nodes = true;
                continue;
            }
            --wait;
            platform().sleep_us(ONE_SECOND_US);
            continue;
        }
        if (err != ENOENT && err != ENODEV && err != ENXIO)
            return phase_result::failed;
        if (wait == 0)
            return phase_result::next_phase;
        if (!*kind.probed) {
            *kind.probed = true;
            const int status = platform().system(kind.modprobe);
            nv_forget_mtd_listing();
            if (status != 0) {
                errno = err;
                return phase_result::next_phase;
            }
        }
        --wait;
        platform().sleep_us(ONE_SECOND_US);
    }
}

} // namespace

int mtd_part_name(nv_context *ctx, const qsu_device *dev, nv_part_type type, unsigned subtype)
{
    char *name = ctx->u.mtd.part_name;
    const size_t room = sizeof ctx->u.mtd.part_name;
    int n;
    if (dev->pci_device_id == ADAPTER_WITHOUT_MTD)
        return nv_fail(ENOENT);
    if (dev->pci_device_id == ADAPTER_WITH_BOOTROM_MTD_ONLY) {
        const char *which = type == NV_PART_BOOTROM       ? "qsc_flash_bootrom"
                            : type == NV_PART_BOOTROM_CFG ? "qsc_bootconfig"
                                                          : nullptr;
        if (!which || subtype != 0)
            return nv_fail(ENOENT);
        n = std::snprintf(name, room, "%.16s %s", dev->netif_name, which);
    } else {
        QS_ASSERT(type < MAX_NV_PART && mtd_kind_names[type]);
        n = std::snprintf(name, room, "%.16s %s:%02x", dev->netif_name, mtd_kind_names[type], subtype);
    }
    // A name cut short could be another partition's.
    if (n < 0 || static_cast<size_t>(n) >= room)
        return nv_fail(ENOENT);
    return 0;
}

int mtd_find(nv_context *ctx, unsigned *number)
{
    std::vector<mtd_listing_entry> read_now;
    const std::vector<mtd_listing_entry> *listing = nv_remembered_mtd_listing();
    if (!listing) {
        std::string text;
        if (read_proc_mtd(text) != 0 || list_mtd_devices(text, read_now) != 0)
            return -1;
        nv_remember_mtd_listing(read_now);
        listing = &read_now;
    }
    for (const mtd_listing_entry &device : *listing) {
        if (device.name == ctx->u.mtd.part_name) {
            *number = device.number;
            ctx->part_size = device.size;
            ctx->u.mtd.erase_size = device.erase_size;
            ctx->u.mtd.is_eeprom = device.erase_size == 1;
            return 0;
        }
    }
    return nv_fail(ENOENT);
}

bool mtd_exists(const qsu_device *dev, nv_part_type type, unsigned subtype)
{
    nv_context ctx{};
    unsigned number;
    return mtd_part_name(&ctx, dev, type, subtype) == 0 && mtd_find(&ctx, &number) == 0;
}

int mtd_open(nv_context *ctx, qsu_device *dev, nv_part_type type, unsigned subtype)
{
    ctx->fd = -1;
    if (mtd_part_name(ctx, dev, type, subtype) != 0)
        return -1;
    return mtd_reopen(ctx);
}

int mtd_reopen(nv_context *ctx)
{
    if (ctx->fd >= 0) {
        platform().close(ctx->fd);
        ctx->fd = -1;
    }
    unsigned number;
    if (mtd_find(ctx, &number) != 0)
        return -1;

    phase_result result = open_phase(ctx, char_nodes, number, probed_mtdchar ? 0 : NODE_WAIT_TRIES);
    if (result == phase_result::opened) {
        ctx->u.mtd.is_block = false;
        return 0;
    }
    if (result == phase_result::failed)
        return -1;

    unsigned wait = probed_mtdblock ? 0 : NODE_WAIT_TRIES;
    if (!mtdblock_usable()) {
        buggy_mtdblock = true;
        probed_mtdblock = true;
        wait = 0;
    }
    if (open_phase(ctx, block_nodes, number, wait) == phase_result::opened) {
        ctx->u.mtd.is_block = true;
        return 0;
    }
    // After the waits, a node that no MTD driver answers for is as good as
    // a missing one: the partition is not on this path, and the caller
    // may ask the controller.
    if (errno == ENXIO || errno == ENODEV)
        errno = ENOENT;
    if (buggy_mtdblock && !reported_buggy_mtdblock) {
        int err = errno;
        reported_buggy_mtdblock = true;
        std::fputs(gettext(MTD_DRIVER_ADVICE), stderr);
        errno = err;
    }
    return -1;
}

int mtd_write_all(nv_context *ctx, const void *buf, uint32_t len, bool full_erase, progress_fn progress)
{
    // A write tried again after one whose reopen failed.
    if (ctx->fd < 0 && mtd_reopen(ctx) != 0)
        return -1;
    // 64-bit arithmetic: offset * 75 overflows 32 bits past 57 MB.
    const uint64_t erase_size = ctx->u.mtd.erase_size, length = len, part_size = ctx->part_size;
    // Erasing up to L + E - 1 covers the image's last block however the
    // image ends.
    uint64_t erase_len = length + erase_size - 1;
    if (erase_len > part_size || full_erase)
        erase_len = part_size;
    if (part_size < length)
        return nv_fail(ENOSPC);

    const bool erasable = !ctx->u.mtd.is_eeprom;
    if (!ctx->u.mtd.is_block && erasable) {
        for (uint64_t offset = 0; offset < erase_len; offset += erase_size) {
            nv_report(progress, N_("Erasing"), offset * 25 / erase_len);
            erase_info_user erase = {static_cast<uint32_t>(offset), static_cast<uint32_t>(erase_size)};
            // An erase size of 0 would never get past the first block.
            int rc = erase_size == 0 ? nv_fail(EINVAL) : platform().ioctl(ctx->fd, MEMERASE, &erase);
            if (rc != 0) {
                std::fprintf(stderr, "%s %s\n", gettext("Failed to erase partition"), ctx->u.mtd.part_name);
                return -1;
            }
        }
    }

    // A block device cannot erase: it gets erased bytes written over the
    // range the character device would have erased, so that no tail of a
    // longer, older image (nor, for a restore, the image itself) is left.
    const auto *bytes = static_cast<const uint8_t *>(buf);
    uint64_t total = length;
    std::vector<uint8_t> padded;
    if (ctx->u.mtd.is_block && erasable && erase_size != 0) {
        total = nv_erase_end(length, erase_size, part_size, full_erase);
        padded.assign(bytes, bytes + length);
        padded.resize(total, 0xFF);
        bytes = padded.data();
    }
    bool written = platform().lseek(ctx->fd, 0, SEEK_SET) == 0;
    for (uint64_t offset = 0; written && offset < total; offset += MTD_IO_CHUNK) {
        size_t chunk = static_cast<size_t>(std::min<uint64_t>(MTD_IO_CHUNK, total - offset));
        nv_report(progress, N_("Writing"), 25 + offset * 75 / total);
        ssize_t n = platform().write(ctx->fd, bytes + offset, chunk);
        if (n >= 0 && static_cast<size_t>(n) != chunk)
            errno = EIO;
        written = n >= 0 && static_cast<size_t>(n) == chunk;
    }
    // The block layer keeps the pages until they are flushed; only the
    // flush says whether they reached the flash.
    if (written && ctx->u.mtd.is_block)
        written = platform().fsync(ctx->fd) == 0;
    if (!written) {
        int err = errno;
        std::fprintf(stderr, "%s %s\n", gettext("Failed to write partition"), ctx->u.mtd.part_name);
        return nv_fail(err);
    }
    nv_report(progress, N_("Validating"), 0);
    return mtd_reopen(ctx);
}

ssize_t mtd_read(nv_context *ctx, void *buf, size_t len, uint32_t offset)
{
    if (platform().lseek(ctx->fd, offset, SEEK_SET) < 0)
        return -1;
    auto *bytes = static_cast<uint8_t *>(buf);
    size_t done = 0;
    while (done < len) {
        size_t chunk = std::min(MTD_IO_CHUNK, len - done);
        ssize_t n = platform().read(ctx->fd, bytes + done, chunk);
        if (n < 0) {
            // Status partitions are probed; their callers say what a
            // failed read means.
            if (!std::strstr(ctx->u.mtd.part_name, "qsc_status:")) {
                int err = errno;
                std::fprintf(stderr, gettext("Failed to read partition %s offset %d size %d\n"),
                             ctx->u.mtd.part_name, static_cast<int>(done), static_cast<int>(chunk));
                errno = err;
            }
            return -1;
        }
        done += static_cast<size_t>(n);
        // The end of the device; what is read so far stays in place.
        if (static_cast<size_t>(n) < chunk)
            break;
    }
    return static_cast<ssize_t>(done);
}
