// The MTD backend: partition names, "/proc/mtd", opening the device nodes
// (module loading, waits, nodes of our own, the kernel's block driver),
// erasing and writing, reading.
#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "lib/utils/linux/nv_backends.h"
#include "lib/utils/linux/qsu_device.h"
#include "tests/unit/support/mtd_host.h"

namespace {

std::vector<std::pair<std::string, int>> progress_log;
void record_progress(const char *status, int pc)
{
    progress_log.emplace_back(status, pc);
}

qsu_device port(const char *ifname, uint32_t device_id = 0x1B7E0A03)
{
    qsu_device dev{};
    std::strcpy(dev.netif_name, ifname);
    dev.pci_device_id = device_id;
    return dev;
}

std::string pattern(size_t len)
{
    std::string s(len, '\0');
    for (size_t i = 0; i < len; ++i)
        s[i] = static_cast<char>(i * 7 + 1);
    return s;
}

const std::string MODPROBE_CHAR = "modprobe mtdchar >/dev/null 2>&1";
const std::string MODPROBE_BLOCK = "modprobe mtdblock >/dev/null 2>&1";
const char *const ADVICE = "This command requires either the 'mtdchar' or 'mtdblock' driver for\n"
                           "access to flash memory on Duskhollow adapters.  The current kernel does\n"
                           "not have the 'mtdchar' driver, but may have the 'mtdblock' driver.\n"
                           "You may try to use the 'mtdblock' driver by running 'modprobe mtdblock'\n"
                           "and then running this command again, but you MUST reboot when you have\n"
                           "finished.\n";

TEST(MtdNames, NameEveryKindAsTheDriverDoes)
{
    struct {
        uint32_t id;
        const char *ifname;
        unsigned type, subtype;
        const char *name; // null: ENOENT
    } cases[] = {
        {0x1B7E0A03, "eth4", NV_PART_BOOTROM_CFG, 0x1f, "eth4 qsc_exp_rom_cfg:1f"},
        {0x1B7E0B03, "enp3s0f1", NV_PART_STATUS, 0x123, "enp3s0f1 qsc_status:123"},
        {0x1B7E0710, "eth4", NV_PART_BOOTROM_CFG, 0, "eth4 qsc_bootconfig"},
        {0x1B7E0710, "eth4", NV_PART_BOOTROM, 0, "eth4 qsc_flash_bootrom"},
        {0x1B7E0710, "eth4", NV_PART_BOOTROM_CFG, 1, nullptr},
        {0x1B7E0710, "eth4", NV_PART_MCFW, 0, nullptr},
        {0x1B7E0710, "eth4", NV_PART_NTYPES, 0, nullptr},
        {0x1B7E0703, "eth4", NV_PART_BOOTROM, 0, nullptr},
        // 39 characters fit; a name cut short could be another partition's.
        {0x1B7E0A03, "abcdefghijklmno", NV_PART_BOOTROM_CFG_DEFAULTS, 0xff, "abcdefghijklmno qsc_exp_rom_cfg_dflt:ff"},
        {0x1B7E0A03, "abcdefghijklmno", NV_PART_BOOTROM_CFG_DEFAULTS, 0x100, nullptr},
    };
    for (const auto &c : cases) {
        qsu_device dev = port(c.ifname, c.id);
        nv_context ctx{};
        errno = 0;
        EXPECT_EQ(mtd_part_name(&ctx, &dev, nv_part_type(c.type), c.subtype), c.name ? 0 : -1) << c.type;
        if (c.name)
            EXPECT_STREQ(ctx.u.mtd.part_name, c.name);
        else
            EXPECT_EQ(errno, ENOENT);
    }
    const char *const kinds[MAX_NV_PART] = {
        "qsc_mcfw", "qsc_dynamic_cfg", "qsc_static_cfg", "qsc_exp_rom", "qsc_exp_rom_cfg", "qsc_phy_fw",
        "qsc_fpga", "qsc_fcfw", "qsc_cpld", "qsc_fpgadiag", nullptr, "qsc_mumfw", "qsc_uefi", "qsc_status",
        nullptr, "qsc_dynamic_cfg_dflt", "qsc_exp_rom_cfg_dflt", "qsc_bundle", "qsc_bundle_metadata"};
    qsu_device dev = port("eth0");
    nv_context ctx{};
    for (unsigned type = 0; type < MAX_NV_PART; ++type) {
        if (!kinds[type])
            continue;
        ASSERT_EQ(mtd_part_name(&ctx, &dev, nv_part_type(type), 2), 0);
        EXPECT_EQ(ctx.u.mtd.part_name, std::string("eth0 ") + kinds[type] + ":02");
    }
    for (unsigned type : {10u, 14u, 19u, 200u})
        EXPECT_DEATH(mtd_part_name(&ctx, &dev, nv_part_type(type), 0), "Assertion") << type;
}

TEST(ProcMtd, ListsPartitionsUntilALineDoesNotFit)
{
    const std::string head = "dev:    size   erasesize  name\n", ours = " \"eth0 qsc_mcfw:00\"\n";
    struct {
        std::string text;
        int number; // -1: not found
        uint32_t size = 0, erase_size = 0;
    } cases[] = {
        {head + "mtd0: 00010000 00001000" + ours, 0, 0x10000, 0x1000},
        {head + "mtd0: 10 10 \"eth1 qsc_mcfw:00\"\nmtd12: 0002a000 00000001   \"eth0 qsc_mcfw:00\"", 12, 0x2a000, 1},
        {head + "mtd3:FFFFFFFF\t0001000A" + ours, 3, 0xFFFFFFFF, 0x1000A},
        {head + "mtd1: 00010000 00001000" + std::string(213, ' ') + ours, 1, 0x10000, 0x1000}, // 255 characters
        {head + "mtd1: 00010000 00001000" + std::string(214, ' ') + ours, -1},
        {head, -1}, {"", -1}, {"mtd0: 00010000 00001000" + ours, -1}, // the first line is the header
        {head + "mtd0: 10 10 \"eth0 qsc_mcfw:0\"\nmtd1: 10 10 \"eth0 qsc_mcfw:000\"\nmtd2: 10 10 \"eth0  qsc_mcfw:00\"\n", -1},
        {head + "mtd0: 10 10 \"eth1\"\nmtd1 10 10 \"x\"\nmtd2: 00010000 00001000" + ours, -1},
        {head + "mtd1: 00010000 00001000 eth0 qsc_mcfw:00\n", -1},
        {head + "mtd1: 00010000 00001000 \"eth0 qsc_mcfw:00\n", -1},
        {head + "mtd1: 00010000 00001000\"eth0 qsc_mcfw:00\"\n", -1},
        {head + "mtd1: 0001000000001000" + ours, -1},
        {head + "mtd1: 100000000 00001000" + ours, -1},
        {head + "mtd: 00010000 00001000" + ours, -1},
    };
    for (const auto &c : cases) {
        MtdHost host;
        host.add_file("/proc/mtd", c.text);
        ScopedPlatform scoped(host);
        nv_context ctx{};
        std::strcpy(ctx.u.mtd.part_name, "eth0 qsc_mcfw:00");
        unsigned number = 99;
        errno = 0;
        EXPECT_EQ(mtd_find(&ctx, &number), c.number < 0 ? -1 : 0) << c.text;
        EXPECT_EQ(number, c.number < 0 ? 99u : unsigned(c.number)) << c.text;
        EXPECT_EQ(errno, c.number < 0 ? ENOENT : 0);
        EXPECT_EQ(ctx.part_size, c.size);
        EXPECT_EQ(ctx.u.mtd.erase_size, c.erase_size);
        EXPECT_EQ(ctx.u.mtd.is_eeprom, c.erase_size == 1);
        EXPECT_EQ(host.open_descriptors(), 0u);
    }
    MtdHost host; // no MTD support at all
    ScopedPlatform scoped(host);
    nv_context ctx{};
    unsigned number;
    EXPECT_EQ(mtd_find(&ctx, &number), -1);
    EXPECT_EQ(errno, ENOENT);
}

// The device node of mtd2, opened twice in a run: a module is loaded once,
// the wait for nodes is paid once, then the run makes nodes of its own;
// the block driver is the last resort.
TEST(MtdOpen, LoadsModulesWaitsAndMakesNodesOncePerRun)
{
    const std::string dir = "/var/lib/qsutils 755", chr = "/var/lib/qsutils/dev_mtd2 20600 90:4",
                      blk = "/var/lib/qsutils/dev_mtdblock2 60600 31:2";
    struct {
        const char *what;
        std::set<std::string> loaded, loadable;
        int delay_s;
        const char *release;
        int open_errno, mknod_errno;
        const char *node[2]; // the last node each open tried
        int err;             // 0: both opens succeed
        unsigned slept_s[2];
        std::vector<std::string> commands, made;
    } cases[] = {
        {"ready", {"mtdchar"}, {}, 0, "3.10.0", 0, 0, {"/dev/mtd2", "/dev/mtd2"}, 0, {0, 0}, {}, {}},
        {"loaded on demand", {}, {"mtdchar"}, 2, "3.10.0", 0, 0, {"/dev/mtd2", "/dev/mtd2"}, 0, {2, 0}, {MODPROBE_CHAR}, {}},
        {"nodes never appear", {}, {"mtdchar"}, -1, "3.10.0", 0, 0,
         {"/var/lib/qsutils/dev_mtd2", "/var/lib/qsutils/dev_mtd2"}, 0, {5, 0}, {MODPROBE_CHAR}, {dir, chr, dir, chr}},
        {"block driver", {}, {"mtdblock"}, 1, "3.10.0", 0, 0, {"/dev/mtdblock2", "/var/lib/qsutils/dev_mtdblock2"}, 0,
         {1, 0}, {MODPROBE_CHAR, MODPROBE_BLOCK}, {dir, chr, dir, blk}},
        {"block driver not trusted", {}, {"mtdblock"}, 0, "2.6.27.52", 0, 0,
         {"/var/lib/qsutils/dev_mtdblock2", "/var/lib/qsutils/dev_mtdblock2"}, ENODEV, {0, 0}, {MODPROBE_CHAR},
         {dir, blk, dir, chr, dir, blk}},
        {"no nodes can be made", {}, {"mtdchar", "mtdblock"}, -1, "3.10.0", 0, EPERM, {"/dev/mtd2", ""}, EPERM,
         {5, 0}, {MODPROBE_CHAR}, {dir, chr, dir, blk, dir, chr, dir, blk}},
        {"access refused", {"mtdchar"}, {}, 0, "3.10.0", EACCES, 0, {"/dev/mtd2", "/dev/mtd2"}, EACCES, {0, 0}, {}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        MtdHost host;
        host.loaded = c.loaded, host.loadable = c.loadable, host.node_delay_s = c.delay_s, host.release = c.release;
        host.open_errno = c.open_errno, host.mknod_errno = c.mknod_errno;
        host.add("eth1 qsc_mcfw:00", 4096, 4096);
        host.add("eth0 qsc_mcfw:01", 4096, 4096);
        host.add("eth0 qsc_mcfw:00", 8192, 4096);
        ScopedPlatform scoped(host);
        nv_reset_for_tests();
        qsu_device dev = port("eth0");
        testing::internal::CaptureStderr();
        for (int i = 0; i < 2; ++i) {
            unsigned long before = host.slept_us;
            host.opened.clear();
            errno = 0;
            nv_context *ctx = nv_open(&dev, NV_PART_MCFW, 0);
            EXPECT_EQ(host.slept_us - before, c.slept_s[i] * 1000000ul) << i;
            EXPECT_EQ(host.opened.empty() ? "" : host.opened.back(), c.node[i]) << i;
            if (c.err) {
                EXPECT_EQ(ctx, nullptr);
                EXPECT_EQ(errno, c.err);
                continue;
            }
            ASSERT_NE(ctx, nullptr);
            EXPECT_EQ(ctx->u.mtd.is_block, std::strstr(c.node[i], "block") != nullptr);
            EXPECT_EQ(nv_part_size(ctx), 8192u);
            nv_close(ctx);
        }
        // The driver advice comes once a run, and only with a kernel whose
        // block driver is not trusted.
        EXPECT_EQ(testing::internal::GetCapturedStderr(), std::strstr(c.release, "2.6.27") ? ADVICE : "");
        EXPECT_EQ(host.commands, c.commands);
        EXPECT_EQ(host.made, c.made);
        EXPECT_EQ(host.open_devices(), 0u);
    }
}

TEST(MtdOpen, TrustsTheBlockDriverByKernelRelease)
{
    std::pair<const char *, bool> releases[] = {
        {"2.6.16.60", false}, {"2.6.17", true},  {"2.6.25", true}, {"2.6.26", false}, {"2.6.27.52", false},
        {"2.6.27.53", true},  {"3.10.0-1160.el7.x86_64", true},    {"3", false},      {"", false},
    };
    for (auto [release, usable] : releases) {
        MtdHost host;
        host.loaded = {}, host.loadable = {"mtdblock"}, host.release = release;
        host.add("eth0 qsc_mcfw:00", 8192, 4096);
        ScopedPlatform scoped(host);
        nv_reset_for_tests();
        qsu_device dev = port("eth0");
        testing::internal::CaptureStderr();
        nv_context *ctx = nv_open(&dev, NV_PART_MCFW, 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), usable ? "" : ADVICE) << release;
        EXPECT_EQ(ctx != nullptr, usable) << release;
        EXPECT_EQ(host.commands.size(), usable ? 2u : 1u) << release;
        nv_close(ctx);
    }
}

struct Written {
    int rc, err;
    std::string stderr_text;
};

// Writes an image to eth0's controller firmware partition.
Written write_image(MtdHost &host, const std::string &image, bool full_erase, progress_fn progress = nullptr)
{
    ScopedPlatform scoped(host);
    nv_reset_for_tests();
    qsu_device dev = port("eth0");
    nv_context *ctx = nv_open(&dev, NV_PART_MCFW, 0);
    if (!ctx)
        return {-2, errno, ""};
    testing::internal::CaptureStderr();
    errno = 0;
    int rc = nv_write_all(ctx, image.data(), static_cast<uint32_t>(image.size()), full_erase, progress);
    Written result{rc, rc ? errno : 0, testing::internal::GetCapturedStderr()};
    EXPECT_EQ(host.open_devices(), 1u); // still open, or open again
    nv_close(ctx);
    return result;
}

// Whole erase blocks up to L + E - 1 (or all of them), none where the
// device needs no erasing; then the image in 4096-byte writes.
TEST(MtdWrite, ErasesTheBlocksTheImageNeedsThenWritesIt)
{
    struct {
        const char *what;
        uint32_t erase_size, len;
        bool full_erase, block;
        std::vector<uint32_t> erased;
        int err;
    } cases[] = {
        {"one block", 4096, 4096, false, false, {0, 4096}, 0},
        {"one block, full erase", 4096, 4096, true, false, {0, 4096, 8192, 12288}, 0},
        {"one block and a byte", 4096, 4097, false, false, {0, 4096}, 0},
        {"two blocks less a byte", 4096, 8191, false, false, {0, 4096, 8192}, 0},
        {"the whole partition", 4096, 16384, false, false, {0, 4096, 8192, 12288}, 0},
        {"EEPROM", 1, 5000, true, false, {}, 0},
        {"block device", 4096, 4096, true, true, {}, 0},
        {"too long", 4096, 16385, false, false, {}, ENOSPC},
        {"no erase size", 0, 4096, false, false, {}, EINVAL},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        MtdHost host;
        if (c.block)
            host.loaded = {"mtdblock"}, host.loadable = {};
        host.add("eth0 qsc_mcfw:00", 16384, c.erase_size);
        const std::string image = pattern(c.len);
        std::string expected = host.flash(0);
        for (uint32_t start : c.erased)
            expected.replace(start, c.erase_size, c.erase_size, '\xff');
        std::vector<size_t> writes;
        for (size_t at = 0; !c.err && at < image.size(); at += 4096) {
            writes.push_back(std::min<size_t>(4096, image.size() - at));
            expected.replace(at, writes.back(), image, at, writes.back());
        }
        Written w = write_image(host, image, c.full_erase);
        EXPECT_EQ(w.rc, c.err ? -1 : 0);
        EXPECT_EQ(w.err, c.err);
        EXPECT_EQ(w.stderr_text, c.err == EINVAL ? "Failed to erase partition eth0 qsc_mcfw:00\n" : "");
        EXPECT_EQ(host.erased, c.erased);
        EXPECT_EQ(host.transfers, writes);
        EXPECT_TRUE(host.flash(0) == expected);
    }
}

TEST(MtdWrite, ReportsProgressAndEndsByReopening)
{
    MtdHost host;
    host.add("eth0 qsc_mcfw:00", 16384, 4096);
    progress_log.clear();
    {
        ScopedPlatform scoped(host);
        nv_reset_for_tests();
        qsu_device dev = port("eth0");
        nv_context *ctx = nv_open(&dev, NV_PART_MCFW, 0);
        ASSERT_NE(ctx, nullptr);
        // The partition grows under the write: the reopened context knows.
        host.devices[0].size = 24576;
        host.publish();
        EXPECT_EQ(nv_write_all(ctx, pattern(10000).data(), 10000, false, record_progress), 0);
        EXPECT_EQ(nv_part_size(ctx), 24576u);
        // A partition gone from "/proc/mtd" after the write fails the write.
        host.devices[0].name = "gone";
        host.publish();
        EXPECT_EQ(nv_write_all(ctx, "x", 1, false, nullptr), -1);
        EXPECT_EQ(errno, ENOENT);
        nv_close(ctx);
    }
    const decltype(progress_log) expected = {{"Erasing", 0},  {"Erasing", 7},  {"Erasing", 14}, {"Erasing", 21},
                                             {"Writing", 25}, {"Writing", 55}, {"Writing", 86}, {"Validating", 0}};
    EXPECT_EQ(progress_log, expected);

    // 64 MiB: offset * 75 no longer fits 32 bits.
    MtdHost big;
    big.add("eth0 qsc_mcfw:00", 64u << 20, 64u << 10);
    progress_log.clear();
    EXPECT_EQ(write_image(big, std::string(64u << 20, 'i'), false, record_progress).rc, 0);
    int last = 0;
    for (size_t i = 0; i + 1 < progress_log.size(); ++i) {
        EXPECT_GE(progress_log[i].second, last) << progress_log[i].first;
        last = progress_log[i].second;
    }
    EXPECT_EQ(last, 99);
    EXPECT_EQ(big.erased.size(), 1024u);
}

TEST(MtdWrite, FailuresNameThePartition)
{
    struct {
        int erase_fault_at, io_fault_at, io_errno;
        bool io_short;
        const char *message;
        int err;
        size_t erases, writes;
    } cases[] = {
        {1, -1, 0, false, "Failed to erase partition eth0 qsc_mcfw:00\n", EIO, 2, 0},
        {-1, 1, EROFS, false, "Failed to write partition eth0 qsc_mcfw:00\n", EROFS, 4, 2},
        {-1, 0, 0, true, "Failed to write partition eth0 qsc_mcfw:00\n", EIO, 4, 1},
    };
    for (const auto &c : cases) {
        MtdHost host;
        host.add("eth0 qsc_mcfw:00", 16384, 4096);
        host.erase_fault_at = c.erase_fault_at, host.io_fault_at = c.io_fault_at;
        host.io_errno = c.io_errno, host.io_short = c.io_short;
        Written w = write_image(host, pattern(10000), false);
        EXPECT_EQ(w.rc, -1);
        EXPECT_EQ(w.err, c.err);
        EXPECT_EQ(w.stderr_text, c.message);
        EXPECT_EQ(host.erased.size(), c.erases);
        EXPECT_EQ(host.transfers.size(), c.writes);
    }
}

TEST(MtdRead, ReadsIn4096ByteChunksAndStopsAtTheEnd)
{
    struct {
        nv_part_type type;
        uint32_t offset;
        size_t len;
        int fault_at;
        bool fault_short;
        ssize_t result;
        std::vector<size_t> transfers;
        const char *message;
    } cases[] = {
        {NV_PART_MCFW, 100, 10000, -1, false, 10000, {4096, 4096, 1808}, ""},
        {NV_PART_MCFW, 16284, 4096, -1, false, 100, {4096}, ""},
        {NV_PART_MCFW, 0, 8192, 0, true, 2048, {4096}, ""},
        {NV_PART_MCFW, 12288, 8192, -1, false, 4096, {4096, 4096}, ""},
        {NV_PART_MCFW, 0, 10000, 1, false, -1, {4096, 4096},
         "Failed to read partition eth0 qsc_mcfw:00 offset 4096 size 4096\n"},
        {NV_PART_MCFW, 50, 10000, 2, false, -1, {4096, 4096, 1808},
         "Failed to read partition eth0 qsc_mcfw:00 offset 8192 size 1808\n"},
        {NV_PART_STATUS, 0, 10000, 1, false, -1, {4096, 4096}, ""},
    };
    for (const auto &c : cases) {
        MtdHost host;
        host.add(c.type == NV_PART_STATUS ? "eth0 qsc_status:00" : "eth0 qsc_mcfw:00", 16384, 4096);
        host.flash(0) = pattern(16384);
        host.io_fault_at = c.fault_at, host.io_short = c.fault_short;
        ScopedPlatform scoped(host);
        nv_reset_for_tests();
        qsu_device dev = port("eth0");
        nv_context *ctx = nv_open(&dev, c.type, 0);
        ASSERT_NE(ctx, nullptr);
        std::string buf(c.len, '\0');
        testing::internal::CaptureStderr();
        errno = 0;
        EXPECT_EQ(nv_read(ctx, buf.data(), c.len, c.offset), c.result);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
        EXPECT_EQ(host.transfers, c.transfers);
        if (c.result < 0)
            EXPECT_EQ(errno, EIO);
        else
            EXPECT_EQ(buf.substr(0, c.result), host.flash(0).substr(c.offset, c.result));
        nv_close(ctx);
    }
}

} // namespace
