// The dynamic configuration on the lab's flash through qsupdate's own enumeration and NV layer.
#include "lib/utils/linux/dynamic_cfg.h"

#include <cerrno>

#include <gtest/gtest.h>

#include "lib/tlv/tlv_partition.h"
#include "tests/lab/support/nv_run.h"

namespace {

constexpr uint32_t SIZE = 4096, BOOTROM_VERSION = 0x10060300, BUNDLE_BOOTROM = 0x50A20300,
                   BUNDLE_OF_BOOTROM = BOOTROM_VERSION - 0x300 + 0x1E00;
using Items = std::vector<std::pair<uint32_t, Bytes>>;

Bytes version(uint16_t a, uint16_t b, uint16_t c, uint16_t d)
{
    return le_words({uint32_t(a | b << 16), uint32_t(c | d << 16)});
}

// A TLV partition of SIZE bytes holding the items.
Bytes tlv(const Items &items)
{
    Bytes b(SIZE);
    tlv_init_dynamic_config_buf(b.data(), SIZE);
    nvram_partition_t p;
    tlv_init_partition_from_buffer(&p, b.data(), SIZE);
    for (const auto &[tag, value] : items)
        tlv_append_to_partition(&p, tag, value.data(), value.size());
    return b;
}

lab::Partition partition(const char *id, unsigned kind, Bytes contents)
{
    lab::Partition p = ::partition(id, kind, 0, uint32_t(contents.size()), 1);
    p.initial_contents = std::move(contents);
    return p;
}

// Two ports of one adapter of the preset, MTD only, enumerated and grouped.
struct CfgRun : NvRun {
    static lab::LabState host(const char *preset, std::vector<lab::Partition> partitions)
    {
        lab::LabState state = lab_host(lab::HostKind::linux_host, {{preset, 2}});
        state.host.modules_loaded.push_back("mtdchar");
        state.host.mcdi_available = false;
        state.adapters[0].partitions = std::move(partitions);
        return state;
    }
    CfgRun(const char *preset, std::vector<lab::Partition> partitions) : NvRun(host(preset, std::move(partitions)))
    {
        qsu_group_devices(port(0), 2);
    }
};

} // namespace

// An erased configuration is rebuilt in memory only; factory defaults are refused, errno untouched.
TEST(DynamicCfgLab, ErasedIsRebuiltInMemoryAndDefaultsAreLaterOnly)
{
    CfgRun run("dogwood", {partition("cfg", NV_PART_DYNAMIC_CFG, Bytes(SIZE, 0xFF))});
    testing::internal::CaptureStdout();
    dynamic_cfg_context *ctx = dynamic_cfg_open(run.port(0), NV_PART_DYNAMIC_CFG);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "(Partition map: TLV cursor in broken state initially)\n");
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(run.port(0)->dyn_context, ctx);
    EXPECT_EQ(dynamic_cfg_get_version(ctx, IMAGE_TYPE_MCFW).a, 0);
    char family[4];
    EXPECT_EQ(dynamic_cfg_get_family(ctx, family, sizeof family), 1);
    dynamic_cfg_close(ctx);
    EXPECT_EQ(run.file("cfg"), Bytes(SIZE, 0xFF));

    CfgRun cedar("cedar", {partition("cfg", NV_PART_DYNAMIC_CFG_DEFAULTS, tlv({}))});
    errno = EXDEV;
    EXPECT_EQ(dynamic_cfg_open(cedar.port(0), NV_PART_DYNAMIC_CFG_DEFAULTS), nullptr);
    EXPECT_EQ(errno, EXDEV);
}

// On BD20 boards usable metadata of a later bundle than the recorded one answers before the configuration.
TEST(DynamicCfgLab, BundleMetadataAnswersFirst)
{
    Bytes damaged = tlv({{BUNDLE_BOOTROM, version(7, 4, 1, 1003)}});
    damaged[28] ^= 1;
    const Bytes own = tlv({{BUNDLE_BOOTROM, version(7, 4, 1, 1003)}}),
                with_bundle = tlv({{BUNDLE_BOOTROM, version(7, 4, 1, 1003)}, {0x50A21E00, version(7, 4, 3, 0)}});
    const Bytes installed = version(6, 2, 0, 1), from_metadata = version(7, 4, 1, 1003);
    const struct {
        const char *name; Bytes metadata; // empty: no partition
        Bytes bootrom; std::string out = ""; Bytes recorded_bundle = {};
    } cases[] = {
        {"erased", Bytes(SIZE, 0xFF), installed},
        {"holds the kind", own, from_metadata},
        {"holds a null version", tlv({{BUNDLE_BOOTROM, Bytes(8)}}), Bytes(8)},
        {"holds other kinds", tlv({{0x50A20100, version(1, 1, 1, 1)}}), installed},
        {"damaged", damaged, installed, "(Dynamic configuration: checksum is incorrect)\n"},
        {"missing", {}, installed},
        {"of the bundle recorded", with_bundle, installed, "", version(7, 4, 3, 0)},
        {"of a later bundle", with_bundle, from_metadata, "", version(7, 4, 2, 9)},
        {"of an earlier bundle", with_bundle, installed, "", version(7, 5, 0, 0)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Items items = {{BOOTROM_VERSION, installed}};
        if (!c.recorded_bundle.empty())
            items.emplace_back(BUNDLE_OF_BOOTROM, c.recorded_bundle);
        std::vector<lab::Partition> parts = {partition("cfg", NV_PART_DYNAMIC_CFG, tlv(items))};
        if (!c.metadata.empty())
            parts.push_back(partition("meta", NV_PART_BUNDLE_METADATA, c.metadata));
        CfgRun run("dogwood2", parts);
        dynamic_cfg_context *ctx = dynamic_cfg_open(run.port(1), NV_PART_DYNAMIC_CFG);
        ASSERT_TRUE(ctx);
        testing::internal::CaptureStdout();
        const firmware_version v = dynamic_cfg_get_version(ctx, IMAGE_TYPE_BOOTROM);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.substr(0, out.find('\n') + 1), c.out);
        EXPECT_EQ(version(v.a, v.b, v.c, v.d), c.bootrom);
        dynamic_cfg_close(ctx);
    }
}
