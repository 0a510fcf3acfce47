// The NV layer's MTD backend in-process against the lab's flash.
#include <cerrno>

#include <gtest/gtest.h>

#include "tests/lab/support/nv_run.h"

namespace {

constexpr uint32_t BLOCK = 4096;

// A four-block controller firmware and a 256-byte EEPROM: mtd0, mtd1 on port 0, mtd2, mtd3 on port 1.
lab::LabState flash_host(Strings loaded = {"mtdchar"}, unsigned ports = 2)
{
    lab::LabState state = lab_host(lab::HostKind::linux_host, {{"dogwood2", ports}});
    state.host.modules_loaded.insert(state.host.modules_loaded.end(), loaded.begin(), loaded.end());
    state.host.modules_available.clear();
    state.adapters[0].partitions = {partition("a1-mcfw-00", 0, 0, 4 * BLOCK, BLOCK),
                                    partition("a1-exp_rom_cfg-00", 4, 0, 256, 1)};
    return state;
}

} // namespace

// A write erases up to L + E - 1 (all on a full erase, none on an EEPROM) and reads back; failures leave what was done.
TEST(NvFlash, WritesEraseWhatTheyCoverAndFailuresLeaveTheRest)
{
    const std::string erase_failed = "Failed to erase partition eth0 qsc_mcfw:00\n",
                      write_failed = "Failed to write partition eth0 qsc_mcfw:00\n";
    struct Case {
        const char *name; bool eeprom, block_device, full_erase;
        size_t image, erased_to, written; // the image's bytes on the flash
        nlohmann::json faults = {}; int error = 0; std::string message = "";
    } cases[] = {
        {"one block of four", false, false, false, BLOCK, 2 * BLOCK, BLOCK},
        {"one byte into a block", false, false, false, BLOCK + 1, 2 * BLOCK, BLOCK + 1},
        {"two blocks less a byte", false, false, false, 2 * BLOCK - 1, 3 * BLOCK, 2 * BLOCK - 1},
        {"full erase", false, false, true, BLOCK, 4 * BLOCK, BLOCK},
        {"the whole partition", false, false, false, 4 * BLOCK, 4 * BLOCK, 4 * BLOCK},
        {"chunks and a rest", false, false, false, 2 * BLOCK + 100, 4 * BLOCK, 2 * BLOCK + 100},
        {"EEPROM", true, false, false, 100, 0, 100},
        {"block device", false, true, true, BLOCK, 4 * BLOCK, BLOCK},
        {"block device, shorter image", false, true, false, BLOCK + 1, 2 * BLOCK, BLOCK + 1},
        {"too large", false, false, false, 4 * BLOCK + 1, 0, 0, {}, ENOSPC},
        {"second erase", false, false, false, 2 * BLOCK, BLOCK, 0, fault("a1-mcfw-00", "erase", "", "EIO", {{"occurrence", 2}}),
         EIO, erase_failed},
        {"write cut short", false, false, false, 2 * BLOCK, 3 * BLOCK, BLOCK + 100,
         fault("a1-mcfw-00", "write", "", "", {{"occurrence", 2}, {"write_cut_after", 100}}), EIO, write_failed},
        {"write fails", false, false, false, 2 * BLOCK, 3 * BLOCK, 0,
         fault("/dev/mtd0", "write", "", "EROFS", {{"occurrence", 1}}), EROFS, write_failed},
        // The partition is looked up again after the write; it must still be there.
        {"looked up again", false, false, false, 2 * BLOCK, 3 * BLOCK, 2 * BLOCK,
         fault("/proc/mtd", "open", "", "EACCES", {{"occurrence", 2}}), EACCES},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = c.eeprom ? "a1-exp_rom_cfg-00" : "a1-mcfw-00";
        NvRun run(flash_host({c.block_device ? "mtdblock" : "mtdchar"}), c.faults);
        nv_context *ctx = nv_open(run.port(0), c.eeprom ? NV_PART_BOOTROM_CFG : NV_PART_MCFW, 0);
        ASSERT_NE(ctx, nullptr) << strerror(errno);
        const size_t size = nv_part_size(ctx);
        for (uint8_t seed : {0x01, 0xFE}) {
            Bytes image = pattern(c.image, seed);
            EXPECT_EQ(attempt([&] { return nv_write_all(ctx, image.data(), uint32_t(c.image), c.full_erase, nullptr); }),
                      Attempt(c.error ? -1 : 0, c.error, c.message));
            Bytes flash(size, 0x00);
            std::fill_n(flash.begin(), c.erased_to, 0xFF);
            std::copy_n(image.begin(), c.written, flash.begin());
            EXPECT_EQ(run.file(id), flash);
            if (c.error)
                break;
            Bytes back(size);
            EXPECT_EQ(nv_read_all(ctx, back.data()), 0);
            EXPECT_EQ(back, flash);
        }
        nv_close(ctx);
        const lab::PartitionActivity &did = partition_of(run.lab().state(), id).last_run;
        auto blocks = [](uint64_t length) { return (length + BLOCK - 1) / BLOCK; };
        if (!c.error) {
            // A block device writes its pages back in one run at the flush.
            const uint64_t erased = c.block_device ? 0 : c.erased_to, checked = c.eeprom ? c.image : c.erased_to;
            EXPECT_EQ(std::vector<uint64_t>({did.erases, did.bytes_erased, did.writes, did.bytes_written, did.reads}),
                      std::vector<uint64_t>({2 * blocks(erased), 2 * erased, c.block_device ? 2 : 2 * blocks(c.image),
                                             2 * (c.block_device ? c.erased_to : c.image),
                                             2 * (blocks(size) + blocks(checked))}));
        }
    }
}

// Reads go in 4096-byte chunks up to the partition's end; a failed one says where it got to.
TEST(NvFlash, ReadsStopAtTheEndAndFailuresSayWhere)
{
    struct Case {
        uint32_t offset, length, fault; // the failing read, from 1; 0: none
        ssize_t result; unsigned reads; const char *message;
    } cases[] = {
        {100, 10000, 0, 10000, 3, ""},
        {4 * BLOCK - 100, BLOCK, 0, 100, 1, ""},
        {3 * BLOCK, 2 * BLOCK, 0, BLOCK, 1, ""},
        {0, 10000, 2, -1, 1, "Failed to read partition eth0 qsc_mcfw:00 offset 4096 size 4096\n"},
        {50, 10000, 3, -1, 2, "Failed to read partition eth0 qsc_mcfw:00 offset 8192 size 1808\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.offset);
        lab::LabState state = flash_host();
        state.adapters[0].partitions[0].initial_contents = pattern(4 * BLOCK, 0x5A);
        NvRun run(state, c.fault ? fault("a1-mcfw-00", "read", "", "EIO", {{"occurrence", c.fault}}) : nlohmann::json());
        nv_context *ctx = nv_open(run.port(0), NV_PART_MCFW, 0);
        ASSERT_NE(ctx, nullptr);
        Bytes buf(c.length);
        EXPECT_EQ(attempt([&] { return nv_read(ctx, buf.data(), c.length, c.offset); }),
                  Attempt(c.result, c.result < 0 ? EIO : 0, c.message));
        const Bytes flash = pattern(4 * BLOCK, 0x5A);
        EXPECT_TRUE(c.result < 0 || std::equal(buf.begin(), buf.begin() + c.result, flash.begin() + c.offset));
        nv_close(ctx);
        EXPECT_EQ(partition_of(run.lab().state(), "a1-mcfw-00").last_run.reads, c.reads);
    }
}

// Over opens of ports 0, 1, 0: modules loaded and nodes waited for or made once; mtdblock only where it is safe.
TEST(NvFlash, OpensLoadModulesAndWaitForOrMakeNodesOncePerRun)
{
    const std::string own = "/var/lib/qsutils/dev_mtd",
                      advice = "This command requires either the 'mtdchar' or 'mtdblock' driver for\n"
                               "access to flash memory on Duskhollow adapters.  The current kernel does\n"
                               "not have the 'mtdchar' driver, but may have the 'mtdblock' driver.\n"
                               "You may try to use the 'mtdblock' driver by running 'modprobe mtdblock'\n"
                               "and then running this command again, but you MUST reboot when you have\n"
                               "finished.\n";
    const Strings block_made = {own + "2 90:4", own + "block2 31:2", own + "0 90:0", own + "block0 31:0"},
                  lost_made = {own + "block0 31:0", own + "2 90:4", own + "block2 31:2", own + "0 90:0"},
                  both = {"mtdchar", "mtdblock"}, block = {"mtdblock"}, chr = {"mtdchar"};
    const nlohmann::json refused = {fault("/dev/mtd0", "open", "", "EACCES"), fault("/dev/mtd2", "open", "", "EACCES")};
    struct Case {
        Strings loaded, available; int node_delay_s; const char *release; unsigned euid; nlohmann::json faults;
        int err; // of every open
        unsigned first_wait_s; Strings loaded_after, made;
    } cases[] = {
        {chr, {}, 0, "6.1.0", 0, {}, 0, 0, chr, {}}, {{}, both, 2, "6.1.0", 0, {}, 0, 2, chr, {}},
        {{}, both, -1, "6.1.0", 0, {}, 0, 5, chr, {own + "0 90:0", own + "2 90:4"}},
        {{}, both, -1, "6.1.0", 1000, {}, EACCES, 5, chr, {}}, // no nodes can be made
        {chr, {}, 0, "6.1.0", 0, refused, EACCES, 0, chr, {}}, {{}, block, 1, "6.1.0", 0, {}, 0, 1, block, block_made},
        {{}, {}, 0, "6.1.0", 0, {}, ENOENT, 0, {}, block_made}, // no MTD driver at all
        {{}, block, 0, "2.6.16.60", 0, {}, ENOENT, 0, {}, lost_made},
        {{}, block, 0, "2.6.17", 0, {}, 0, 1, block, block_made},
        {{}, block, 0, "2.6.25", 0, {}, 0, 1, block, block_made},
        {{}, block, 0, "2.6.26", 0, {}, ENOENT, 0, {}, lost_made},
        {{}, block, 0, "2.6.27.52", 0, {}, ENOENT, 0, {}, lost_made},
        {{}, block, 0, "2.6.27.53", 0, {}, 0, 1, block, block_made},
        {{}, block, 0, "3.10.0-1160.el7.x86_64", 0, {}, 0, 1, block, block_made},
        {{}, block, 0, "3", 0, {}, ENOENT, 0, {}, lost_made}, {{}, block, 0, "", 0, {}, ENOENT, 0, {}, lost_made},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(&c - cases);
        lab::LabState state = flash_host(c.loaded);
        state.host.modules_available = c.available;
        state.host.mtd_node_delay_s = c.node_delay_s;
        state.host.kernel_release = c.release;
        state.host.euid = c.euid;
        NvRun run(state, c.faults);
        testing::internal::CaptureStderr();
        const uint64_t start = run.lab().events().now_us();
        run.lab().faults().start_trace();
        for (int port : {0, 1, 0}) {
            errno = 0;
            nv_context *ctx = nv_open(run.port(port), NV_PART_MCFW, 0);
            EXPECT_EQ(ctx ? 0 : errno, c.err) << port;
            EXPECT_EQ(ctx && ctx->u.mtd.is_block, c.available == block && !c.err);
            nv_close(ctx);
            EXPECT_EQ(run.lab().events().now_us() - start, c.first_wait_s * 1000000ull) << port;
        }
        // Only a module loaded or a node made can change what it lists.
        const auto listed = std::ranges::count_if(run.lab().faults().trace(), [](const lab::TracedOperation &op) {
            return op.target == "/proc/mtd" && op.operation == "open";
        });
        EXPECT_TRUE(c.loaded != c.loaded_after || !c.made.empty() || listed == 1) << "/proc/mtd read " << listed;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err == ENOENT && c.available == block ? advice : "");
        Strings made;
        for (const lab::DeviceNode &n : run.lab().state().nodes)
            made.push_back(n.path + " " + std::to_string(n.major) + ":" + std::to_string(n.minor));
        EXPECT_EQ(made, c.made);
        const Strings &loaded = run.lab().state().host.modules_loaded;
        EXPECT_EQ(Strings(loaded.begin() + 1, loaded.end()), c.loaded_after); // after the driver's own
    }
}

// The given port unless ignored, then the others in PCI order; nv_exists counts any port only with one to report.
TEST(NvFlash, PartitionsAreFoundThroughThePortsThatExposeThemUnderTheirNames)
{
    struct Case {
        std::vector<unsigned> exposed; int dev, ignore_dev, opened; // -1: none
    } cases[] = {
        {{0, 1, 2}, 1, false, 1}, {{0, 1, 2}, 1, true, 0}, {{1, 2}, 0, true, 1}, {{0, 2}, 2, true, 0},
        {{1}, 1, true, -1},       {{}, 0, false, -1},      {{2}, 0, false, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(&c - cases);
        lab::LabState state = flash_host({"mtdchar"}, 3);
        state.adapters[0].partitions = {partition("a1-fpga-01", NV_PART_FPGA, 1, BLOCK, BLOCK)};
        state.adapters[0].partitions[0].mtd_all_ports = false;
        state.adapters[0].partitions[0].mtd_ports = c.exposed;
        NvRun run(state);
        qsu_device none{}, *dev = run.port(c.dev), *opened = &none, *through = &none;
        qsu_device *expected = c.opened >= 0 ? run.port(c.opened) : nullptr;
        errno = 0;
        nv_context *ctx = nv_open_ports(dev, NV_PART_FPGA, 1, &opened, c.ignore_dev != 0);
        EXPECT_EQ(ctx ? 0 : errno, expected ? 0 : ENOENT);
        EXPECT_EQ(opened, expected ? expected : &none);
        EXPECT_EQ(ctx ? std::string(ctx->u.mtd.part_name) : "",
                  expected ? expected->netif_name + std::string(" qsc_fpga:01") : "");
        nv_close(ctx);
        const bool own = std::find(c.exposed.begin(), c.exposed.end(), unsigned(c.dev)) != c.exposed.end();
        EXPECT_EQ(qsu_get_nv_device(dev, NV_PART_FPGA, 1), own ? dev : expected);
        EXPECT_EQ(nv_exists(dev, NV_PART_FPGA, 1), own);
        EXPECT_EQ(nv_exists(dev, NV_PART_FPGA, 1, &through), own || expected);
        EXPECT_EQ(through, own ? dev : expected);
    }
    // First-generation boards show two partitions under names of their own (0x0710), or none (0x0703).
    NvRun alder(lab_host(lab::HostKind::linux_host, {{"alder-0710", 1}, {"alder", 1}}));
    for (auto [port, kind, subtype, name] :
         {std::tuple{0, NV_PART_BOOTROM, 0u, "eth0 qsc_flash_bootrom"},
          {0, NV_PART_BOOTROM_CFG, 0u, "eth0 qsc_bootconfig"},
          {0, NV_PART_BOOTROM, 1u, ""}, {0, NV_PART_MCFW, 0u, ""}, {1, NV_PART_BOOTROM, 0u, ""}}) {
        errno = 0;
        nv_context *ctx = nv_open(alder.port(port), kind, subtype);
        EXPECT_EQ(ctx ? ctx->u.mtd.part_name : "", std::string(name)) << kind;
        EXPECT_EQ(ctx ? 0 : errno, *name ? 0 : ENOENT) << kind;
        nv_close(ctx);
    }
}
