// The NV layer against the lab's flash: qsupdate's own enumeration and MTD
// backend run in-process, and what lands in the partition files, in the
// event log and on standard error is compared exactly.
#include <cerrno>
#include <cstdlib>

#include <gtest/gtest.h>

#include "lib/utils/linux/nv.h"
#include "lib/utils/linux/qsu_device.h"
#include "tests/lab/support/lab_fixture.h"
#include "tests/lab/support/nv_run.h"

namespace {

using Strings = std::vector<std::string>;
constexpr uint32_t BLOCK = 4096;
const std::string ADVICE = "This command requires either the 'mtdchar' or 'mtdblock' driver for\n"
                           "access to flash memory on Duskhollow adapters.  The current kernel does\n"
                           "not have the 'mtdchar' driver, but may have the 'mtdblock' driver.\n"
                           "You may try to use the 'mtdblock' driver by running 'modprobe mtdblock'\n"
                           "and then running this command again, but you MUST reboot when you have\n"
                           "finished.\n";

lab::Partition partition(const char *id, unsigned kind, unsigned subtype, uint32_t size, uint32_t erase_size)
{
    lab::Partition p;
    p.id = id, p.kind = kind, p.subtype = subtype, p.size = size, p.erase_size = erase_size;
    p.initial_contents.assign(size, 0x00); // all bits programmed: any erase shows
    return p;
}

// One adapter of the preset carrying a four-block controller firmware
// partition and a 256-byte EEPROM: mtd0 and mtd1 on port 0, mtd2 and mtd3
// on port 1.
lab::LabState flash_host(const char *preset = "dogwood2", Strings loaded = {"mtdchar"}, unsigned ports = 2)
{
    lab::LabState state = lab_host(lab::HostKind::linux_host, {{preset, ports}});
    state.host.modules_loaded.insert(state.host.modules_loaded.end(), loaded.begin(), loaded.end());
    state.host.modules_available.clear();
    state.adapters[0].partitions = {partition("a1-mcfw-00", 0, 0, 4 * BLOCK, BLOCK),
                                    partition("a1-exp_rom_cfg-00", 4, 0, 256, 1)};
    return state;
}

unsigned chunks(size_t length)
{
    return static_cast<unsigned>((length + BLOCK - 1) / BLOCK);
}

nlohmann::json fault(const char *target, const char *operation, int occurrence, nlohmann::json how)
{
    how.update({{"target", target}, {"operation", operation}, {"occurrence", occurrence}});
    return nlohmann::json::array({how});
}

} // namespace

// What an image write erases, as the partition file and its activity show
// it: the blocks up to L + E - 1 (the whole partition with a full erase),
// nothing on an EEPROM; then the image in 4096-byte writes, and the whole
// range read back.  Through the block device, which cannot erase, erased
// bytes are written over that range instead.  A second image over the
// first comes out exact, which NOR flash only allows when its blocks were
// erased in between, and reads back through the context the write
// reopened.  Failures say what failed and leave the flash as far as the
// write got; the partition looked up again after the write must still be
// there.
TEST(NvFlash, WritesEraseWhatTheyCoverAndFailuresLeaveTheRest)
{
    const std::string erase_failed = "Failed to erase partition eth0 qsc_mcfw:00\n",
                      write_failed = "Failed to write partition eth0 qsc_mcfw:00\n";
    struct Case {
        const char *name;
        nv_part_type kind;
        bool block_device, full_erase;
        size_t image, erased_to, written; // the image's bytes on the flash
        nlohmann::json faults;
        int error = 0;
        std::string message = "";
    } cases[] = {
        {"one block of four", NV_PART_MCFW, false, false, BLOCK, 2 * BLOCK, BLOCK, {}},
        {"one byte into a block", NV_PART_MCFW, false, false, BLOCK + 1, 2 * BLOCK, BLOCK + 1, {}},
        {"two blocks less a byte", NV_PART_MCFW, false, false, 2 * BLOCK - 1, 3 * BLOCK, 2 * BLOCK - 1, {}},
        {"full erase", NV_PART_MCFW, false, true, BLOCK, 4 * BLOCK, BLOCK, {}},
        {"the whole partition", NV_PART_MCFW, false, false, 4 * BLOCK, 4 * BLOCK, 4 * BLOCK, {}},
        {"chunks and a rest", NV_PART_MCFW, false, false, 2 * BLOCK + 100, 4 * BLOCK, 2 * BLOCK + 100, {}},
        {"EEPROM", NV_PART_BOOTROM_CFG, false, false, 100, 0, 100, {}},
        {"block device", NV_PART_MCFW, true, true, BLOCK, 4 * BLOCK, BLOCK, {}},
        {"block device, shorter image", NV_PART_MCFW, true, false, BLOCK + 1, 2 * BLOCK, BLOCK + 1, {}},
        {"too large", NV_PART_MCFW, false, false, 4 * BLOCK + 1, 0, 0, {}, ENOSPC},
        {"second erase", NV_PART_MCFW, false, false, 2 * BLOCK, BLOCK, 0,
         fault("a1-mcfw-00", "erase", 2, {{"errno", "EIO"}}), EIO, erase_failed},
        {"write cut short", NV_PART_MCFW, false, false, 2 * BLOCK, 3 * BLOCK, BLOCK + 100,
         fault("a1-mcfw-00", "write", 2, {{"write_cut_after", 100}}), EIO, write_failed},
        {"write fails", NV_PART_MCFW, false, false, 2 * BLOCK, 3 * BLOCK, 0,
         fault("/dev/mtd0", "write", 1, {{"errno", "EROFS"}}), EROFS, write_failed},
        {"looked up again", NV_PART_MCFW, false, false, 2 * BLOCK, 3 * BLOCK, 2 * BLOCK,
         fault("/proc/mtd", "open", 2, {{"errno", "EACCES"}}), EACCES},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = c.kind == NV_PART_MCFW ? "a1-mcfw-00" : "a1-exp_rom_cfg-00";
        NvRun run(flash_host("dogwood2", {c.block_device ? "mtdblock" : "mtdchar"}), c.faults);
        nv_context *ctx = nv_open(run.port(0), c.kind, 0);
        ASSERT_NE(ctx, nullptr) << strerror(errno);
        const size_t size = nv_part_size(ctx);
        for (uint8_t seed : {0x01, 0xFE}) { // complementary bits the second time
            Bytes image = pattern(c.image, seed);
            testing::internal::CaptureStderr();
            errno = 0;
            EXPECT_EQ(nv_write_all(ctx, image.data(), static_cast<uint32_t>(image.size()), c.full_erase, nullptr),
                      c.error ? -1 : 0);
            EXPECT_EQ(c.error ? errno : 0, c.error);
            EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
            Bytes flash(size, 0x00); // erased, then written, as far as each got
            std::fill_n(flash.begin(), c.erased_to, 0xFF);
            std::copy_n(image.begin(), c.written, flash.begin());
            EXPECT_EQ(run.file(id), flash);
            if (c.error)
                break;
            Bytes back(size);
            EXPECT_EQ(nv_read_all(ctx, back.data()), 0);
            EXPECT_EQ(back, run.file(id));
        }
        nv_close(ctx);
        const lab::PartitionActivity &did =
            run.lab().state().adapters[0].partitions[c.kind == NV_PART_MCFW ? 0 : 1].last_run;
        if (!c.error) {
            // A block device writes its pages back in one run at the flush.
            const size_t checked = c.kind == NV_PART_MCFW ? c.erased_to : c.image;
            const uint64_t erased = c.block_device ? 0 : c.erased_to;
            EXPECT_EQ(std::vector<uint64_t>({did.erases, did.bytes_erased, did.writes, did.bytes_written, did.reads}),
                      std::vector<uint64_t>({2 * chunks(erased), 2 * erased,
                                             c.block_device ? 2 : 2 * chunks(c.image),
                                             2 * (c.block_device ? c.erased_to : c.image),
                                             2 * (chunks(size) + chunks(checked))}));
        }
    }
}

// Reads go in 4096-byte chunks and stop at the partition's end; a failed
// one fails the whole read and says where it got to, except on a status
// partition, whose callers probe it and say what a failure means.
TEST(NvFlash, ReadsStopAtTheEndAndFailuresSayWhere)
{
    struct Case {
        nv_part_type kind;
        uint32_t offset, length;
        int fault; // the failing read, from 1; 0: none
        ssize_t result;
        unsigned reads; // of the flash
        const char *message;
        bool whole = false; // the whole partition, through nv_read_all
    } cases[] = {
        {NV_PART_MCFW, 100, 10000, 0, 10000, 3, ""},
        {NV_PART_MCFW, 4 * BLOCK - 100, BLOCK, 0, 100, 1, ""},
        {NV_PART_MCFW, 3 * BLOCK, 2 * BLOCK, 0, BLOCK, 1, ""},
        {NV_PART_MCFW, 0, 10000, 2, -1, 1, "Failed to read partition eth0 qsc_mcfw:00 offset 4096 size 4096\n"},
        {NV_PART_MCFW, 50, 10000, 3, -1, 2, "Failed to read partition eth0 qsc_mcfw:00 offset 8192 size 1808\n"},
        {NV_PART_STATUS, 0, BLOCK, 1, -1, 0, "", true},
    };
    for (const Case &c : cases) {
        lab::LabState state = flash_host();
        state.adapters[0].partitions[0].initial_contents = pattern(4 * BLOCK, 0x5A);
        state.adapters[0].partitions.push_back(partition("a1-status-00", NV_PART_STATUS, 0, BLOCK, BLOCK));
        const char *id = c.kind == NV_PART_MCFW ? "a1-mcfw-00" : "a1-status-00";
        NvRun run(state, c.fault ? fault(id, "read", c.fault, {{"errno", "EIO"}}) : nlohmann::json());
        nv_context *ctx = nv_open(run.port(0), c.kind, 0);
        ASSERT_NE(ctx, nullptr);
        Bytes buf(c.length);
        testing::internal::CaptureStderr();
        errno = 0;
        EXPECT_EQ(c.whole ? nv_read_all(ctx, buf.data()) : nv_read(ctx, buf.data(), c.length, c.offset), c.result);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
        EXPECT_EQ(errno, c.result < 0 ? EIO : 0);
        Bytes flash = run.file(id);
        EXPECT_TRUE(c.result <= 0 || std::equal(buf.begin(), buf.begin() + c.result, flash.begin() + c.offset));
        nv_close(ctx);
        EXPECT_EQ(run.lab().state().adapters[0].partitions[c.kind == NV_PART_MCFW ? 0 : 2].last_run.reads, c.reads);
    }
}

// Device nodes over three opens of a run (port 0's partition, port 1's,
// port 0's again): a missing module is loaded once and its nodes waited for
// on the virtual clock; after one full wait for nodes that never come, the
// run makes its own under /var/lib/qsutils and never waits again; the block
// driver serves when mtdchar cannot, but not on a kernel whose mtdblock
// loses data (2.6.16 and earlier, 2.6.26 to 2.6.27.52, or one that does not
// say), and the advice then comes once a run.  Nodes that no MTD driver
// answers for mean the partition is not on this path (ENOENT), so that the
// controller is asked.
TEST(NvFlash, OpensLoadModulesAndWaitForOrMakeNodesOncePerRun)
{
    const std::string own = "/var/lib/qsutils/dev_mtd";
    const Strings block_made = {own + "2 90:4", own + "block2 31:2", own + "0 90:0", own + "block0 31:0"},
                  lost_made = {own + "block0 31:0", own + "2 90:4", own + "block2 31:2", own + "0 90:0"};
    const nlohmann::json refused = {{{"target", "/dev/mtd0"}, {"operation", "open"}, {"errno", "EACCES"}},
                                    {{"target", "/dev/mtd2"}, {"operation", "open"}, {"errno", "EACCES"}}};
    const Strings both = {"mtdchar", "mtdblock"}, block = {"mtdblock"}, chr = {"mtdchar"};
    struct Case {
        Strings loaded, available;
        int node_delay_s;
        const char *release;
        unsigned euid;
        nlohmann::json faults;
        int err; // of every open; 0: they all open
        unsigned first_wait_s;
        Strings loaded_after, made;
    } cases[] = {
        {chr, {}, 0, "6.1.0", 0, {}, 0, 0, chr, {}},
        {{}, both, 2, "6.1.0", 0, {}, 0, 2, chr, {}},
        {{}, both, -1, "6.1.0", 0, {}, 0, 5, chr, {own + "0 90:0", own + "2 90:4"}},
        {{}, both, -1, "6.1.0", 1000, {}, EACCES, 5, chr, {}}, // no nodes can be made
        {chr, {}, 0, "6.1.0", 0, refused, EACCES, 0, chr, {}},
        {{}, block, 1, "6.1.0", 0, {}, 0, 1, block, block_made},
        {{}, {}, 0, "6.1.0", 0, {}, ENOENT, 0, {}, block_made}, // no MTD driver at all
        {{}, block, 0, "2.6.16.60", 0, {}, ENOENT, 0, {}, lost_made},
        {{}, block, 0, "2.6.17", 0, {}, 0, 1, block, block_made},
        {{}, block, 0, "2.6.25", 0, {}, 0, 1, block, block_made},
        {{}, block, 0, "2.6.26", 0, {}, ENOENT, 0, {}, lost_made},
        {{}, block, 0, "2.6.27.52", 0, {}, ENOENT, 0, {}, lost_made},
        {{}, block, 0, "2.6.27.53", 0, {}, 0, 1, block, block_made},
        {{}, block, 0, "3.10.0-1160.el7.x86_64", 0, {}, 0, 1, block, block_made},
        {{}, block, 0, "3", 0, {}, ENOENT, 0, {}, lost_made},
        {{}, block, 0, "", 0, {}, ENOENT, 0, {}, lost_made},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.release << ", " << c.available.size() << " available, node delay "
                                        << c.node_delay_s << ", euid " << c.euid << ", faults " << c.faults);
        lab::LabState state = flash_host("dogwood2", c.loaded);
        state.host.modules_available = c.available;
        state.host.mtd_node_delay_s = c.node_delay_s;
        state.host.kernel_release = c.release;
        state.host.euid = c.euid;
        NvRun run(state, c.faults);
        testing::internal::CaptureStderr();
        const uint64_t start = run.lab().events().now_us();
        for (int port : {0, 1, 0}) {
            errno = 0;
            nv_context *ctx = nv_open(run.port(port), NV_PART_MCFW, 0);
            EXPECT_EQ(ctx ? 0 : errno, c.err) << port;
            EXPECT_EQ(ctx && ctx->u.mtd.is_block, c.available == block && !c.err);
            nv_close(ctx);
            EXPECT_EQ(run.lab().events().now_us() - start, c.first_wait_s * 1000000ull) << port;
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err == ENOENT && c.available == block ? ADVICE : "");
        Strings made;
        for (const lab::DeviceNode &n : run.lab().state().nodes)
            made.push_back(n.path + " " + std::to_string(n.major) + ":" + std::to_string(n.minor));
        EXPECT_EQ(made, c.made);
        const Strings &loaded = run.lab().state().host.modules_loaded;
        EXPECT_EQ(Strings(loaded.begin() + 1, loaded.end()), c.loaded_after); // after the driver's own
    }
}

// Which ports reach which partitions: nv_open_ports tries the port it is
// given unless told to ignore it, then the adapter's other ports in PCI
// order; qsu_get_nv_device never ignores it.
TEST(NvFlash, PartitionsAreFoundThroughThePortsThatExposeThem)
{
    struct Case {
        std::vector<unsigned> exposed; // ports whose MTD devices show the partition
        int dev;
        bool ignore_dev;
        int opened; // -1: none
    } cases[] = {
        {{0, 1, 2}, 1, false, 1}, {{0, 1, 2}, 1, true, 0}, {{1, 2}, 0, true, 1}, {{0, 2}, 2, true, 0},
        {{1}, 1, true, -1},       {{}, 0, false, -1},      {{2}, 0, false, 2},
    };
    for (const Case &c : cases) {
        lab::LabState state = flash_host("dogwood2", {"mtdchar"}, 3);
        state.adapters[0].partitions = {partition("a1-fpga-01", NV_PART_FPGA, 1, BLOCK, BLOCK)};
        state.adapters[0].partitions[0].mtd_all_ports = false;
        state.adapters[0].partitions[0].mtd_ports = c.exposed;
        NvRun run(state);
        qsu_device none{}, *dev = run.port(c.dev), *opened = &none;
        qsu_device *expected = c.opened >= 0 ? run.port(c.opened) : nullptr;
        errno = 0;
        nv_context *ctx = nv_open_ports(dev, NV_PART_FPGA, 1, &opened, c.ignore_dev);
        EXPECT_EQ(ctx != nullptr, expected != nullptr) << c.dev;
        EXPECT_EQ(ctx ? 0 : errno, ctx ? 0 : ENOENT);
        EXPECT_EQ(opened, expected ? expected : &none) << c.dev;
        EXPECT_EQ(ctx ? std::string(ctx->u.mtd.part_name) : "",
                  expected ? expected->netif_name + std::string(" qsc_fpga:01") : "");
        nv_close(ctx);
        bool dev_exposed = std::find(c.exposed.begin(), c.exposed.end(), unsigned(c.dev)) != c.exposed.end();
        EXPECT_EQ(qsu_get_nv_device(dev, NV_PART_FPGA, 1), dev_exposed ? dev : expected) << c.dev;
        // A partition listed for the port exists without a device opened;
        // with a port to report, any port of the adapter counts.
        EXPECT_EQ(nv_exists(dev, NV_PART_FPGA, 1), dev_exposed) << c.dev;
        qsu_device *through = &none;
        EXPECT_EQ(nv_exists(dev, NV_PART_FPGA, 1, &through), dev_exposed || expected) << c.dev;
        EXPECT_EQ(through, dev_exposed ? dev : expected);
    }
}

// The first generation's boards expose two partitions under names of their
// own (0x0710) or none at all (0x0703); a "/proc/mtd" of its header alone
// lists none.
TEST(NvFlash, FirstGenerationBoardsExposeTheirBootRomOnly)
{
    struct Case {
        const char *preset;
        nv_part_type kind;
        unsigned subtype;
        const char *name; // null: not found
    } cases[] = {
        {"alder-0710", NV_PART_BOOTROM, 0, "eth0 qsc_flash_bootrom"},
        {"alder-0710", NV_PART_BOOTROM_CFG, 0, "eth0 qsc_bootconfig"},
        {"alder-0710", NV_PART_BOOTROM, 1, nullptr},
        {"alder-0710", NV_PART_MCFW, 0, nullptr},
        {"alder", NV_PART_BOOTROM, 0, nullptr},
        {"dogwood2", NV_PART_MCFW, 0, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.preset << " kind " << c.kind << " subtype " << c.subtype);
        lab::LabState state = lab_host(lab::HostKind::linux_host, {{c.preset, 1}});
        if (std::string(c.preset) == "dogwood2")
            state.adapters[0].partitions.clear();
        NvRun run(state);
        errno = 0;
        nv_context *ctx = nv_open(run.port(0), c.kind, c.subtype);
        EXPECT_EQ(ctx ? 0 : errno, c.name ? 0 : ENOENT);
        EXPECT_STREQ(ctx ? ctx->u.mtd.part_name : nullptr, c.name);
        nv_close(ctx);
    }
}
