// The NV layer where the lab cannot take it: names at their limits, malformed "/proc/mtd", 64 MiB progress.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <sys/utsname.h>

#include <gtest/gtest.h>

#include "lib/utils/linux/nv.h"
#include "lib/utils/linux/nv_backends.h"
#include "lib/utils/linux/qsu_device.h"
#include "tests/unit/support/fake_platform.h"

namespace {

constexpr unsigned long MEMERASE = 0x40084D02; // _IOW('M', 2, struct erase_info_user)
const std::string PROC_MTD_HEAD = "dev:    size   erasesize  name\n";

qsu_device port(const char *ifname, uint32_t device_id = 0x1B7E0A03)
{
    qsu_device dev{};
    std::strcpy(dev.netif_name, ifname);
    dev.pci_device_id = device_id;
    return dev;
}

// "/proc/mtd" lists eth0's controller firmware as mtd0, node ready; erases counted; modprobe fails.
struct MtdHost : FakePlatform {
    size_t erases = 0;
    MtdHost(uint32_t size, uint32_t erase_size, size_t device_size)
    {
        char line[96];
        std::snprintf(line, sizeof line, "mtd0: %08x %08x \"eth0 qsc_mcfw:00\"\n", size, erase_size);
        add_file("/proc/mtd", PROC_MTD_HEAD + line);
        add_file("/dev/mtd0", std::string(device_size, 'x'));
        ioctl_handler = [this](const std::string &path, unsigned long request, void *arg) {
            if (request != MEMERASE)
                return errno = ENOTTY, -1;
            ++erases;
            const auto *range = static_cast<const uint32_t *>(arg); // start, length
            std::string &bytes = node(path).content;
            bytes.replace(range[0], std::min<size_t>(range[1], bytes.size() - range[0]),
                          std::min<size_t>(range[1], bytes.size() - range[0]), '\xff');
            return 0;
        };
        nv_reset_for_tests();
    }
    int system(const char *) override { return errno = ECHILD, 1 << 8; }
    int uname(struct utsname *name) override
    {
        FakePlatform::uname(name);
        std::strcpy(name->release, "6.1.0"); // its block driver is sound
        return 0;
    }
};

std::vector<std::pair<std::string, int>> progress_log;
void record_progress(const char *status, int pc)
{
    progress_log.emplace_back(status, pc);
}

TEST(MtdNames, NameKindsAsTheDriverDoesOrRefuse)
{
    struct {
        uint32_t id;
        const char *ifname;
        unsigned type, subtype;
        const char *name; // null: ENOENT
    } cases[] = {
        {0x1B7E0A03, "eth4", NV_PART_BOOTROM_CFG, 0x1f, "eth4 qsc_exp_rom_cfg:1f"},
        {0x1B7E0B03, "enp3s0f1", NV_PART_STATUS, 0x123, "enp3s0f1 qsc_status:123"},
        {0x1B7E0710, "eth4", NV_PART_NTYPES, 0, nullptr},
        // 39 characters fit; a name cut short could be another partition's.
        {0x1B7E0A03, "abcdefghijklmno", NV_PART_BOOTROM_CFG_DEFAULTS, 0xff, "abcdefghijklmno qsc_exp_rom_cfg_dflt:ff"},
        {0x1B7E0A03, "abcdefghijklmno", NV_PART_BOOTROM_CFG_DEFAULTS, 0x100, nullptr},
    };
    for (const auto &c : cases) {
        qsu_device dev = port(c.ifname, c.id);
        nv_context ctx{};
        errno = 0;
        EXPECT_EQ(mtd_part_name(&ctx, &dev, nv_part_type(c.type), c.subtype), c.name ? 0 : -1) << c.type;
        EXPECT_EQ(c.name ? std::string(ctx.u.mtd.part_name) : "errno " + std::to_string(errno),
                  c.name ? c.name : "errno " + std::to_string(ENOENT));
    }
    qsu_device dev = port("eth0");
    nv_context ctx{};
    for (unsigned type : {10u, 14u, 19u, 200u})
        EXPECT_DEATH(mtd_part_name(&ctx, &dev, nv_part_type(type), 0), "Assertion") << type;
}

TEST(ProcMtd, ListsPartitionsUntilALineDoesNotFit)
{
    const std::string &head = PROC_MTD_HEAD, ours = " \"eth0 qsc_mcfw:00\"\n";
    struct {
        std::string text;
        int number; // -1: not found
        uint32_t size = 0, erase_size = 0;
    } cases[] = {
        {head + "mtd0: 00010000 00001000" + ours, 0, 0x10000, 0x1000},
        {head + "mtd0: 10 10 \"eth1 qsc_mcfw:00\"\nmtd19: 0009a000 00000001   \"eth0 qsc_mcfw:00\"", 19, 0x9a000, 1},
        {head + "mtd3:FFFFFFFF\t0001000A" + ours, 3, 0xFFFFFFFF, 0x1000A},
        {head + "mtd1: 00010000 00001000" + std::string(213, ' ') + ours, 1, 0x10000, 0x1000}, // 255 characters
        {head + "mtd1: 00010000 00001000" + std::string(214, ' ') + ours, -1},
        {head, -1}, {"", -1}, {"mtd0: 00010000 00001000" + ours, -1}, // the first line is the header
        {head + "mtd0: 10 10 \"eth0 qsc_mcfw:0\"\nmtd1: 10 10 \"eth0 qsc_mcfw:000\"\nmtd2: 10 10 \"eth0  qsc_mcfw:00\"\n", -1},
        {head + "mtd0: 10 10 \"eth1\"\nmtd1 10 10 \"x\"\nmtd2: 00010000 00001000" + ours, -1},
        {head + "mtd1: 00010000 00001000 eth0 qsc_mcfw:00\nmtd2: 00010000 00001000" + ours, -1},
        {head + "mtd1: 00010000 00001000 \"eth0 qsc_mcfw:00\n", -1},
        {head + "mtd1: 00010000 00001000\"eth0 qsc_mcfw:00\"\n", -1},
        {head + "mtd1: 0001000000001000" + ours, -1},
        {head + "mtd1: 100000000 00001000" + ours, -1},
        {head + "mtd: 00010000 00001000" + ours, -1},
    };
    for (const auto &c : cases) {
        nv_reset_for_tests(); // each case is a run of its own
        FakePlatform host;
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
}

// Progress rises through erasing (to 25) and writing, also past 32-bit offset * 75; a short device fails.
TEST(MtdWrite, ReportsProgressOverAnySize)
{
    struct {
        uint32_t size, erase_size, device_size, length;
        std::vector<std::pair<std::string, int>> progress; // empty: rising to 99
        size_t erases;
        const char *message;
        int error;
    } cases[] = {
        {16384, 4096, 16384, 10000,
         {{"Erasing", 0}, {"Erasing", 7}, {"Erasing", 14}, {"Erasing", 21}, {"Writing", 25}, {"Writing", 55},
          {"Writing", 86}, {"Validating", 0}}, 4, "", 0},
        {8192, 4096, 8191, 100, {{"Erasing", 0}, {"Erasing", 24}, {"Writing", 25}, {"Validating", 0}}, 2,
         "Failed to write partition eth0 qsc_mcfw:00\n", EIO},
        {64u << 20, 64u << 10, 64u << 20, 64u << 20, {}, 1024, "", 0},
        {16384, 0, 16384, 100, {{"Erasing", 0}}, 0, "Failed to erase partition eth0 qsc_mcfw:00\n", EINVAL},
    };
    for (const auto &c : cases) {
        MtdHost host(c.size, c.erase_size, c.device_size);
        ScopedPlatform scoped(host);
        qsu_device dev = port("eth0");
        nv_context *ctx = nv_open(&dev, NV_PART_MCFW, 0);
        ASSERT_NE(ctx, nullptr);
        progress_log.clear();
        testing::internal::CaptureStderr();
        errno = 0;
        EXPECT_EQ(nv_write_all(ctx, std::string(c.length, 'i').data(), c.length, false, record_progress),
                  *c.message ? -1 : 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
        EXPECT_EQ(errno, c.error);
        EXPECT_EQ(host.erases, c.erases);
        std::string back(c.size, '\0');
        EXPECT_EQ(nv_read_all(ctx, back.data()) ? errno : 0, c.device_size < c.size ? EIO : 0);
        EXPECT_EQ(back.substr(0, c.device_size), host.node("/dev/mtd0").content);
        nv_close(ctx);
        EXPECT_EQ(host.open_descriptors(), 0u);
        if (!c.progress.empty()) {
            EXPECT_EQ(progress_log, c.progress);
            continue;
        }
        int last = 0;
        for (size_t i = 0; i + 1 < progress_log.size(); ++i) {
            EXPECT_GE(progress_log[i].second, last) << progress_log[i].first;
            last = progress_log[i].second;
        }
        EXPECT_EQ(last, 99);
        EXPECT_EQ(progress_log.back(), std::make_pair(std::string("Validating"), 0));
    }
}

// Through the control device (ESXi) a partition is opened or probed on that device alone, never a socket.
TEST(NvOpen, TheControlDeviceHasNoSocketFallback)
{
    struct : FakePlatform {
        int sockets = 0;
        int socket(int domain, int type, int protocol) override { return ++sockets, FakePlatform::socket(domain, type, protocol); }
    } host;
    ScopedPlatform scoped(host);
    nv_reset_for_tests();
    nv_use_char_dev = true;
    qsu_device dev = port("eth0");
    testing::internal::CaptureStderr();
    errno = 0;
    EXPECT_EQ(nv_open(&dev, NV_PART_DYNAMIC_CFG, 0), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to open /dev/qsc_control: No such file or directory\n");
    EXPECT_EQ(errno, ENOENT);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(nv_exists(&dev, NV_PART_DYNAMIC_CFG, 0));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to open /dev/qsc_control: No such file or directory\n");
    EXPECT_EQ(host.sockets, 0);
    nv_use_char_dev = false;
}

TEST(NvFactoryDefaults, FromDogwood2On)
{
    for (auto [id, defaults] : {std::pair{0x1B7E0AFFu, false}, {0x1B7E0B00u, true}, {0x1B7E1A03u, false}}) {
        qsu_device dev = port("eth0", id);
        EXPECT_EQ(has_factory_defaults(&dev), defaults) << std::hex << id;
    }
}

} // namespace
