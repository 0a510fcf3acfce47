// The dynamic configuration against the lab's flash: qsupdate's own
// enumeration, grouping and NV layer run in-process, and what the open,
// the probe and the sync read and write is checked on the partition files.
#include "lib/utils/linux/dynamic_cfg.h"

#include <cerrno>
#include <cstdlib>

#include <gtest/gtest.h>

#include "lib/tlv/tlv_partition.h"
#include "lib/utils/byteorder.h"
#include "lib/utils/linux/nv.h"
#include "lib/utils/linux/qsu_device.h"
#include "lib/utils/linux/vpd.h"
#include "tests/lab/support/nv_run.h"

namespace {

constexpr uint32_t SIZE = 4096;
constexpr uint32_t MCFW_VERSION = 0x10060100, BOOTROM_VERSION = 0x10060300, BUNDLE_BOOTROM = 0x50A20300;

Bytes version_bytes(uint16_t a, uint16_t b, uint16_t c, uint16_t d)
{
    return {uint8_t(a), uint8_t(a >> 8), uint8_t(b), uint8_t(b >> 8), uint8_t(c), uint8_t(c >> 8), uint8_t(d), uint8_t(d >> 8)};
}

// A TLV partition of SIZE bytes holding the items.
Bytes tlv_contents(const std::vector<std::pair<uint32_t, Bytes>> &items)
{
    Bytes b(SIZE);
    tlv_init_dynamic_config_buf(b.data(), SIZE);
    nvram_partition_t p;
    tlv_init_partition_from_buffer(&p, b.data(), SIZE);
    for (const auto &[tag, value] : items)
        tlv_append_to_partition(&p, tag, value.data(), value.size());
    return b;
}

lab::Partition partition(const char *id, unsigned kind, Bytes contents, std::vector<unsigned> mtd_ports = {0, 1})
{
    lab::Partition p;
    p.id = id, p.kind = kind, p.size = static_cast<uint32_t>(contents.size()), p.erase_size = 1;
    p.mtd_all_ports = false, p.mtd_ports = std::move(mtd_ports);
    p.initial_contents = std::move(contents);
    return p;
}

lab::LabState cfg_host(const char *preset, std::vector<lab::Partition> partitions)
{
    lab::LabState state = lab_host(lab::HostKind::linux_host, {{preset, 2}});
    state.host.modules_loaded.push_back("mtdchar");
    state.host.mcdi_available = false;
    state.adapters[0].partitions = std::move(partitions);
    return state;
}

// Two ports of one adapter of the preset with the partitions given,
// enumerated and grouped.
struct CfgRun : NvRun {
    CfgRun(const char *preset, std::vector<lab::Partition> partitions, const nlohmann::json &faults = {})
        : NvRun(cfg_host(preset, std::move(partitions)), faults)
    {
        qsu_group_devices(port(0), 2);
    }
    unsigned reads(const std::string &id)
    {
        for (const lab::Partition &p : lab().state().adapters[0].partitions)
            if (p.id == id)
                return p.last_run.reads;
        return 0;
    }
};

firmware_version mcfw(dynamic_cfg_context *ctx) { return dynamic_cfg_get_version(ctx, IMAGE_TYPE_MCFW); }

} // namespace

// The probe and the open go through a sibling port when the port's own
// does not reach the partition; a partition no port can read is reported
// as corrupt by the probe and fails the open with the read's error, and one
// too small for an empty configuration fails with ENOSPC.
TEST(DynamicCfgLab, ProbeAndOpenFallBackToASibling)
{
    const nlohmann::json read_fails = {{{"target", "cfg"}, {"operation", "read"}, {"errno", "EIO"}}};
    const struct {
        const char *name;
        std::vector<unsigned> exposed;
        nlohmann::json faults;
        uint32_t size;
        int access, through; // through: the port named, -1 none
        int open_errno;
        std::string err = "";
    } cases[] = {
        {"own port", {0, 1}, {}, SIZE, 0, 0, 0},
        {"sibling only", {1}, {}, SIZE, ENOTSUP, 1, 0},
        {"no port", {}, {}, SIZE, DYNAMIC_CFG_UNREACHABLE, -1, ENOENT},
        {"reads fail", {0, 1}, read_fails, SIZE, ENODEV, 1, EIO,
         "Failed to read partition eth0 qsc_dynamic_cfg:00 offset 0 size 4\n"
         "Failed to read partition eth1 qsc_dynamic_cfg:00 offset 0 size 4\n"
         "Failed to read partition eth0 qsc_dynamic_cfg:00 offset 0 size 4096\n"},
        {"too small", {0, 1}, {}, 36, 0, 0, ENOSPC},
    };
    for (const auto &c : cases) {
        CfgRun run("dogwood", {partition("cfg", NV_PART_DYNAMIC_CFG, Bytes(c.size, 0xFF), c.exposed)}, c.faults);
        qsu_device none{}, *through = &none;
        testing::internal::CaptureStderr();
        EXPECT_EQ(dynamic_cfg_accessible(run.port(0), &through), c.access) << c.name;
        EXPECT_EQ(through, c.through < 0 ? &none : run.port(c.through)) << c.name;
        errno = 0;
        testing::internal::CaptureStdout();
        dynamic_cfg_context *ctx = dynamic_cfg_open(run.port(0), NV_PART_DYNAMIC_CFG);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(ctx ? 0 : errno, c.open_errno) << c.name;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err) << c.name;
        EXPECT_EQ(run.port(0)->dyn_context, ctx) << c.name;
        if (ctx) {
            EXPECT_EQ(out, "(Partition map: TLV cursor in broken state initially)\n") << c.name;
            EXPECT_EQ(mcfw(ctx).a, 0) << c.name;
            char family[4];
            EXPECT_EQ(dynamic_cfg_get_family(ctx, family, sizeof family), 1) << c.name;
            EXPECT_EQ(run.file("cfg"), Bytes(c.size, 0xFF)) << c.name; // rebuilt in memory only
        }
        dynamic_cfg_close(ctx);
    }
    // A Birch port keeps a configuration of its own: it never opens its sibling's.
    CfgRun birch("birch", {partition("cfg", NV_PART_DYNAMIC_CFG, Bytes(SIZE, 0xFF), {1})});
    errno = 0;
    EXPECT_EQ(dynamic_cfg_open(birch.port(0), NV_PART_DYNAMIC_CFG), nullptr);
    EXPECT_EQ(errno, ENOENT);
    // Factory defaults are a later generation's.
    CfgRun run("cedar", {partition("cfg", NV_PART_DYNAMIC_CFG_DEFAULTS, tlv_contents({}))});
    errno = EXDEV;
    EXPECT_EQ(dynamic_cfg_open(run.port(0), NV_PART_DYNAMIC_CFG_DEFAULTS), nullptr);
    EXPECT_EQ(errno, EXDEV);
}

// On BD20 boards the bundle metadata answers first, even with a null
// version; erased, damaged or missing metadata, or metadata without the
// kind, leaves the answer to the configuration, and so does metadata of a
// bundle no later than the one the configuration names: what it records
// besides was written since.
TEST(DynamicCfgLab, BundleMetadataAnswersFirst)
{
    Bytes damaged = tlv_contents({{BUNDLE_BOOTROM, version_bytes(7, 4, 1, 1003)}});
    damaged[28] ^= 1;
    const lab::Partition with_bundle =
        partition("meta", NV_PART_BUNDLE_METADATA,
                  tlv_contents({{BUNDLE_BOOTROM, version_bytes(7, 4, 1, 1003)},
                                {BUNDLE_BOOTROM - 0x300 + 0x1E00, version_bytes(7, 4, 3, 0)}}));
    const struct {
        const char *name;
        std::vector<lab::Partition> metadata;
        firmware_version bootrom;
        std::string out = "";
        Bytes recorded_bundle = {}; // the configuration's bundle version
    } cases[] = {
        {"erased", {partition("meta", NV_PART_BUNDLE_METADATA, Bytes(SIZE, 0xFF))}, {6, 2, 0, 1}},
        {"holds the kind", {partition("meta", NV_PART_BUNDLE_METADATA, tlv_contents({{BUNDLE_BOOTROM, version_bytes(7, 4, 1, 1003)}}))}, {7, 4, 1, 1003}},
        {"holds a null version", {partition("meta", NV_PART_BUNDLE_METADATA, tlv_contents({{BUNDLE_BOOTROM, Bytes(8)}}))}, {0, 0, 0, 0}},
        {"holds other kinds", {partition("meta", NV_PART_BUNDLE_METADATA, tlv_contents({{0x50A20100, version_bytes(1, 1, 1, 1)}}))}, {6, 2, 0, 1}},
        {"damaged", {partition("meta", NV_PART_BUNDLE_METADATA, damaged)}, {6, 2, 0, 1}, "(Dynamic configuration: checksum is incorrect)\n"},
        {"missing", {}, {6, 2, 0, 1}},
        {"of the bundle recorded", {with_bundle}, {6, 2, 0, 1}, "", version_bytes(7, 4, 3, 0)},
        {"of a later bundle", {with_bundle}, {7, 4, 1, 1003}, "", version_bytes(7, 4, 2, 9)},
        {"of an earlier bundle", {with_bundle}, {6, 2, 0, 1}, "", version_bytes(7, 5, 0, 0)},
    };
    for (const auto &c : cases) {
        std::vector<lab::Partition> parts = c.metadata;
        std::vector<std::pair<uint32_t, Bytes>> items = {{BOOTROM_VERSION, version_bytes(6, 2, 0, 1)}};
        if (!c.recorded_bundle.empty())
            items.emplace_back(BOOTROM_VERSION - 0x300 + 0x1E00, c.recorded_bundle);
        parts.push_back(partition("cfg", NV_PART_DYNAMIC_CFG, tlv_contents(items)));
        CfgRun run("dogwood2", parts);
        dynamic_cfg_context *ctx = dynamic_cfg_open(run.port(1), NV_PART_DYNAMIC_CFG);
        ASSERT_TRUE(ctx) << c.name;
        testing::internal::CaptureStdout();
        firmware_version v = dynamic_cfg_get_version(ctx, IMAGE_TYPE_BOOTROM);
        const unsigned metadata_reads = run.reads("meta");
        // The other port's lookups, and other kinds, use what the shared
        // part has read.
        dynamic_cfg_context *ctx0 = dynamic_cfg_open(run.port(0), NV_PART_DYNAMIC_CFG);
        firmware_version v0 = dynamic_cfg_get_version(ctx0, IMAGE_TYPE_BOOTROM);
        dynamic_cfg_get_version(ctx, IMAGE_TYPE_MCFW);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.substr(0, out.find('\n') + 1), c.out) << c.name;
        EXPECT_EQ(std::vector<int>({v.a, v.b, v.c, v.d}), std::vector<int>({c.bootrom.a, c.bootrom.b, c.bootrom.c, c.bootrom.d})) << c.name;
        EXPECT_EQ(std::vector<int>({v0.a, v0.b, v0.c, v0.d}), std::vector<int>({v.a, v.b, v.c, v.d})) << c.name;
        EXPECT_EQ(run.reads("meta"), metadata_reads) << c.name;
        EXPECT_EQ(metadata_reads > 0, !c.metadata.empty()) << c.name;
        dynamic_cfg_close(ctx0);
        dynamic_cfg_close(ctx);
    }
}
