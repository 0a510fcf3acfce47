// The BD20 layout and the keyword rules over buffers in memory, where the lab cannot reach the corners.
#include "lib/utils/linux/dynamic_cfg.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <tuple>
#include <vector>

#include "lib/utils/linux/dynamic_cfg_bd20.h"
#include "lib/utils/linux/vpd.h"
#include "tests/unit/support/dynamic_cfg_port.h"
#include "tests/unit/support/tlv_model.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Port = DynamicCfgPort;
constexpr uint32_t CEDAR = 0x1B7E0903, DOGWOOD = 0x1B7E0A03;
constexpr uint32_t MCFW_VERSION = 0x10060100, MCFW_SUBTYPE = 0x00050100;
constexpr uint32_t CEDAR_VPD0 = 0x10030000, GLOBAL_VPD = 0x10200000;
const Bytes kTemplate(vpd_dynamic_init, vpd_dynamic_init + VPD_DYNAMIC_INIT_LEN);

// Segments back to back, then erased flash up to `size` bytes.
Bytes flash(std::vector<Bytes> segments, size_t size)
{
    Bytes out;
    for (const Bytes &s : segments)
        out.insert(out.end(), s.begin(), s.end());
    out.resize(size, 0xFF);
    return out;
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

std::string get(dynamic_cfg_context *ctx, char k1, char k2)
{
    char buf[64];
    errno = 0;
    int n = dynamic_cfg_get_string(ctx, k1, k2, buf, sizeof buf);
    return n < 0 ? "errno " + std::to_string(errno) : buf;
}

} // namespace

// Damaged or erased configurations are rebuilt above the old generation; too small fails, no room leaves no record.
TEST(Bd20DynamicConfig, OpenRebuildsWhatDoesNotValidate)
{
    const Bytes v1234 = {1, 0, 2, 0, 3, 0, 4, 0}; // versions are four 16-bit fields
    Bytes damaged = partition_image({{MCFW_VERSION, v1234}}, 5, 4096);
    damaged[28] ^= 1;
    const std::string broken = "(Partition map: TLV cursor in broken state initially)\n";
    const struct { const char *name; Bytes contents; int prepared; uint32_t opened_gen; std::string message, mcfw; }
    cases[] = {
        {"damaged", damaged, 0, 8, "(Dynamic configuration: checksum is incorrect)\n", "none"},
        {"erased", Bytes(4096, 0xFF), 0, 3, broken, "none"},
        {"sound", partition_image({{CEDAR_VPD0, kTemplate}, {MCFW_VERSION, v1234}}, 5, 4096), 0, 5, "", str(v1234)},
        {"no room for the record", Bytes(40, 0xFF), 0, 2, broken, "none"},
        {"too small", Bytes(39, 0xFF), -1, 0, "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Port a(c.contents, CEDAR);
        testing::internal::CaptureStdout();
        errno = 0;
        EXPECT_EQ(a.open(), c.prepared);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.substr(0, out.find('\n') + 1), c.message);
        if (c.prepared != 0) {
            EXPECT_EQ(std::pair(errno, a.contents()), std::pair(ENOSPC, c.contents));
            continue;
        }
        const bool has_room = a.part.buffer_size > 40;
        const std::string absent = has_room ? "" : "errno 2";
        EXPECT_EQ((std::tuple{tlv_get_partition_generation(a.bytes.data()), item(a.bytes, MCFW_VERSION),
                              item(a.bytes, CEDAR_VPD0), get(&a.ctx, 'V', 'D'),
                              dynamic_cfg_set_string(&a.ctx, 'V', '0', "1.0"), get(&a.ctx, 'V', '0')}),
                  (std::tuple{c.opened_gen, c.mcfw, has_room ? str(kTemplate) : "none", absent, has_room ? 0 : -1,
                              has_room ? "1.0" : absent}));
        const uint32_t before_sync = tlv_get_partition_generation(a.bytes.data());
        EXPECT_EQ(dynamic_cfg_sync(&a.ctx, nullptr), 0);
        EXPECT_EQ(tlv_get_partition_generation(a.bytes.data()), before_sync + 2);
        if (!has_room) {
            errno = 0;
            EXPECT_EQ((std::pair{dynamic_cfg_set_string(&a.ctx, 'V', '0', "1.0"), errno}), std::pair(-1, ENOSPC));
        }
    }
    Bytes erased(64, 0xFF);
    testing::internal::CaptureStdout();
    EXPECT_EQ(dynamic_cfg_set_generation(erased.data(), erased.size(), 7), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), broken);
    EXPECT_EQ(erased, Bytes(64, 0xFF));
}

// Versions go into every segment; a refused first segment fails the write, a refused later one ends the chain.
TEST(Bd20DynamicConfig, SetVersionWalksTheSegments)
{
    const Bytes v9 = {9, 0, 8, 0, 7, 0, 6, 0};
    const Bytes first = partition_image({{MCFW_VERSION, {1, 0, 1, 0, 1, 0, 1, 0}}}, 2, 0);
    const Bytes second = partition_image({{MCFW_VERSION, {2, 0, 2, 0, 2, 0, 2, 0}}}, 2, 0);
    const Bytes one = flash({first}, 4096), two = flash({first, second}, 4096);
    auto edited = [](Bytes b, auto edit) { edit(b); return b; };
    // A second segment claiming 4 bytes more than is left once the first has grown by its subtype item.
    Bytes second_past_end = flash({first, second}, first.size() + second.size() + 12);
    store_le32(&second_past_end[first.size() + 16], static_cast<uint32_t>(second.size() + 4));
    const Bytes global = partition_image({{GLOBAL_VPD, kTemplate}}, 2, 0);
    const struct { const char *name; Bytes contents; int rc, err; bool changed; std::string second_mcfw = "invalid"; }
    cases[] = {
        {"one segment", one, 0, 0, true},
        {"two segments", two, 0, 0, true, str(v9)},
        {"first too long", edited(one, [](Bytes &b) { store_le32(&b[16], 4100); }), ENOSPC, EXDEV, false},
        {"first not a partition", edited(one, [](Bytes &b) { store_le32(&b[0], 0x12345678); }), EINVAL, EXDEV, false},
        {"first damaged", edited(one, [](Bytes &b) { b[28] ^= 1; }), -1, ENOENT, false},
        {"second damaged", edited(two, [&](Bytes &b) { b[first.size() + 28] ^= 1; }), 0, 0, true},
        {"second past the end", second_past_end, 0, 0, true},
        // Room for exactly the version and subtype items: no second segment to look at.
        {"grown to the end", flash({global}, global.size() + 28), ENOSPC, EXDEV, true, "end"},
        {"no room", partition_image({}, 2, 44), -1, ENOSPC, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Port a(c.contents, DOGWOOD);
        errno = EXDEV;
        testing::internal::CaptureStdout();
        const int rc = bd20_dynamic_cfg_set_version(&a.ctx, IMAGE_TYPE_MCFW, 7, {9, 8, 7, 6}, true);
        EXPECT_EQ(std::pair(rc, c.err == 0 ? 0 : errno), std::pair(c.rc, c.err));
        const size_t second_at = load_le32(&a.bytes[16]);
        if (c.changed) {
            EXPECT_EQ((std::tuple{item(a.bytes, MCFW_VERSION), item(a.bytes, MCFW_SUBTYPE),
                                  second_at < a.part.buffer_size ? item(a.bytes, MCFW_VERSION, second_at) : "end"}),
                      (std::tuple{str(v9), str({7, 0, 0, 0}), c.second_mcfw}));
        } else {
            EXPECT_EQ(a.contents(), c.contents);
        }
        testing::internal::GetCapturedStdout();
    }
    // Reads take the first segment; no subtype asked, none written; kinds these boards do not carry, nothing.
    Port a(flash({first, second}, 4096), CEDAR, Port::opened);
    EXPECT_EQ(bd20_dynamic_cfg_get_version(&a.ctx, IMAGE_TYPE_MCFW).a, 1);
    EXPECT_EQ(bd20_dynamic_cfg_set_version(&a.ctx, IMAGE_TYPE_BOOTROM, 3, {4, 0, 0, 1}, false), 0);
    EXPECT_EQ(std::pair(item(a.bytes, 0x10060300, load_le32(&a.bytes[16])), item(a.bytes, 0x00050300)),
              std::pair(str({4, 0, 0, 0, 0, 0, 1, 0}), std::string("none")));
    EXPECT_TRUE(version_is_null(bd20_dynamic_cfg_get_version(&a.ctx, IMAGE_TYPE_PHY)));
    const Bytes before = a.bytes;
    errno = 0;
    EXPECT_EQ((std::pair{bd20_dynamic_cfg_set_version(&a.ctx, IMAGE_TYPE_CPLD, 1, {1, 0, 0, 0}, true), errno}),
              std::pair(-1, EINVAL));
    EXPECT_EQ(a.bytes, before);
}

// OEM version strings only for their own subsystem vendors; a null text deletes.
TEST(Bd20DynamicConfig, KeywordRulesBySubsystem)
{
    const std::string long_text(20, '9'), too_long(256, 'x');
    // `family_fails`: the result of a family the record refuses.
    const struct { uint32_t subsystem; const char *v1, *v3, *v6, *v0; int family_fails; } cases[] = {
        {0x103C1234, "2.6", "4.5", "6.2", "1.0.0", 1},
        {0x103C80AB, "2.6", "4.5", "6.2", nullptr, -1},
        {0x10141234, long_text.c_str(), nullptr, nullptr, "1.0.0", 1},
        {0x1B7E0001, nullptr, nullptr, nullptr, "1.0.0", 1},
    };
    auto text = [](const char *want) { return std::string(want ? want : "errno 2"); };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.subsystem);
        Port a(partition_image({{GLOBAL_VPD, kTemplate}}, 2, 4096), DOGWOOD, Port::opened, c.subsystem);
        qsu_device *dev = &a.dev;
        dynamic_cfg_context *ctx = &a.ctx;
        EXPECT_EQ(dynamic_cfg_set_uefi_version(dev, ctx, "2.6"), 0);
        EXPECT_EQ(dynamic_cfg_set_bootrom_version(dev, ctx, "6.2"), 0);
        EXPECT_EQ(dynamic_cfg_set_oem_mcfw_version(dev, ctx, c.subsystem >> 16 == 0x1014 ? long_text.c_str() : "4.5"), 0);
        EXPECT_EQ(dynamic_cfg_set_family(dev, ctx, "1.0.0"), 0);
        EXPECT_EQ((std::vector{get(ctx, 'V', '1'), get(ctx, 'V', '3'), get(ctx, 'V', '6'), get(ctx, 'V', '0'),
                               get(ctx, 'V', 'D')}),
                  (std::vector{text(c.v1), text(c.v3), text(c.v6), text(c.v0), text("1.0.0")}));
        char small[4];
        EXPECT_EQ(dynamic_cfg_get_family(ctx, small, sizeof small), 5);
        EXPECT_STREQ(small, "1.0");
        EXPECT_EQ(dynamic_cfg_set_family(dev, ctx, too_long.c_str()), c.family_fails);
        EXPECT_EQ(dynamic_cfg_set_family(dev, ctx, nullptr), 0);
        EXPECT_EQ(dynamic_cfg_set_uefi_version(dev, ctx, nullptr), 0);
        EXPECT_EQ((std::vector{get(ctx, 'V', '0'), get(ctx, 'V', 'D'), get(ctx, 'V', '1')}),
                  (std::vector{text(nullptr), text(nullptr), text(c.subsystem >> 16 == 0x1014 ? c.v1 : nullptr)}));
    }
    // Longer than the vendor's 16-character fields: refused, the old text kept.
    Port bounded(partition_image({}, 2, 4096), DOGWOOD, Port::opened, 0x103C1234);
    ASSERT_EQ(dynamic_cfg_set_bootrom_version(&bounded.dev, &bounded.ctx, "65535.65535.6553"), 0);
    errno = 0;
    EXPECT_EQ((std::pair{dynamic_cfg_set_bootrom_version(&bounded.dev, &bounded.ctx, "65535.65535.65535"), errno}),
              std::pair(-1, EINVAL)); // one past
    EXPECT_EQ(get(&bounded.ctx, 'V', '6'), "65535.65535.6553");
}

// Reads truncate but report the full length; a damaged record is replaced, a refused keyword changes nothing.
TEST(Bd20DynamicConfig, StringsTruncateAndRefusalsChangeNothing)
{
    Bytes bad_record = kTemplate;
    bad_record[10] ^= 1;
    Port a(partition_image({{GLOBAL_VPD, bad_record}}, 2, 4096), DOGWOOD);
    ASSERT_EQ(dynamic_cfg_set_string(&a.ctx, 'V', '1', "1.2.3.4"), 0);
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
    EXPECT_EQ(dynamic_cfg_get_string(&a.ctx, 'V', '1', buf, sizeof buf), 7);
    EXPECT_STREQ(buf, "1.2");
    const Bytes before = a.bytes;
    EXPECT_EQ(dynamic_cfg_set_string(&a.ctx, 'V', '2', std::string(256, 'x').c_str()), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(a.bytes, before);
}
