// The NV layer through the management controller; what it was asked is read from the event log.
#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "lab/model/lab_faults.h"
#include "tests/lab/support/nv_run.h"

namespace {

// Every partition of the host reachable through the controller only.
lab::LabState mcdi_host(std::initializer_list<std::pair<const char *, unsigned>> adapters)
{
    lab::LabState state = lab_host(lab::HostKind::linux_host, adapters);
    for (lab::Adapter &a : state.adapters)
        for (lab::Partition &p : a.partitions)
            p.mtd_all_ports = false, p.mtd_ports.clear();
    return state;
}

// A dogwood2 whose controller firmware is 64 KiB of 4 KiB blocks, all bits programmed so every erase shows.
const char *const MCFW = "a1-mcfw-25";
constexpr unsigned MCFW_SUBTYPE = 37;
lab::LabState mcfw_host(uint32_t write_size = 0, uint32_t erase_size = 4096)
{
    lab::LabState state = mcdi_host({{"dogwood2", 1}});
    lab::Partition &p = partition_of(state, MCFW);
    p.size = 65536, p.erase_size = erase_size, p.mcdi_write_size = write_size;
    p.initial_contents.assign(65536, 0x00);
    return state;
}

const Strings UPDATES = {"MCDI update", "MCDI erase", "MCDI write", "MCDI read"};
// The lab's controller judges what it is given; a pattern is no image.
const std::string FINISHED = "MCDI update finish 0x100: unsigned image refused, status EIO: no whole image in flash";

std::string progress;
void note_progress(const char *status, int pc)
{
    progress += status[0] + std::to_string(pc) + " ";
}

} // namespace

// Chunks as the controller allows, erases to a block beyond, reads back; after the start every failure finishes.
TEST(NvMcdi, ChunksAsTheControllerAllowsAndAlwaysFinishes)
{
    const std::string start = "MCDI update start 0x100", erased = "MCDI erase 0x100: 0x0-0x1fff (2 blocks)";
    const nlohmann::json first_form_only = fault("*", "command", "0xEF21", "EOPNOTSUPP");
    struct Case {
        const char *name; uint32_t write_size, erase_size, image; bool full_erase; nlohmann::json faults;
        unsigned erased_to, writes, reads; // commands; or, when the write fails:
        int error; std::string message; Strings sent; // "%d" in the message: the descriptor
        std::string progress = "";
    } cases[] = {
        {"first form", 0, 4096, 2400, false, first_form_only, 8192, 10, 33, 0, "", {},
         "E63 E100 W10 W20 W30 W40 W50 W60 W70 W80 W90 W100 V0 "},
        {"write size 240, a block beyond", 240, 4096, 8160, false, first_form_only, 12288, 34, 49, 0, "", {},
         "E33 E66 E100 W11 W23 W35 W47 W58 W70 W82 W94 V0 "},
        {"write size 241, full erase", 241, 4096, 964, true, {}, 65536, 4, 261, 0, "", {},
         "E12 E25 E37 E50 E62 E75 E87 E100 W25 W50 W75 W100 V0 "},
        {"write size 2048", 2048, 4096, 2016, false, {}, 8192, 2, 33, 0, "", {}},
        {"whole partition", 0, 4096, 65536, false, first_form_only, 65536, 274, 261, 0, "", {}},
        {"no erase size", 0, 1, 300, false, {}, 65536, 2, 261, 0, "", {}, "E100 W80 W100 V0 "},
        {"too large", 0, 4096, 65537, false, {}, 0, 0, 0, ENOSPC, "", {}},
        {"start", 0, 4096, 100, false, fault("*", "mcdi", "0x38", "EBUSY"), 0, 0, 0, EBUSY,
         "Failed to prepare for NVRAM update: Device or resource busy\n", {start + ": EBUSY (injected)"}},
        {"second erase", 0, 4096, 5000, false, fault("*", "mcdi", "0x3B", "EIO", {{"occurrence", 2}}), 0, 0, 0, EIO,
         "Failed to erase NVRAM sector: Input/output error\n",
         {start, "MCDI erase 0x100: 0x0-0xfff (1 block)", "MCDI erase 0x100: EIO (injected)", FINISHED}},
        {"erase size", 0, 12288, 100, false, {}, 0, 0, 0, EINVAL,
         "Error. Attempting to erase a partition of size 65536,                  which is not a multiple of the "
         "erase size 12288\nFailed to erase NVRAM sector: Invalid argument\n", {start, FINISHED}},
        {"second write", 0, 4096, 500, false, fault("*", "mcdi", "0x3A", "ENOSPC", {{"occurrence", 2}}), 0, 0, 0, ENOSPC,
         "error 28 (No space left on device) doing nv-read MCDI ioctl on %d\n"
         "Failed to write NVRAM sector: No space left on device\n",
         {start, erased, "MCDI write 0x100: 240 bytes in 1 command", "MCDI write 0x100: ENOSPC (injected)", FINISHED}},
        {"second form write", 1024, 4096, 500, false, fault("*", "mcdi", "0x3A", "EROFS", {{"occurrence", 1}}), 0, 0, 0,
         EROFS, "error 30 (Read-only file system) doing nv-read MCDI ioctl on %d\n"
         "Failed to write NVRAM sector: Read-only file system\n",
         {start, erased, "MCDI write 0x100: EROFS (injected)", FINISHED}},
        {"driver refuses the second form", 1024, 4096, 500, false, first_form_only, 0, 0, 0, EOPNOTSUPP,
         "error 95 (Operation not supported) doing nv-read MCDI ioctl on %d\n"
         "Failed to write NVRAM sector: Operation not supported\n", {start, erased, FINISHED}},
        {"finish", 0, 4096, 100, false, fault("*", "mcdi", "0x3C", "EIO"), 0, 0, 0, EIO,
         "Failed to finish NVRAM update: Input/output error\n",
         {start, erased, "MCDI write 0x100: 100 bytes in 1 command", "MCDI update finish 0x100: EIO (injected)",
          "MCDI update 0x100 still open at the end of the run"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        NvRun run(mcfw_host(c.write_size, c.erase_size), c.faults);
        nv_context *ctx = nv_open(run.port(0), NV_PART_MCFW, MCFW_SUBTYPE);
        ASSERT_NE(ctx, nullptr) << strerror(errno);
        EXPECT_EQ(ctx->ops, &nv_ops_mcdi_sock);
        const Bytes image = pattern(c.image, 0x11);
        progress.clear();
        EXPECT_EQ(attempt([&] { return nv_write_all(ctx, image.data(), c.image, c.full_erase, note_progress); }),
                  Attempt(c.error ? -1 : 0, c.error, replaced(c.message, "%d", std::to_string(ctx->fd))));
        EXPECT_EQ(c.progress.empty() ? "" : progress, c.progress);
        nv_close(ctx);
        Bytes flash(65536, 0x00);
        std::fill_n(flash.begin(), c.erased_to, 0xFF);
        std::copy_n(image.begin(), c.erased_to ? c.image : 0, flash.begin());
        if (c.erased_to || c.sent.empty()) {
            EXPECT_EQ(run.file(MCFW), flash);
        }
        char erase[64], write[64], read[64];
        std::snprintf(erase, sizeof erase, "MCDI erase 0x100: 0x0-0x%x (%u blocks)", c.erased_to - 1, c.erased_to / 4096);
        std::snprintf(write, sizeof write, "MCDI write 0x100: %u bytes in %u commands", c.image, c.writes);
        std::snprintf(read, sizeof read, "MCDI read 0x100: %u bytes in %u commands", c.erased_to, c.reads);
        const Strings done = {start, c.erase_size == 1 ? "MCDI erase 0x100: 0x0-0xffff (whole EEPROM)" : erase, write,
                              FINISHED, read};
        EXPECT_EQ(logged(run.lab(), UPDATES), c.erased_to ? done : c.sent);
    }
    // Short answers to reads: each read goes on where the answer ended; an empty answer fails.
    for (uint32_t most : {100u, 0u}) {
        lab::LabState state = mcfw_host();
        partition_of(state, MCFW).mcdi_read_max = most;
        partition_of(state, MCFW).initial_contents = pattern(65536, 0x5A);
        NvRun run(state);
        nv_context *ctx = nv_open(run.port(0), NV_PART_MCFW, MCFW_SUBTYPE);
        ASSERT_NE(ctx, nullptr);
        Bytes back(300);
        const std::string failed = "error 5 (Input/output error) doing nv-read MCDI ioctl on " + std::to_string(ctx->fd);
        EXPECT_EQ(attempt([&] { return nv_read(ctx, back.data(), back.size(), 0); }),
                  most ? Attempt(300, 0, "") : Attempt(-1, EIO, failed + "\n"));
        EXPECT_EQ(back, most ? pattern(300, 0x5A) : Bytes(300));
        nv_close(ctx);
        EXPECT_EQ(logged(run.lab(), "MCDI read"),
                  Strings{most ? "MCDI read 0x100: 300 bytes in 3 commands" : "MCDI read 0x100: 0 bytes in 1 command"});
    }
}

// Each generation numbers partitions its own way; the subtype comes from Birch's board configuration, else metadata.
TEST(NvMcdi, OpensTheControllersPartitionTypeForThePort)
{
    struct Case {
        const char *preset; int port; nv_part_type kind; unsigned subtype; uint32_t type; // 0: none, not found
        char function = 0; // of the second port's PCI address, 0: as made
    } cases[] = {
        {"birch", 0, NV_PART_MCFW, 8, 1},           {"birch", 1, NV_PART_DYNAMIC_CFG, 0, 6},
        {"birch", 1, NV_PART_STATIC_CFG, 0, 4},     {"birch", 0, NV_PART_BOOTROM_CFG, 0, 8},
        {"birch", 1, NV_PART_PHY, 9, 11},           {"birch", 0, NV_PART_CPLD, 1, 17},
        {"birch", 0, NV_PART_UEFI, 0, 0},           {"cedar", 1, NV_PART_BOOTROM_CFG, 0, 0x601},
        {"cedar", 0, NV_PART_MUMFW, 2, 0xC00},      {"cedar", 0, NV_PART_PHY, 0, 0},
        {"dogwood", 1, NV_PART_BOOTROM_CFG, 0, 0x600}, {"dogwood", 0, NV_PART_STATUS, 0, 0x1600},
        {"dogwood", 0, NV_PART_FCFW, 2, 0xB02},     {"dogwood", 0, NV_PART_FPGA_BACKUP, 7, 0xB01},
        {"dogwood", 0, NV_PART_UEFI, 0, 0xD00},     {"dogwood2", 0, NV_PART_BUNDLE_METADATA, 0, 0x1E01},
        {"dogwood2", 0, NV_PART_BOOTROM_CFG_DEFAULTS, 0, 0x1C00},
        {"dogwood2", 0, NV_PART_DYNAMIC_CFG_DEFAULTS, 0, 0x1B00},
        {"dogwood2", 0, NV_PART_BUNDLE, 2, 0x1E00}, {"dogwood2", 0, NV_PART_FPGA, 2, 0xB00},
        {"birch", 1, NV_PART_DYNAMIC_CFG, 2, 0, '2'}, // Birch's per-port partitions stop at two ports
    };
    const std::string unknown = "MCDI information 0xffffffff: EINVAL (no partition of this type)";
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.preset << " port " << c.port << " kind " << c.kind);
        lab::LabState state = mcdi_host({{c.preset, 2}});
        if (c.function)
            state.adapters[0].ports[1].pci_addr.back() = c.function;
        NvRun run(state);
        nv_context *ctx = nullptr;
        EXPECT_EQ(attempt([&] { return (ctx = nv_open(run.port(c.port), c.kind, c.subtype)) ? 0 : -1; }),
                  Attempt(c.type ? 0 : -1, c.type ? 0 : ENOENT, ""));
        EXPECT_EQ(ctx ? ctx->u.mcdi.nv_image_type : 0, c.type);
        nv_close(ctx);
        char type[16];
        std::snprintf(type, sizeof type, "0x%x", c.type);
        const std::string subtype_asked =
            c.preset == std::string("birch") ? "MCDI board configuration" : "MCDI metadata " + std::string(type);
        EXPECT_EQ(logged(run.lab(), "MCDI"),
                  (c.type ? Strings{"MCDI information " + std::string(type), subtype_asked} : Strings{unknown}));
    }
    // The first generation is not asked, so that its driver's refusal cannot switch MCDI off for the others.
    NvRun mixed(mcdi_host({{"alder", 2}, {"alder-0710", 2}, {"dogwood2", 2}}));
    const unsigned long ioctls = mixed.lab().calls().ioctls;
    EXPECT_EQ(nv_open(mixed.port(0), NV_PART_BOOTROM, 0), nullptr);
    EXPECT_EQ(nv_open(mixed.port(2), NV_PART_BOOTROM, 0), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(mixed.lab().calls().ioctls, ioctls);
    nv_context *ctx = nv_open(mixed.port(4), NV_PART_BUNDLE_METADATA, 0);
    EXPECT_NE(ctx, nullptr);
    nv_close(ctx);
}

// Information and metadata failures: which are reported, which mean no partition; none switches MCDI off.
TEST(NvMcdi, InformationAndMetadataFailures)
{
    const std::string failed = "eth0: failed to get NVRAM information\n";
    struct Case {
        nv_part_type kind; const char *command;
        int rc;    // the controller's error; 0: it answers, perhaps cut short
        int error; // of the open, 0: opens
        std::string message; uint8_t cut = 0; // the answer's length, 0: whole
    } cases[] = {
        {NV_PART_MCFW, "0x52", 0, ENOENT, ""}, // the lab's subtype made 0x10025
        {NV_PART_MCFW, "0x37", 0, EIO, failed, 8}, {NV_PART_MCFW, "0x52", 0, EIO, failed, 8},
        {NV_PART_DYNAMIC_CFG, "0x52", 0, 0, "", 8},
        {NV_PART_DYNAMIC_CFG, "0x18", 0, ENOENT, "", 72 + 2 * 5}, // on Birch, without type 5
        {NV_PART_DYNAMIC_CFG, "0x52", EIO, 0, ""}, {NV_PART_MCFW, "0x52", EIO, EIO, failed},
        {NV_PART_MCFW, "0x52", EINVAL, ENOENT, ""}, {NV_PART_MCFW, "0x52", EPERM, EPERM, ""},
        {NV_PART_MCFW, "0x52", ENOENT, ENOENT, ""}, {NV_PART_MCFW, "0x52", EOPNOTSUPP, ENOENT, ""},
        {NV_PART_MCFW, "0x37", EIO, EIO, failed}, {NV_PART_MCFW, "0x37", EBUSY, EBUSY, failed},
        {NV_PART_MCFW, "0x37", EPERM, EPERM, ""},
        {NV_PART_DYNAMIC_CFG, "0x18", EIO, EIO, failed}, // on Birch
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.command) + " " + strerror(c.rc) + " kind " + std::to_string(c.kind));
        const unsigned code = static_cast<unsigned>(std::stoul(c.command, nullptr, 16));
        lab::LabState state = code == 0x18 ? mcdi_host({{"birch", 1}}) : mcfw_host();
        if (c.kind == NV_PART_MCFW && !c.rc && !c.cut)
            partition_of(state, MCFW).subtype = 0x10000 + MCFW_SUBTYPE;
        NvRun run(state, c.rc    ? fault("*", "mcdi", c.command, lab::errno_name(c.rc))
                         : c.cut ? fault("*", "mcdi", c.command, "", {{"answer_cut_after", c.cut}})
                                 : nlohmann::json());
        nv_context *ctx = nullptr;
        const unsigned subtype = c.kind == NV_PART_MCFW ? MCFW_SUBTYPE : 0;
        EXPECT_EQ(attempt([&] { return (ctx = nv_open(run.port(0), c.kind, subtype)) ? 0 : -1; }),
                  Attempt(c.error ? -1 : 0, c.error, c.message));
        nv_close(ctx);
        EXPECT_TRUE(nv_use_mcdi_request);
    }
}

// Partition answers are kept per port and run, forgotten after a write; no pass-through is not asked again.
TEST(NvMcdi, TheRunRemembersWhatTheControllerSaid)
{
    {
        NvRun run(mcfw_host());
        for (unsigned subtype : {MCFW_SUBTYPE, MCFW_SUBTYPE + 1, MCFW_SUBTYPE})
            EXPECT_EQ(nv_exists(run.port(0), NV_PART_MCFW, subtype), subtype == MCFW_SUBTYPE);
        nv_context *ctx = nv_open(run.port(0), NV_PART_MCFW, MCFW_SUBTYPE);
        ASSERT_NE(ctx, nullptr);
        partition_of(run.lab().state(), MCFW).subtype = MCFW_SUBTYPE + 1;
        const Bytes image = pattern(1000, 0x11);
        EXPECT_EQ(nv_write_all(ctx, image.data(), 1000, false, nullptr), 0);
        nv_close(ctx);
        EXPECT_FALSE(nv_exists(run.port(0), NV_PART_MCFW, MCFW_SUBTYPE));
        EXPECT_TRUE(nv_exists(run.port(0), NV_PART_MCFW, MCFW_SUBTYPE + 1));
        const Strings asked = {"MCDI information 0x100", "MCDI metadata 0x100"};
        EXPECT_EQ(logged(run.lab(), asked), (Strings{asked[0], asked[1], asked[0], asked[1]}));
    }
    lab::LabState state = mcfw_host();
    state.host.mcdi_available = false;
    NvRun run(state);
    const unsigned long ioctls = run.lab().calls().ioctls;
    testing::internal::CaptureStderr();
    EXPECT_EQ(nv_open(run.port(0), NV_PART_MCFW, MCFW_SUBTYPE), nullptr);
    EXPECT_FALSE(nv_use_mcdi_request);
    run.lab().state().host.mcdi_available = true;
    EXPECT_FALSE(nv_exists(run.port(0), NV_PART_MCFW, MCFW_SUBTYPE));
    EXPECT_EQ(nv_open(run.port(0), NV_PART_MCFW, MCFW_SUBTYPE), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(run.lab().calls().ioctls, ioctls + 1);
}
