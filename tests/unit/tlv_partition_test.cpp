#include "lib/tlv/tlv_partition.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "tests/unit/support/tlv_model.h"

namespace {

using Bytes = std::vector<uint8_t>;

void set_item_header(Bytes &b, size_t at, uint32_t tag, uint32_t len) { set_le32(b, at, tag); set_le32(b, at + 4, len); }

// A dynamic configuration holding `items` at `generation`, then 0xFF up to `size` bytes.
Bytes partition_image(const TlvModelSegment &items, uint32_t generation, size_t size)
{
    TlvModelSegment all = {{TLV_TAG_PARTITION_HEADER, Bytes(12)}};
    all.insert(all.end(), items.begin(), items.end());
    all.push_back({TLV_TAG_PARTITION_TRAILER, Bytes(8)});
    Bytes image = tlv_model_image({all}, size);
    const size_t len = 4 * tlv_model_words(all);
    set_le32(image, 8, NVRAM_PARTITION_TYPE_DYNAMIC_CONFIG); // preset 0
    set_le32(image, 12, generation);
    set_le32(image, 16, static_cast<uint32_t>(len));
    set_le32(image, len - 12, generation);
    const uint32_t *words = reinterpret_cast<const uint32_t *>(image.data());
    set_le32(image, len - 8, -std::accumulate(words, words + len / 4, 0u)); // host is little-endian
    return image;
}

TEST(TlvPartitionNew, DynamicConfigAndGenerationUpdates)
{
    for (uint32_t size : {40, 64}) {
        Bytes buf(size);
        ASSERT_EQ(tlv_init_dynamic_config_buf(buf.data(), size), 0);
        EXPECT_EQ(buf, partition_image({}, 2, size));
    }
    Bytes small(39, 0xAB);
    EXPECT_EQ(tlv_init_dynamic_config_buf(small.data(), 39), TLV_BAD_ARG);
    EXPECT_EQ(small, Bytes(39, 0xAB));

    const TlvModelSegment items = {{0x10060100, {1, 2, 3, 4}}};
    Bytes buf = partition_image(items, 2, 128);
    nvram_partition_t part;
    ASSERT_EQ(tlv_init_partition_from_buffer(&part, buf.data(), buf.size()), 0);
    ASSERT_EQ(tlv_set_partition_generation(&part, 7), 0);
    EXPECT_EQ(buf, partition_image(items, 8, 128));
    ASSERT_EQ(tlv_increment_partition_generation(&part), 0);
    EXPECT_EQ(buf, partition_image(items, 10, 128));
    buf[10] = 5; // a preset, closed into the checksum, then zeroed
    ASSERT_EQ(tlv_update_partition_len_and_cks(&part.tlv_cursor), TLV_OK);
    ASSERT_EQ(tlv_zero_partition_preset(&part), 0);
    EXPECT_EQ(buf, partition_image(items, 12, 128));
    // Recomputation refuses a block whose last item is not the trailer.
    ASSERT_EQ(tlv_find(&part.tlv_cursor, TLV_TAG_END), TLV_OK);
    ASSERT_EQ(tlv_insert(&part.tlv_cursor, 0x77, "x", 1), TLV_OK);
    const Bytes before = buf;
    EXPECT_EQ(tlv_update_partition_len_and_cks(&part.tlv_cursor), TLV_CORRUPT_BLOCK);
    EXPECT_EQ(buf, before);
}

TEST(TlvPartitionValidate, EveryRejectionNamesTheTypeFound)
{
    // Header at 0, one item (tag 0x44, 6 bytes) at 20, trailer at 36, END at 52.
    const struct { const char *what; void (*damage)(Bytes &); std::string out, err; } cases[] = {
        {"erased", [](Bytes &b) { std::ranges::fill(b, 0xFF); },
         "(Partition map: TLV cursor in broken state initially)\n", ""},
        {"empty flash", [](Bytes &b) { set_item_header(b, 0, 0xFFFFFFFF, 4); },
         "(Dynamic configuration: empty flash found at start of partition)\n", ""},
        {"header tag", [](Bytes &b) { set_le32(b, 0, 0x12345678); b[9] = 0x04; },
         "(Static configuration: first tag 12345678 is not the partition header magic tag bd20da7a)\n", ""},
        {"header size", [](Bytes &b) { set_item_header(b, 0, TLV_TAG_PARTITION_HEADER, 8); b[9] = 0x42; },
         "(<unknown>: partition header tag is wrong size: got 8, but wanted 12)\n", ""},
        {"no trailer", [](Bytes &b) { set_item_header(b, 36, 0x55, 8); },
         "(Dynamic configuration: no partition trailer found)\n", ""},
        {"corrupt item", [](Bytes &b) { set_item_header(b, 20, 0x44, 0x1000); }, "",
         "Unexpected error 4 stripping partition trailer?\n"},
        {"trailer size", [](Bytes &b) { set_item_header(b, 36, TLV_TAG_PARTITION_TRAILER, 4); },
         "(Dynamic configuration: partition trailer tag is wrong size: got 4, but wanted 8)\n", ""},
        {"item after trailer", [](Bytes &b) { set_item_header(b, 52, 0x66, 0); set_le32(b, 60, TLV_TAG_END); },
         "(Dynamic configuration: partition trailer is not the final tag)\n", ""},
        {"trailer generation", [](Bytes &b) { b[44]++; },
         "(Dynamic configuration: header and trailer generation counts do not match)\n", ""},
        {"total length", [](Bytes &b) { b[16] += 4; },
         "(Dynamic configuration: total length field in header does not match content)\n", ""},
        {"value byte", [](Bytes &b) { b[28] ^= 1; },
         "(Dynamic configuration: checksum is incorrect)\n"
         "Tag 0xbd20da7a: 12 bytes (at offset 0x0000)\n"
         "  +0000: 00 05 00 00   ....\n"
         "  +0004: 03 00 00 00   ....\n"
         "  +0008: 38 00 00 00   8...\n"
         "Tag 0x00000044: 6 bytes (at offset 0x0014)\n"
         "  +0000: 60 20 7e 7f   ` ~.\n"
         "  +0004: 1f 80 xx xx   ..\n"
         "Tag 0xbd201a57: 8 bytes (at offset 0x0024)\n"
         "  +0000: 03 00 00 00   ....\n"
         "  +0004: 25 76 51 17   %vQ.\n"
         "Tag 0xeeeeeeee: END (at offset 0x0034)\n"
         "=====\n", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Bytes buf = partition_image({{0x44, {'a', ' ', '~', 0x7F, 0x1F, 0x80}}}, 3, 96);
        c.damage(buf);
        nvram_partition_t part;
        std::memset(&part, 0x5A, sizeof(part));
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(tlv_init_partition_from_buffer(&part, buf.data(), buf.size()), 1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
        EXPECT_TRUE(part.data == nullptr && part.tlv_cursor.block == nullptr && part.type == 0);
    }
}

// Random edits of the first of two partitions leave the model's image, one generation up.
class TlvPartitionProperty : public testing::TestWithParam<uint32_t> {};

TEST_P(TlvPartitionProperty, RandomEditsKeepThePartitionValid)
{
    std::mt19937 rng(GetParam());
    constexpr size_t kSize = 320;
    Bytes second = partition_image({{0x10200000, random_bytes(rng, 12)}, {0x50A20100, random_bytes(rng, 7)}}, 5, 84);
    second.resize(second[16]); // its total length, under 256
    Bytes buf = partition_image({}, 2, kSize);
    std::ranges::copy(second, buf.begin() + 40);
    TlvModelSegment model;
    for (uint32_t step = 0, generation = 2; step < 200; step++) {
        nvram_partition_t part;
        ASSERT_EQ(tlv_init_partition_from_buffer(&part, buf.data(), buf.size()), 0);
        TlvModelSegment expected = model;
        const auto [op, index, tag, value] = tlv_model_edit(rng, expected, 1, 0x10060000);
        SCOPED_TRACE("step " + std::to_string(step) + " op " + std::to_string(op));
        for (size_t i = 0; i <= index && (op == 2 || op == 3); i++) // on item `index`, past the header
            ASSERT_EQ(tlv_advance(&part.tlv_cursor), TLV_OK);
        const int rc = op == 1   ? tlv_append_to_partition(&part, tag, value.data(), value.size())
                       : op == 2 ? tlv_modify_in_partition(&part.tlv_cursor, value.data(), value.size())
                       : op == 3 ? tlv_delete_from_partition(&part.tlv_cursor)
                                 : tlv_update_or_append_to_partition(&part, tag, value.data(), value.size());
        const bool fits = 4 * (tlv_model_words(expected) + 9) + second.size() <= kSize; // header 5 words, trailer 4
        ASSERT_EQ(rc, fits ? TLV_OK : TLV_NO_SPACE);
        generation += fits;
        if (fits)
            model = expected;
        Bytes want = partition_image(model, generation, kSize);
        std::ranges::copy(second, want.begin() + 4 * (tlv_model_words(model) + 9));
        ASSERT_EQ(buf, want); // unchanged when refused
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, TlvPartitionProperty, testing::ValuesIn(property_seeds()));

} // namespace
