// The fixed-record layout over buffers in memory: header acceptance, item growth, VPD relocation, sync bytes.
#include "lib/utils/linux/dynamic_cfg_birch.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <numeric>
#include <vector>

#include "lib/utils/byteorder.h"
#include "lib/utils/linux/vpd.h"
#include "tests/unit/support/dynamic_cfg_port.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Port = DynamicCfgPort;
using Version = std::vector<uint16_t>;
using Fields = std::vector<uint32_t>;
constexpr uint32_t BIRCH = 0x1B7E0803;

birch_mc_dynamic_config_hdr_t header(const Port &c)
{
    birch_mc_dynamic_config_hdr_t h;
    std::memcpy(&h, c.bytes.data(), sizeof h);
    return h;
}

// Header fields: length, item count [1], VPD offset and length.
Fields fields(const Port &c)
{
    const birch_mc_dynamic_config_hdr_t h = header(c);
    return {h.length, h.num_fw_version_items, h.dynamic_vpd_offset, h.dynamic_vpd_length};
}

Version version(Port &c, image_type_t type)
{
    const firmware_version v = birch_dynamic_cfg_get_version(&c.ctx, type);
    return {v.a, v.b, v.c, v.d};
}

// A version write's result, and the errno it left when it failed.
std::pair<int, int> set(Port &c, image_type_t type, uint32_t subtype, firmware_version v, bool with_subtype = true)
{
    errno = 0;
    const int rc = birch_dynamic_cfg_set_version(&c.ctx, type, subtype, v, with_subtype);
    return {rc, rc == 0 ? 0 : errno};
}
const std::pair<int, int> DONE{0, 0}, NO_SPACE{-1, ENOSPC};

// Sets the checksum byte so that the first `length` bytes sum to zero.
void close_sum(Bytes &b, size_t length)
{
    b[7] = 0;
    b[7] = static_cast<uint8_t>(-std::accumulate(b.begin(), b.begin() + static_cast<long>(length), 0));
}

TEST(BirchDynamicConfig, HeaderAcceptanceRules)
{
    Port good(Bytes(512, 0xFF), BIRCH, Port::opened);
    ASSERT_EQ(set(good, IMAGE_TYPE_MCFW, 8, {3, 3, 2, 1000}), DONE);
    birch_dynamic_cfg_to_flash_order(&good.part); // as a sync writes it
    const Bytes flash = good.contents();
    birch_dynamic_cfg_to_host_order(&good.part);
    // Each case edits the flash bytes and, unless `keep_sum`, repairs the checksum.
    const struct { const char *what; size_t at; uint32_t value; unsigned width; bool keep_sum, accepted; } cases[] = {
        {"as synced", 0, BIRCH_DYNAMIC_CONFIG_MAGIC, 4, false, true},
        {"magic", 0, 0xBDCFDDDC, 4, false, false},
        {"length 19", 4, 19, 2, false, false},
        {"length past the buffer", 4, 513, 2, false, false},
        {"checksum off", 7, flash[7] + 1u, 1, true, false},
        {"VPD area inside the items", 8, 40, 4, false, false},
        {"VPD area past the end", 8, 513, 4, false, false},
        {"VPD area running past the end", 12, 13, 4, false, false},
        {"more items than the length covers", 16, 3, 4, false, false},
        {"fewer items than the length covers", 16, 1, 4, false, true},
    };
    for (const auto &k : cases) {
        Bytes b = flash;
        for (unsigned i = 0; i < k.width; ++i)
            b[k.at + i] = static_cast<uint8_t>(k.value >> (8 * i));
        if (!k.keep_sum)
            close_sum(b, std::min<size_t>(load_le16(&b[4]), b.size()));
        Port c(b, BIRCH);
        EXPECT_EQ(birch_decode_dynamic_config(&c.part), k.accepted) << k.what;
    }
    Port short_buffer(Bytes(flash.begin(), flash.begin() + 19), BIRCH);
    EXPECT_FALSE(birch_decode_dynamic_config(&short_buffer.part));
    // A sync cut off at the last byte the header covers, whose sum still comes out right.
    Bytes cut = flash;
    const size_t covered = load_le16(&flash[4]);
    std::fill(cut.begin() + static_cast<long>(covered) - 1, cut.end(), 0xFF);
    close_sum(cut, covered);
    Port cut_short(cut, BIRCH);
    EXPECT_FALSE(birch_decode_dynamic_config(&cut_short.part));
}

TEST(BirchDynamicConfig, ItemsGrowAndPushTheVpdAreaUp)
{
    Port c(Bytes(256, 0xFF), BIRCH, Port::opened);
    // A record right after the empty header, where the items will grow.
    birch_mc_dynamic_config_hdr_t h = header(c);
    h.dynamic_vpd_offset = 20;
    std::memcpy(c.bytes.data(), &h, sizeof h);
    std::memcpy(c.bytes.data() + 20, vpd_dynamic_init, 12);

    ASSERT_EQ(set(c, IMAGE_TYPE_MCFW, 8, {3, 3, 2, 1000}), DONE);
    // Item 0 grown empty with the unknown subtype, item 1 the controller's, then the record.
    Bytes items = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0, 3, 0, 3, 0, 2, 0, 0xE8, 0x03};
    const size_t record_at = items.size();
    items.resize(record_at + 12);
    std::memcpy(items.data() + record_at, vpd_dynamic_init, 12);
    EXPECT_EQ((std::tuple{fields(c), Bytes(c.bytes.begin() + 20, c.bytes.begin() + 56), version(c, IMAGE_TYPE_MCFW)}),
              (std::tuple{Fields{44, 2, 44, 12}, items, Version{3, 3, 2, 1000}}));

    // Again, without a subtype: only item 1's version changes.
    Bytes before = c.bytes;
    ASSERT_EQ(set(c, IMAGE_TYPE_MCFW, 99, {3, 3, 2, 1001}, false), DONE);
    before[42] = 0xE9;
    EXPECT_EQ(c.bytes, before);
    // Kinds without an item, and items that would not fit, change nothing.
    for (image_type_t t : {IMAGE_TYPE_UEFIROM, IMAGE_TYPE_BUNDLE, IMAGE_TYPE_MUMFW})
        EXPECT_EQ(set(c, t, 0, {1, 0, 0, 0}), NO_SPACE);
    Port tiny(Bytes(20 + 12 * 8 + 12, 0xFF), BIRCH, Port::opened); // items 0-7 and the template
    EXPECT_EQ(set(tiny, IMAGE_TYPE_BOOTROM, 2, {1, 0, 0, 0}), DONE);
    EXPECT_EQ(set(tiny, IMAGE_TYPE_FPGA, 2, {1, 0, 0, 0}), NO_SPACE);
    EXPECT_EQ(c.bytes, before);
    // An item grown without a subtype gets the unknown one, not whatever the flash held.
    Port grown(Bytes(256, 0x00), BIRCH, Port::opened);
    ASSERT_EQ(set(grown, IMAGE_TYPE_FCFW, 1, {1, 2, 0, 3}, false), DONE);
    birch_mc_fw_version_t item;
    std::memcpy(&item, grown.bytes.data() + 20 + 12 * 15, sizeof item);
    EXPECT_EQ(item.fw_subtype, 0xFFFFFFFFu);
    // Buffers too small for a header are left alone by every operation.
    Port scrap(Bytes(19, 0x5A), BIRCH);
    birch_reset_dynamic_config(&scrap.part);
    birch_dynamic_cfg_to_flash_order(&scrap.part);
    birch_dynamic_cfg_to_host_order(&scrap.part);
    EXPECT_EQ((std::tuple{birch_reset_dyn_vpd(&scrap.ctx), set(scrap, IMAGE_TYPE_MCFW, 1, {1, 0, 0, 0}).first,
                          scrap.contents()}),
              (std::tuple{-1, -1, Bytes(19, 0x5A)}));
}

TEST(BirchDynamicConfig, StringsRelocateTheRecordToTheEnd)
{
    Port c(Bytes(160, 0xFF), BIRCH, Port::opened);
    ASSERT_EQ(set(c, IMAGE_TYPE_BOOTROM, 2, {3, 3, 1, 1001}), DONE);
    ASSERT_EQ(birch_dynamic_cfg_set_string(&c.ctx, 'V', 'D', "3.3.2.1000"), 0);
    EXPECT_EQ(fields(c), (Fields{116, 8, 160 - 25, 25})); // the template and "VD" at the end
    birch_mc_dynamic_config_hdr_t h = header(c);
    EXPECT_TRUE(vpd_is_valid(c.bytes.data() + h.dynamic_vpd_offset, h.dynamic_vpd_length));

    // Larger than any area: the largest is taken (right after the items), and vpd_set refuses.
    const std::string big(60, 'x');
    errno = 0;
    EXPECT_EQ((std::pair{birch_dynamic_cfg_set_string(&c.ctx, 'V', '0', big.c_str()), errno}), NO_SPACE);
    h = header(c);
    EXPECT_EQ(h.dynamic_vpd_offset, 116u);
    const uint8_t *record = c.bytes.data() + h.dynamic_vpd_offset;
    ASSERT_TRUE(vpd_is_valid(record, h.dynamic_vpd_length));
    EXPECT_NE(vpd_find(record, 'V', 'D'), 0u);
    EXPECT_EQ(version(c, IMAGE_TYPE_BOOTROM), (Version{3, 3, 1, 1001}));

    ASSERT_EQ(birch_dynamic_cfg_set_string(&c.ctx, 'V', 'D', nullptr), 0);
    EXPECT_EQ(vpd_find(record, 'V', 'D'), 0u);

    // A damaged record in an area too small for the template: no dynamic VPD, nothing moved, versions as ever.
    Bytes damaged(64, 0x00);
    for (auto [at, value, width] : {std::tuple{0, BIRCH_DYNAMIC_CONFIG_MAGIC, 4}, {4, 58u, 2}, {8, 58u, 4},
                                    {12, 6u, 4}, {16, 3u, 4}, {58, 0xFFFF90u, 3}})
        for (int i = 0; i < width; ++i)
            damaged[at + i] = static_cast<uint8_t>(value >> (8 * i));
    close_sum(damaged, 58);
    Port small(damaged, BIRCH, Port::opened);
    const Bytes opened = small.bytes;
    char got[8];
    for (const char *value : {"7.4.3", static_cast<const char *>(nullptr)}) {
        errno = 0;
        EXPECT_EQ((std::pair{birch_dynamic_cfg_set_string(&small.ctx, 'V', 'D', value), errno}), NO_SPACE);
    }
    errno = 0;
    EXPECT_EQ((std::pair{dynamic_cfg_get_string(&small.ctx, 'V', 'D', got, sizeof got), errno}), std::pair(-1, ENOENT));
    EXPECT_EQ(small.bytes, opened);
    ASSERT_EQ(set(small, IMAGE_TYPE_MCFW, 8, {3, 3, 2, 1000}), DONE);
    EXPECT_EQ(version(small, IMAGE_TYPE_MCFW), (Version{3, 3, 2, 1000}));
}

} // namespace
