// The BD20 layout and the keyword rules over buffers in memory, where the lab cannot reach the corners.
#include "lib/utils/linux/dynamic_cfg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "lib/tlv/tlv_partition.h"
#include "lib/utils/byteorder.h"
#include "lib/utils/linux/dynamic_cfg_bd20.h"
#include "lib/utils/linux/dynamic_cfg_internal.h"
#include "lib/utils/linux/qsu_device.h"
#include "lib/utils/linux/vpd.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Items = std::vector<std::pair<uint32_t, Bytes>>;
constexpr uint32_t CEDAR = 0x1B7E0903, DOGWOOD = 0x1B7E0A03;
constexpr uint32_t MCFW_VERSION = 0x10060100, MCFW_SUBTYPE = 0x00050100;
constexpr uint32_t CEDAR_VPD0 = 0x10030000, GLOBAL_VPD = 0x10200000;
const Bytes kTemplate(vpd_dynamic_init, vpd_dynamic_init + VPD_DYNAMIC_INIT_LEN);

// A dynamic-configuration segment of exactly its own length, stored at `generation`.
Bytes segment(const Items &items, uint32_t generation = 2)
{
    Bytes b(1024);
    tlv_init_dynamic_config_buf(b.data(), static_cast<uint32_t>(b.size()));
    nvram_partition_t p;
    tlv_init_partition_from_buffer(&p, b.data(), b.size());
    for (const auto &[tag, value] : items)
        EXPECT_EQ(tlv_append_to_partition(&p, tag, value.data(), value.size()), 0);
    b.resize(load_le32(&b[16]));
    EXPECT_EQ(dynamic_cfg_set_generation(b.data(), b.size(), generation - 1), 0);
    return b;
}

Bytes flash(std::vector<Bytes> segments, size_t size)
{
    Bytes out;
    for (const Bytes &s : segments)
        out.insert(out.end(), s.begin(), s.end());
    out.resize(size, 0xFF);
    return out;
}

Bytes version_bytes(uint16_t a, uint16_t b, uint16_t c, uint16_t d)
{
    return {uint8_t(a), uint8_t(a >> 8), uint8_t(b), uint8_t(b >> 8), uint8_t(c), uint8_t(c >> 8), uint8_t(d), uint8_t(d >> 8)};
}

// The value of the tag in the segment at `offset`, or "none".
std::string item(Bytes &b, uint32_t tag, size_t offset = 0)
{
    nvram_partition_t p;
    if (tlv_init_partition_from_buffer(&p, b.data() + offset, b.size() - offset) != 0)
        return "invalid";
    if (tlv_find(&p.tlv_cursor, tag) != TLV_OK)
        return "none";
    return std::string(reinterpret_cast<char *>(tlv_value(&p.tlv_cursor)), tlv_length(&p.tlv_cursor));
}
std::string str(const Bytes &b) { return {b.begin(), b.end()}; }

// A port over a part in memory, opened as the open leaves it.
struct Adapter {
    static constexpr size_t guard = 8; // bytes past the partition that nothing may touch
    Bytes bytes;
    qsu_device dev{};
    dynamic_cfg_part part{};
    dynamic_cfg_context ctx{};

    Adapter(Bytes contents, uint32_t device_id, uint32_t subsystem = 0x1B7E0001) : bytes(std::move(contents))
    {
        dev.pci_device_id = device_id, dev.pci_subsystem_id = subsystem;
        std::strcpy(dev.serial_number, "QS1");
        qsu_group_devices(&dev, 1);
        part.is_bd20 = true;
        part.buffer_size = bytes.size();
        bytes.resize(bytes.size() + guard, 0xA5);
        part.buffer = bytes.data();
    }
    Adapter(const Adapter &) = delete; // the context points into it
    int prepare() { return prepare_dynamic_config(&part); }
    // The context as the open leaves it, or (`attach` false) as the part is.
    dynamic_cfg_context *open(bool attach = true)
    {
        ctx = {&dev, attach ? nullptr : &part};
        if (attach)
            attach_dynamic_config(&ctx, &part);
        return &ctx;
    }
    uint32_t generation() { return tlv_get_partition_generation(bytes.data()); }
    bool guard_intact()
    {
        return std::all_of(bytes.end() - static_cast<long>(guard), bytes.end(), [](uint8_t b) { return b == 0xA5; });
    }
    std::string get(dynamic_cfg_context *ctx, char k1, char k2)
    {
        char buf[64];
        errno = 0;
        int n = dynamic_cfg_get_string(ctx, k1, k2, buf, sizeof buf);
        return n < 0 ? "errno " + std::to_string(errno) : buf;
    }
};

} // namespace

// Damaged or erased configurations are rebuilt above the old generation; too small fails, no room leaves no record.
TEST(Bd20DynamicConfig, OpenRebuildsWhatDoesNotValidate)
{
    Bytes damaged = flash({segment({{MCFW_VERSION, version_bytes(1, 2, 3, 4)}}, 5)}, 4096);
    damaged[28] ^= 1;
    Bytes sound = flash({segment({{CEDAR_VPD0, kTemplate}, {MCFW_VERSION, version_bytes(1, 2, 3, 4)}}, 5)}, 4096);
    const struct {
        const char *name;
        Bytes contents;
        int prepared;
        uint32_t opened_gen;
        std::string message, mcfw;
    } cases[] = {
        {"damaged", damaged, 0, 8, "(Dynamic configuration: checksum is incorrect)\n", "none"},
        {"erased", Bytes(4096, 0xFF), 0, 3, "(Partition map: TLV cursor in broken state initially)\n", "none"},
        {"sound", sound, 0, 5, "", str(version_bytes(1, 2, 3, 4))},
        {"no room for the record", Bytes(40, 0xFF), 0, 2, "(Partition map: TLV cursor in broken state initially)\n", "none"},
        {"too small", Bytes(39, 0xFF), -1, 0, "", ""},
    };
    for (const auto &c : cases) {
        Adapter a(c.contents, CEDAR);
        testing::internal::CaptureStdout();
        errno = 0;
        EXPECT_EQ(a.prepare(), c.prepared) << c.name;
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.substr(0, out.find('\n') + 1), c.message) << c.name;
        if (c.prepared != 0) {
            EXPECT_EQ(errno, ENOSPC);
            EXPECT_EQ(Bytes(a.bytes.begin(), a.bytes.begin() + 39), c.contents) << c.name;
            continue;
        }
        dynamic_cfg_context *ctx = a.open();
        EXPECT_EQ(a.generation(), c.opened_gen) << c.name;
        EXPECT_EQ(item(a.bytes, MCFW_VERSION), c.mcfw) << c.name;
        bool has_room = a.part.buffer_size > 40;
        EXPECT_EQ(item(a.bytes, CEDAR_VPD0), has_room ? str(kTemplate) : "none") << c.name;
        EXPECT_EQ(a.get(ctx, 'V', 'D'), has_room ? "" : "errno 2") << c.name;
        EXPECT_EQ(dynamic_cfg_set_string(ctx, 'V', '0', "1.0"), has_room ? 0 : -1) << c.name;
        EXPECT_EQ(a.get(ctx, 'V', '0'), has_room ? "1.0" : "errno 2") << c.name;
        uint32_t before_sync = a.generation();
        EXPECT_EQ(dynamic_cfg_sync(ctx, nullptr), 0) << c.name;
        EXPECT_EQ(a.generation(), before_sync + 2) << c.name;
        EXPECT_TRUE(a.guard_intact()) << c.name;
        if (!has_room) {
            errno = 0;
            EXPECT_EQ(dynamic_cfg_set_string(ctx, 'V', '0', "1.0"), -1);
            EXPECT_EQ(errno, ENOSPC);
        }
    }
    Bytes erased(64, 0xFF);
    testing::internal::CaptureStdout();
    EXPECT_EQ(dynamic_cfg_set_generation(erased.data(), erased.size(), 7), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "(Partition map: TLV cursor in broken state initially)\n");
    EXPECT_EQ(erased, Bytes(64, 0xFF));
}

// Versions go into every segment; a refused first segment fails the write, a refused later one ends the chain.
TEST(Bd20DynamicConfig, SetVersionWalksTheSegments)
{
    const Bytes v1 = version_bytes(1, 1, 1, 1), v2 = version_bytes(2, 2, 2, 2), v9 = version_bytes(9, 8, 7, 6);
    const Bytes first = segment({{MCFW_VERSION, v1}}), second = segment({{MCFW_VERSION, v2}});
    Bytes too_long = flash({first}, 4096), not_partition = too_long, damaged = too_long, bad_second = flash({first, second}, 4096);
    store_le32(&too_long[16], 4100);
    store_le32(&not_partition[0], 0x12345678);
    damaged[28] ^= 1;
    bad_second[first.size() + 28] ^= 1;
    // A second segment claiming 4 bytes more than is left once the first has grown by its subtype item.
    Bytes second_past_end = flash({first, second}, first.size() + second.size() + 12);
    store_le32(&second_past_end[first.size() + 16], static_cast<uint32_t>(second.size() + 4));
    // Room for exactly the version and subtype items.
    Bytes exact = flash({segment({{GLOBAL_VPD, kTemplate}})}, segment({{GLOBAL_VPD, kTemplate}}).size() + 28);
    const struct {
        const char *name;
        Bytes contents;
        int rc, err;
        bool changed;
        std::string second_mcfw = "invalid";
    } cases[] = {
        {"one segment", flash({first}, 4096), 0, 0, true},
        {"two segments", flash({first, second}, 4096), 0, 0, true, str(v9)},
        {"first too long", too_long, ENOSPC, EXDEV, false},
        {"first not a partition", not_partition, EINVAL, EXDEV, false},
        {"first damaged", damaged, -1, ENOENT, false},
        {"second damaged", bad_second, 0, 0, true, "invalid"},
        {"second past the end", second_past_end, 0, 0, true, "invalid"},
        {"grown to the end", exact, ENOSPC, EXDEV, true},
        {"no room", flash({segment({})}, 44), -1, ENOSPC, false},
    };
    for (const auto &c : cases) {
        Adapter a(c.contents, DOGWOOD);
        errno = EXDEV;
        testing::internal::CaptureStdout();
        EXPECT_EQ(bd20_dynamic_cfg_set_version(a.open(false), IMAGE_TYPE_MCFW, 7, {9, 8, 7, 6}, true), c.rc) << c.name;
        if (c.err != 0) {
            EXPECT_EQ(errno, c.err) << c.name;
        }
        EXPECT_EQ(item(a.bytes, MCFW_VERSION) == str(v9), c.changed) << c.name;
        if (c.changed)
            EXPECT_EQ(item(a.bytes, MCFW_SUBTYPE), str({7, 0, 0, 0})) << c.name;
        else
            EXPECT_EQ(Bytes(a.bytes.begin(), a.bytes.begin() + c.contents.size()), c.contents) << c.name;
        size_t second_at = load_le32(&a.bytes[16]);
        if (c.changed && second_at < a.part.buffer_size) {
            EXPECT_EQ(item(a.bytes, MCFW_VERSION, second_at), c.second_mcfw) << c.name;
        }
        EXPECT_TRUE(a.guard_intact()) << c.name;
        testing::internal::GetCapturedStdout();
    }
    // Reads take the first segment; no subtype asked, none written; kinds these boards do not carry, nothing.
    Adapter a(flash({first, second}, 4096), CEDAR);
    EXPECT_EQ(bd20_dynamic_cfg_get_version(a.open(), IMAGE_TYPE_MCFW).a, 1);
    EXPECT_EQ(bd20_dynamic_cfg_set_version(&a.ctx, IMAGE_TYPE_BOOTROM, 3, {4, 0, 0, 1}, false), 0);
    EXPECT_EQ(item(a.bytes, 0x10060300, load_le32(&a.bytes[16])), str(version_bytes(4, 0, 0, 1)));
    EXPECT_EQ(item(a.bytes, 0x00050300), "none");
    EXPECT_TRUE(version_is_null(bd20_dynamic_cfg_get_version(&a.ctx, IMAGE_TYPE_PHY)));
    const Bytes before = a.bytes;
    errno = 0;
    EXPECT_EQ(bd20_dynamic_cfg_set_version(&a.ctx, IMAGE_TYPE_CPLD, 1, {1, 0, 0, 0}, true), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(a.bytes, before);
}

// OEM version strings only for their own subsystem vendors; a null text deletes.
TEST(Bd20DynamicConfig, KeywordRulesBySubsystem)
{
    const std::string long_text(20, '9'), too_long(256, 'x');
    const struct {
        uint32_t subsystem;
        const char *v1, *v3, *v6, *v0;
        int family_fails; // result of a family the record refuses
    } cases[] = {
        {0x103C1234, "2.6", "4.5", "6.2", "1.0.0", 1},
        {0x103C80AB, "2.6", "4.5", "6.2", nullptr, -1},
        {0x10141234, long_text.c_str(), nullptr, nullptr, "1.0.0", 1},
        {0x1B7E0001, nullptr, nullptr, nullptr, "1.0.0", 1},
    };
    for (const auto &c : cases) {
        Adapter a(flash({segment({{GLOBAL_VPD, kTemplate}})}, 4096), DOGWOOD, c.subsystem);
        qsu_device *dev = &a.dev;
        dynamic_cfg_context *ctx = a.open();
        EXPECT_EQ(dynamic_cfg_set_uefi_version(dev, ctx, "2.6"), 0);
        EXPECT_EQ(dynamic_cfg_set_bootrom_version(dev, ctx, "6.2"), 0);
        EXPECT_EQ(dynamic_cfg_set_oem_mcfw_version(dev, ctx, c.subsystem >> 16 == 0x1014 ? long_text.c_str() : "4.5"), 0);
        EXPECT_EQ(dynamic_cfg_set_family(dev, ctx, "1.0.0"), 0);
        auto expect = [&](const char *key, const char *want) {
            EXPECT_EQ(a.get(ctx, key[0], key[1]), want ? want : "errno 2") << std::hex << c.subsystem << " " << key;
        };
        expect("V1", c.v1), expect("V3", c.v3), expect("V6", c.v6), expect("V0", c.v0), expect("VD", "1.0.0");
        char small[4];
        EXPECT_EQ(dynamic_cfg_get_family(ctx, small, sizeof small), 5);
        EXPECT_STREQ(small, "1.0");
        EXPECT_EQ(dynamic_cfg_set_family(dev, ctx, too_long.c_str()), c.family_fails);
        EXPECT_EQ(dynamic_cfg_set_family(dev, ctx, nullptr), 0);
        EXPECT_EQ(dynamic_cfg_set_uefi_version(dev, ctx, nullptr), 0);
        expect("V0", nullptr), expect("VD", nullptr), expect("V1", c.subsystem >> 16 == 0x1014 ? c.v1 : nullptr);
    }
    // Longer than the vendor's 16-character fields: refused, the old text kept.
    Adapter bounded(flash({segment({})}, 4096), DOGWOOD, 0x103C1234);
    dynamic_cfg_context *ctx = bounded.open();
    ASSERT_EQ(dynamic_cfg_set_bootrom_version(&bounded.dev, ctx, "65535.65535.6553"), 0);
    errno = 0;
    EXPECT_EQ(dynamic_cfg_set_bootrom_version(&bounded.dev, ctx, "65535.65535.65535"), -1); // one past
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(bounded.get(ctx, 'V', '6'), "65535.65535.6553");
}

// Reads truncate but report the full length; a damaged record is replaced, a refused keyword changes nothing.
TEST(Bd20DynamicConfig, StringsTruncateAndRefusalsChangeNothing)
{
    Bytes bad_record = kTemplate;
    bad_record[10] ^= 1;
    Adapter a(flash({segment({{GLOBAL_VPD, bad_record}})}, 4096), DOGWOOD);
    dynamic_cfg_context &ctx = *a.open(false);
    ASSERT_EQ(dynamic_cfg_set_string(&ctx, 'V', '1', "1.2.3.4"), 0);
    Bytes want = kTemplate;
    want.resize(22);
    ASSERT_EQ(vpd_set(want.data(), 22, 'V', '1', "1.2.3.4", 7), 0);
    EXPECT_EQ(item(a.bytes, GLOBAL_VPD), str(want));
    nvram_partition_t p; // the damaged item was replaced, not left before the new one
    ASSERT_EQ(tlv_init_partition_from_buffer(&p, a.bytes.data(), a.bytes.size()), 0);
    int records = 0;
    for (; tlv_tag(&p.tlv_cursor) != TLV_TAG_END; tlv_advance(&p.tlv_cursor))
        records += tlv_tag(&p.tlv_cursor) == GLOBAL_VPD;
    EXPECT_EQ(records, 1);
    char buf[4];
    EXPECT_EQ(dynamic_cfg_get_string(&ctx, 'V', '1', buf, sizeof buf), 7);
    EXPECT_STREQ(buf, "1.2");
    const Bytes before = a.bytes;
    EXPECT_EQ(dynamic_cfg_set_string(&ctx, 'V', '2', std::string(256, 'x').c_str()), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(a.bytes, before);
}
