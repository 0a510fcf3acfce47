// The NV layer writing and reading real (emulated) flash: qsupdate's own
// enumeration and MTD backend run in-process against a lab, and what lands
// in the partition files is compared byte for byte.
#include <cerrno>
#include <cstdlib>
#include <sstream>

#include <gtest/gtest.h>

#include "lib/utils/linux/nv.h"
#include "lib/utils/linux/qsu_device.h"
#include "tests/lab/support/lab_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t BLOCK = 4096;

lab::Partition partition(const char *id, unsigned kind, unsigned subtype, uint32_t size, uint32_t erase_size)
{
    lab::Partition p;
    p.id = id;
    p.kind = kind;
    p.subtype = subtype;
    p.size = size;
    p.erase_size = erase_size;
    p.initial_contents.assign(size, 0x00); // all bits programmed: any erase shows
    return p;
}

// One two-port adapter of the given preset, carrying a four-block
// controller firmware partition, a 256-byte EEPROM and a status partition
// that port 1 alone exposes.
lab::LabState flash_host(const char *preset = "dogwood2", std::vector<std::string> loaded = {"mtdchar"})
{
    lab::LabState state = lab_host(lab::HostKind::linux_host, {{preset, 2}});
    for (const std::string &m : loaded)
        state.host.modules_loaded.push_back(m);
    state.host.modules_available.clear();
    lab::Adapter &a = state.adapters[0];
    a.partitions = {partition("a1-mcfw-00", 0, 0, 4 * BLOCK, BLOCK), partition("a1-exp_rom_cfg-00", 4, 0, 256, 1),
                    partition("a1-status-00", 13, 0, BLOCK, BLOCK)};
    a.partitions[2].mtd_all_ports = false;
    a.partitions[2].mtd_ports = {1};
    return state;
}

// A run of qsupdate's NV layer inside a lab: enumeration done, flags fresh.
class NvRun {
public:
    explicit NvRun(const lab::LabState &state) : host_(state), scoped_(host_.platform())
    {
        nv_reset_for_tests();
        EXPECT_EQ(qsu_device_init(), 0);
        count_ = qsu_device_enum(&devs_);
        EXPECT_GE(count_, 1);
        EXPECT_EQ(nv_init(), 0);
    }
    ~NvRun() { std::free(devs_); }

    qsu_device *port(int i) { return &devs_[i]; }
    InProcessLab &host() { return host_; }
    Bytes file(const std::string &id)
    {
        std::string bytes = read_file(host_.lab().dir() + "/flash/" + id + ".bin");
        return {bytes.begin(), bytes.end()};
    }
    uint64_t now_us() { return host_.lab().events().now_us(); }
    // The run's events containing the text, without time stamps.
    std::vector<std::string> events(const std::string &text)
    {
        host_.lab().save("end");
        std::vector<std::string> found;
        std::istringstream in(read_file(host_.lab().dir() + "/events.log"));
        for (std::string line; std::getline(in, line);)
            if (line.find(text) != std::string::npos)
                found.push_back(line.substr(line.find("] ") + 2));
        return found;
    }

private:
    InProcessLab host_;
    ScopedPlatform scoped_;
    qsu_device *devs_ = nullptr;
    int count_ = 0;
};

Bytes pattern(size_t length, uint8_t seed)
{
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

// What the partition holds after an image of `image` bytes replaced its
// first bytes, with the blocks up to `erased_to` erased and the rest as it
// was (all zero).
Bytes expected_flash(const Bytes &image, size_t size, size_t erased_to)
{
    Bytes flash(size, 0x00);
    std::fill(flash.begin(), flash.begin() + erased_to, 0xFF);
    std::copy(image.begin(), image.end(), flash.begin());
    return flash;
}

} // namespace

// What an image write erases, as the partition file shows it: the blocks
// the image covers and one beyond (unless the image ends one byte into a
// block), the whole partition with a full erase, nothing on an EEPROM or
// through the block device; a second image over the first comes out exact,
// which NOR flash only allows when its blocks were erased in between.
TEST(NvFlash, WritesEraseWhatTheyCoverAndLeaveTheRest)
{
    struct Case {
        const char *name;
        std::vector<std::string> modules;
        const char *id;
        nv_part_type kind;
        size_t image;
        bool full_erase;
        size_t erased_to;
    } cases[] = {
        {"one block of four", {"mtdchar"}, "a1-mcfw-00", NV_PART_MCFW, BLOCK, false, 2 * BLOCK},
        {"one byte into a block", {"mtdchar"}, "a1-mcfw-00", NV_PART_MCFW, BLOCK + 1, false, 2 * BLOCK},
        {"full erase", {"mtdchar"}, "a1-mcfw-00", NV_PART_MCFW, BLOCK, true, 4 * BLOCK},
        {"the whole partition", {"mtdchar"}, "a1-mcfw-00", NV_PART_MCFW, 4 * BLOCK, false, 4 * BLOCK},
        {"chunks of 4096 and a rest", {"mtdchar"}, "a1-mcfw-00", NV_PART_MCFW, 2 * BLOCK + 100, false, 4 * BLOCK},
        {"EEPROM", {"mtdchar"}, "a1-exp_rom_cfg-00", NV_PART_BOOTROM_CFG, 100, false, 0},
        {"block device", {"mtdblock"}, "a1-mcfw-00", NV_PART_MCFW, BLOCK, true, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        NvRun run(flash_host("dogwood2", c.modules));
        nv_context *ctx = nv_open(run.port(0), c.kind, 0);
        ASSERT_NE(ctx, nullptr) << strerror(errno);
        const size_t size = nv_part_size(ctx);
        for (uint8_t seed : {0x01, 0xFE}) { // complementary bits the second time
            Bytes image = pattern(c.image, seed);
            ASSERT_EQ(nv_write_all(ctx, image.data(), static_cast<uint32_t>(image.size()), c.full_erase, nullptr), 0);
            EXPECT_EQ(run.file(c.id), expected_flash(image, size, c.erased_to));
            Bytes back(size);
            EXPECT_EQ(nv_read_all(ctx, back.data()), 0);
            EXPECT_EQ(back, run.file(c.id)); // the reopened context reads the flash
        }
        nv_close(ctx);
        const size_t erases = c.erased_to / BLOCK;
        EXPECT_EQ(run.events(c.id + std::string(": erase")).size(), 2 * (c.modules[0] == "mtdchar" ? erases : 0));
    }
}

// Failures say what failed and leave the flash as far as the write got:
// an image too large touches nothing, a failed erase leaves the blocks
// before it erased, a write cut short leaves its bytes.
TEST(NvFlash, FailuresLeaveTheFlashAsFarAsTheyGot)
{
    const Bytes image = pattern(2 * BLOCK, 0x31);
    struct Case {
        const char *name;
        nlohmann::json fault;
        size_t image;
        int error;
        std::string message;
        Bytes flash;
    } cases[] = {
        {"too large", nullptr, 4 * BLOCK + 1, ENOSPC, "", Bytes(4 * BLOCK, 0x00)},
        {"second erase",
         {{"target", "a1-mcfw-00"}, {"operation", "erase"}, {"occurrence", 2}, {"errno", "EIO"}},
         image.size(), EIO, "Failed to erase partition eth0 qsc_mcfw:00\n", expected_flash({}, 4 * BLOCK, BLOCK)},
        {"write cut short",
         {{"target", "a1-mcfw-00"}, {"operation", "write"}, {"occurrence", 2}, {"write_cut_after", 100}},
         image.size(), -1, "Failed to write partition eth0 qsc_mcfw:00\n",
         [&] {
             Bytes flash = expected_flash(Bytes(image.begin(), image.begin() + BLOCK + 100), 4 * BLOCK, 3 * BLOCK);
             return flash;
         }()},
        {"write fails", {{"target", "/dev/mtd0"}, {"operation", "write"}, {"occurrence", 1}, {"errno", "EROFS"}},
         image.size(), EROFS, "Failed to write partition eth0 qsc_mcfw:00\n", expected_flash({}, 4 * BLOCK, 3 * BLOCK)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        lab::LabState state = flash_host();
        if (!c.fault.is_null())
            state.faults = lab::faults_from_json(nlohmann::json::array({c.fault}));
        NvRun run(state);
        nv_context *ctx = nv_open(run.port(0), NV_PART_MCFW, 0);
        ASSERT_NE(ctx, nullptr);
        Bytes data = pattern(c.image, 0x31);
        testing::internal::CaptureStderr();
        errno = 0;
        EXPECT_EQ(nv_write_all(ctx, data.data(), static_cast<uint32_t>(data.size()), false, nullptr), -1);
        if (c.error >= 0) {
            EXPECT_EQ(errno, c.error);
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
        EXPECT_EQ(run.file("a1-mcfw-00"), c.flash);
        nv_close(ctx);
    }
}

TEST(NvFlash, AFailedReadSaysWhereAndEndsItsLine)
{
    lab::LabState state = flash_host();
    state.faults = lab::faults_from_json(
        nlohmann::json::array({{{"target", "a1-mcfw-00"}, {"operation", "read"}, {"occurrence", 2}, {"errno", "EIO"}}}));
    NvRun run(state);
    nv_context *ctx = nv_open(run.port(0), NV_PART_MCFW, 0);
    ASSERT_NE(ctx, nullptr);
    Bytes back(nv_part_size(ctx));
    testing::internal::CaptureStderr();
    EXPECT_EQ(nv_read_all(ctx, back.data()), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to read partition eth0 qsc_mcfw:00 offset 4096 size 4096\n");
    nv_close(ctx);
}

// Which ports reach which partitions: a partition one port exposes is
// found through its sibling; the first generation's boards expose two
// partitions (0x0710) or none (0x0703); without exposed partitions the
// socket path is asked and has none either.
TEST(NvFlash, PartitionsAreFoundThroughThePortsThatExposeThem)
{
    {
        NvRun run(flash_host());
        qsu_device *holder = nullptr;
        EXPECT_FALSE(nv_exists(run.port(0), NV_PART_STATUS, 0));
        EXPECT_TRUE(nv_exists(run.port(0), NV_PART_STATUS, 0, &holder));
        EXPECT_EQ(holder, run.port(1));
        EXPECT_EQ(qsu_get_nv_device(run.port(0), NV_PART_MCFW, 0), run.port(0));
        EXPECT_EQ(qsu_get_nv_device(run.port(0), NV_PART_MCFW, 1), nullptr);
        qsu_device *opened = nullptr;
        nv_context *ctx = nv_open_ports(run.port(0), NV_PART_MCFW, 0, &opened, true);
        ASSERT_NE(ctx, nullptr);
        EXPECT_EQ(opened, run.port(1));
        EXPECT_STREQ(ctx->u.mtd.part_name, "eth1 qsc_mcfw:00");
        nv_close(ctx);
    }
    struct Case {
        const char *preset;
        nv_part_type kind;
        unsigned subtype;
        bool found;
    } cases[] = {
        {"alder-0710", NV_PART_BOOTROM, 0, true},  {"alder-0710", NV_PART_BOOTROM_CFG, 0, true},
        {"alder-0710", NV_PART_BOOTROM, 1, false}, {"alder-0710", NV_PART_MCFW, 0, false},
        {"alder", NV_PART_BOOTROM, 0, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.preset) + " kind " + std::to_string(c.kind) + " subtype " + std::to_string(c.subtype));
        lab::LabState state = flash_host(c.preset);
        state.adapters[0].partitions = {partition("a1-rom-00", NV_PART_BOOTROM, 0, 16 * BLOCK, BLOCK),
                                        partition("a1-rom-01", NV_PART_BOOTROM, 1, 16 * BLOCK, BLOCK),
                                        partition("a1-cfg-00", NV_PART_BOOTROM_CFG, 0, BLOCK, BLOCK),
                                        partition("a1-mcfw-00", NV_PART_MCFW, 0, BLOCK, BLOCK)};
        NvRun run(state);
        nv_context *ctx = nv_open(run.port(0), c.kind, c.subtype);
        EXPECT_EQ(ctx != nullptr, c.found);
        if (!ctx) {
            EXPECT_EQ(errno, ENOENT);
        }
        nv_close(ctx);
    }
    lab::LabState state = flash_host();
    state.adapters[0].partitions.clear(); // "/proc/mtd" holds its header alone
    NvRun run(state);
    EXPECT_EQ(nv_open(run.port(0), NV_PART_MCFW, 0), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

// Device nodes: a loadable module is loaded once, its nodes waited for on
// the virtual clock; without a device manager, after one full wait the
// run makes its own nodes under /var/lib/qsutils and never waits again.
TEST(NvFlash, ModulesAreLoadedAndNodesWaitedForOncePerRun)
{
    struct Case {
        const char *name;
        int node_delay_s;
        uint64_t first_open_us;
        std::vector<std::string> nodes_made;
    } cases[] = {
        {"nodes after 2 s", 2, 2000000, {}},
        {"no device manager", -1, 5000000, {"/var/lib/qsutils/dev_mtd0", "/var/lib/qsutils/dev_mtd2"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        lab::LabState state = flash_host("dogwood2", {});
        state.host.modules_available = {"mtdchar", "mtdblock"};
        state.host.mtd_node_delay_s = c.node_delay_s;
        NvRun run(state);
        const uint64_t start = run.now_us();
        nv_context *ctx = nv_open(run.port(0), NV_PART_MCFW, 0);
        ASSERT_NE(ctx, nullptr);
        const uint64_t first = run.now_us() - start;
        nv_close(ctx);
        ctx = nv_open(run.port(1), NV_PART_MCFW, 0);
        ASSERT_NE(ctx, nullptr);
        nv_close(ctx);
        EXPECT_EQ(first / 1000000, c.first_open_us / 1000000);
        EXPECT_EQ(run.now_us() - start, first) << "the second open waited";
        EXPECT_EQ(run.events("module loaded").size(), 1u);
        std::vector<std::string> made;
        for (const lab::DeviceNode &n : run.host().lab().state().nodes)
            if (n.major == 90)
                made.push_back(n.path);
        EXPECT_EQ(made, c.nodes_made);
    }
}

// Without mtdchar the block device serves once its module is loaded, unless
// the kernel's release is one whose mtdblock is known broken: then nothing
// is loaded and the advice comes once per run.
TEST(NvFlash, TheBlockDeviceServesOnKernelsWhereItWorks)
{
    const std::string advice =
        "This command requires either the 'mtdchar' or 'mtdblock' driver for\n"
        "access to flash memory on Duskhollow adapters.  The current kernel does\n"
        "not have the 'mtdchar' driver, but may have the 'mtdblock' driver.\n"
        "You may try to use the 'mtdblock' driver by running 'modprobe mtdblock'\n"
        "and then running this command again, but you MUST reboot when you have\n"
        "finished.\n";
    for (auto [release, usable] : {std::pair{"2.6.16.60", false}, {"2.6.27.52", false}, {"2.6.27.53", true},
                                   {"2.6.25", true}, {"3.10.0-1160.el7.x86_64", true}}) {
        SCOPED_TRACE(release);
        lab::LabState state = flash_host("dogwood2", {});
        state.host.modules_available = {"mtdblock"};
        state.host.kernel_release = release;
        NvRun run(state);
        testing::internal::CaptureStderr();
        for (int port : {0, 1}) {
            nv_context *ctx = nv_open(run.port(port), NV_PART_MCFW, 0);
            EXPECT_EQ(ctx != nullptr, usable);
            if (ctx) {
                EXPECT_TRUE(ctx->u.mtd.is_block);
            }
            nv_close(ctx);
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), usable ? "" : advice);
        EXPECT_EQ(run.events("module loaded: mtdblock").size(), usable ? 1u : 0u);
    }
}
