// The NV layer at its edges: names at their limits, a malformed "/proc/mtd", 64 MiB of progress, the control device.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "lib/utils/linux/nv.h"
#include "lib/utils/linux/nv_backends.h"
#include "lib/utils/linux/qsu_device.h"
#include "tests/lab/support/nv_run.h"

namespace {

const std::string PROC_MTD_HEAD = "dev:    size   erasesize  name\n";

qsu_device port(const char *ifname, uint32_t device_id = 0x1B7E0A03)
{
    qsu_device dev{};
    std::strcpy(dev.netif_name, ifname);
    dev.pci_device_id = device_id;
    return dev;
}

// eth0's controller firmware alone: `device_size` bytes of 'x' as mtd0; the test then says what "/proc/mtd" lists.
lab::LabState mtd_host(uint32_t device_size, uint32_t erase_size)
{
    lab::LabState state = lab_host(lab::HostKind::linux_host, {{"dogwood2", 1}});
    state.host.modules_loaded.push_back("mtdchar");
    lab::Partition mcfw;
    mcfw.id = "a1-mcfw-00", mcfw.size = device_size, mcfw.erase_size = erase_size;
    mcfw.initial_contents.assign(device_size, 'x');
    state.adapters[0].partitions = {mcfw};
    return state;
}

void list_mtd(lab::Lab &lab, const std::string &text)
{
    std::ofstream(lab.root() + "/proc/mtd") << text;
}

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
        InProcessLab host(lab_host(lab::HostKind::linux_host, {}));
        list_mtd(host.lab(), c.text);
        ScopedPlatform scoped(host.platform());
        nv_reset_for_tests(); // each case is a run of its own
        const size_t descriptors = open_descriptors();
        nv_context ctx{};
        std::strcpy(ctx.u.mtd.part_name, "eth0 qsc_mcfw:00");
        unsigned number = 99;
        EXPECT_EQ(mtd_find(&ctx, &number) < 0 ? errno : 0, c.number < 0 ? ENOENT : 0) << c.text;
        EXPECT_EQ(number, c.number < 0 ? 99u : unsigned(c.number)) << c.text;
        EXPECT_EQ(ctx.part_size, c.size);
        EXPECT_EQ(ctx.u.mtd.erase_size, c.erase_size);
        EXPECT_EQ(ctx.u.mtd.is_eeprom, c.erase_size == 1);
        EXPECT_EQ(open_descriptors(), descriptors);
    }
}

// Progress rises through erasing (to 25) and writing, also past 32-bit offset * 75; a write that did not take fails.
TEST(MtdWrite, ReportsProgressOverAnySize)
{
    struct {
        uint32_t size, erase_size, device_size, length;
        std::vector<std::pair<std::string, int>> progress; // empty: rising to 99
        size_t erases;
        const char *message;
        int error;
        nlohmann::json faults = {};
    } cases[] = {
        {16384, 4096, 16384, 10000,
         {{"Erasing", 0}, {"Erasing", 7}, {"Erasing", 14}, {"Erasing", 21}, {"Writing", 25}, {"Writing", 55},
          {"Writing", 86}, {"Validating", 0}}, 4, "", 0},
        {12288, 4096, 8192, 100, {{"Erasing", 0}, {"Erasing", 24}, {"Writing", 25}, {"Validating", 0}}, 2,
         "Failed to write partition eth0 qsc_mcfw:00\n", EIO,
         fault("a1-mcfw-00", "write", "", "", {{"silent", "drop"}})},
        {64u << 20, 64u << 10, 64u << 20, 64u << 20, {}, 1024, "", 0},
        {16384, 0, 16384, 100, {{"Erasing", 0}}, 0, "Failed to erase partition eth0 qsc_mcfw:00\n", EINVAL},
    };
    for (const auto &c : cases) {
        NvRun run(mtd_host(c.device_size, c.erase_size ? c.erase_size : 4096), c.faults);
        char line[96];
        std::snprintf(line, sizeof line, "mtd0: %08x %08x \"eth0 qsc_mcfw:00\"\n", c.size, c.erase_size);
        list_mtd(run.lab(), PROC_MTD_HEAD + line);
        nv_context *ctx = nv_open(run.port(0), NV_PART_MCFW, 0);
        ASSERT_NE(ctx, nullptr);
        progress_log.clear();
        testing::internal::CaptureStderr();
        errno = 0;
        EXPECT_EQ(nv_write_all(ctx, std::string(c.length, 'i').data(), c.length, false, record_progress),
                  *c.message ? -1 : 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
        EXPECT_EQ(*c.message ? errno : 0, c.error);
        Bytes back(c.size);
        EXPECT_EQ(nv_read_all(ctx, back.data()) ? errno : 0, c.device_size < c.size ? EIO : 0);
        EXPECT_EQ(Bytes(back.begin(), back.begin() + c.device_size), run.file("a1-mcfw-00"));
        nv_close(ctx);
        EXPECT_EQ(partition_of(run.lab().state(), "a1-mcfw-00").last_run.erases, c.erases);
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

} // namespace
