#include "lib/tlv/tlv_partition.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "tests/unit/support/tlv_model.h"

namespace {

uint32_t le32_at(const std::vector<uint8_t> &buf, size_t at)
{
    return buf[at] | buf[at + 1] << 8 | buf[at + 2] << 16 | static_cast<uint32_t>(buf[at + 3]) << 24;
}

void set_le32(std::vector<uint8_t> &buf, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        buf[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t word_sum(const std::vector<uint8_t> &buf, size_t len)
{
    uint32_t sum = 0;
    for (size_t at = 0; at < len; at += 4)
        sum += le32_at(buf, at);
    return sum;
}

// A dynamic configuration holding the given items, in a buffer of `size`.
std::vector<uint8_t> partition_with(const TlvModelSegment &items, size_t size)
{
    std::vector<uint8_t> buf(size);
    EXPECT_EQ(tlv_init_dynamic_config_buf(buf.data(), static_cast<uint32_t>(size)), 0);
    nvram_partition_t part;
    EXPECT_EQ(tlv_init_partition_from_buffer(&part, buf.data(), size), 0);
    for (const auto &item : items)
        EXPECT_EQ(tlv_append_to_partition(&part, item.tag, item.value.data(), item.value.size()),
                  TLV_OK);
    return buf;
}

// The items between header and trailer.
TlvModelSegment items_of(nvram_partition_t &part)
{
    TlvModelSegment items;
    tlv_cursor_t cursor = part.tlv_cursor;
    EXPECT_EQ(tlv_rewind(&cursor), TLV_OK);
    while (tlv_advance(&cursor) == TLV_OK && tlv_tag(&cursor) != TLV_TAG_PARTITION_TRAILER) {
        const uint8_t *value = tlv_value(&cursor);
        items.push_back({tlv_tag(&cursor), {value, value + tlv_length(&cursor)}});
    }
    return items;
}

TEST(TlvPartitionNew, DynamicConfigLayoutAndSizes)
{
    std::vector<uint8_t> buf = partition_with({}, 64);
    const std::vector<uint8_t> head = {0x7A, 0xDA, 0x20, 0xBD, 12, 0, 0, 0, 0x00, 0x05, 0, 0,
                                       2,    0,    0,    0,    40, 0, 0, 0, 0x57, 0x1A, 0x20, 0xBD,
                                       8,    0,    0,    0,    2,  0, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + 32), head);
    EXPECT_EQ(le32_at(buf, 36), TLV_TAG_END);
    EXPECT_EQ(std::vector<uint8_t>(buf.begin() + 40, buf.end()), std::vector<uint8_t>(24, 0xFF));
    EXPECT_EQ(word_sum(buf, 40), 0u);
    EXPECT_EQ(tlv_get_partition_generation(buf.data()), 2u);

    std::vector<uint8_t> exact(40);
    ASSERT_EQ(tlv_init_dynamic_config_buf(exact.data(), 40), 0);
    EXPECT_EQ(std::vector<uint8_t>(exact.begin(), exact.begin() + 40),
              std::vector<uint8_t>(buf.begin(), buf.begin() + 40));

    std::vector<uint8_t> small(39, 0xAB);
    EXPECT_EQ(tlv_init_dynamic_config_buf(small.data(), 39), TLV_BAD_ARG);
    EXPECT_EQ(small, std::vector<uint8_t>(39, 0xAB));
}

TEST(TlvPartitionGeneration, SetIncrementAndZeroPreset)
{
    std::vector<uint8_t> buf = partition_with({{0x10060100, {1, 0, 2, 0, 3, 0, 4, 0}}}, 128);
    nvram_partition_t part;
    ASSERT_EQ(tlv_init_partition_from_buffer(&part, buf.data(), buf.size()), 0);
    size_t trailer = le32_at(buf, 16) - 20;

    ASSERT_EQ(tlv_set_partition_generation(&part, 7), 0);
    EXPECT_EQ(le32_at(buf, 12), 8u);
    EXPECT_EQ(le32_at(buf, trailer + 8), 8u);
    ASSERT_EQ(tlv_increment_partition_generation(&part), 0);
    EXPECT_EQ(le32_at(buf, 12), 10u);
    EXPECT_EQ(le32_at(buf, trailer + 8), 10u);

    // A preset set behind the partition's back, made consistent again.
    buf[10] = 5;
    ASSERT_EQ(tlv_update_partition_len_and_cks(&part.tlv_cursor), TLV_OK);
    ASSERT_EQ(tlv_zero_partition_preset(&part), 0);
    EXPECT_EQ(buf[10], 0);
    EXPECT_EQ(le32_at(buf, 12), 12u);
    EXPECT_EQ(word_sum(buf, le32_at(buf, 16)), 0u);
    EXPECT_EQ(items_of(part), (TlvModelSegment{{0x10060100, {1, 0, 2, 0, 3, 0, 4, 0}}}));

    // Recomputation refuses a block whose last item is not the trailer.
    ASSERT_EQ(tlv_find(&part.tlv_cursor, TLV_TAG_END), TLV_OK);
    ASSERT_EQ(tlv_insert(&part.tlv_cursor, 0x77, "x", 1), TLV_OK);
    const std::vector<uint8_t> before = buf;
    EXPECT_EQ(tlv_update_partition_len_and_cks(&part.tlv_cursor), TLV_CORRUPT_BLOCK);
    EXPECT_EQ(buf, before);
}

TEST(TlvPartitionValidate, EveryRejectionNamesTheTypeFound)
{
    struct Case {
        const char *what;
        std::function<void(std::vector<uint8_t> &)> damage;
        std::string out;
        std::string err;
    };
    // Header at 0, one item (tag 0x44, 4 bytes) at 20, trailer at 32, END at 48.
    auto item = [](std::vector<uint8_t> &b, size_t at, uint32_t tag, uint32_t len) {
        set_le32(b, at, tag);
        set_le32(b, at + 4, len);
    };
    const Case cases[] = {
        {"erased", [](auto &b) { std::fill(b.begin(), b.end(), 0xFF); },
         "(Partition map: TLV cursor in broken state initially)\n", ""},
        {"empty flash", [&](auto &b) { item(b, 0, 0xFFFFFFFF, 4); },
         "(Dynamic configuration: empty flash found at start of partition)\n", ""},
        {"header tag", [](auto &b) { set_le32(b, 0, 0x12345678); b[8] = 0x00; b[9] = 0x04; },
         "(Static configuration: first tag 12345678 is not the partition header magic tag "
         "bd20da7a)\n", ""},
        {"header size", [&](auto &b) { item(b, 0, TLV_TAG_PARTITION_HEADER, 8); b[9] = 0x42; },
         "(<unknown>: partition header tag is wrong size: got 8, but wanted 12)\n", ""},
        {"no trailer", [&](auto &b) { item(b, 32, 0x55, 8); },
         "(Dynamic configuration: no partition trailer found)\n", ""},
        {"corrupt item", [&](auto &b) { item(b, 20, 0x44, 0x1000); }, "",
         "Unexpected error 4 stripping partition trailer?\n"},
        {"trailer size", [&](auto &b) { item(b, 32, TLV_TAG_PARTITION_TRAILER, 4); },
         "(Dynamic configuration: partition trailer tag is wrong size: got 4, but wanted 8)\n",
         ""},
        {"item after trailer", [&](auto &b) { item(b, 48, 0x66, 0); set_le32(b, 56, TLV_TAG_END); },
         "(Dynamic configuration: partition trailer is not the final tag)\n", ""},
        {"trailer generation", [](auto &b) { b[40]++; },
         "(Dynamic configuration: header and trailer generation counts do not match)\n", ""},
        {"total length", [](auto &b) { b[16] += 4; },
         "(Dynamic configuration: total length field in header does not match content)\n", ""},
        {"value byte", [](auto &b) { b[28] ^= 1; },
         "(Dynamic configuration: checksum is incorrect)\n"
         "Tag 0xbd20da7a: 12 bytes (at offset 0x0000)\n"
         "  +0000: 00 05 00 00   ....\n"
         "  +0004: 03 00 00 00   ....\n"
         "  +0008: 34 00 00 00   4...\n"
         "Tag 0x00000044: 4 bytes (at offset 0x0014)\n"
         "  +0000: 60 62 63 64   `bcd\n"
         "Tag 0xbd201a57: 8 bytes (at offset 0x0020)\n"
         "  +0000: 03 00 00 00   ....\n"
         "  +0004: 4a b4 6c 32   J.l2\n"
         "Tag 0xeeeeeeee: END (at offset 0x0030)\n"
         "=====\n",
         ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> buf = partition_with({{0x44, {'a', 'b', 'c', 'd'}}}, 96);
        c.damage(buf);
        nvram_partition_t part;
        std::memset(&part, 0x5A, sizeof(part));
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int rc = tlv_init_partition_from_buffer(&part, buf.data(), buf.size());
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
        EXPECT_EQ(err, c.err);
        EXPECT_EQ(rc, 1);
        EXPECT_EQ(part.data, nullptr);
        EXPECT_EQ(part.tlv_cursor.block, nullptr);
        EXPECT_EQ(part.type, 0);
    }
}

// Random edits of the first of two partitions in one buffer: after each
// accepted edit the partition validates, its generation has risen by one,
// its words sum to zero, its items are the model's, the partition after it
// is intact and the rest of the buffer is erased.  A refused edit changes
// nothing.
class TlvPartitionProperty : public testing::TestWithParam<uint32_t> {};

TEST_P(TlvPartitionProperty, RandomEditsKeepThePartitionValid)
{
    std::mt19937 rng(GetParam());
    constexpr size_t kSize = 320;
    const std::vector<uint8_t> second =
        partition_with({{0x10200000, random_bytes(rng, 12)}, {0x50A20100, random_bytes(rng, 8)}}, 84);
    const size_t second_len = le32_at(second, 16);

    std::vector<uint8_t> buf = partition_with({}, kSize);
    std::copy(second.begin(), second.begin() + static_cast<long>(second_len), buf.begin() + 40);
    TlvModelSegment model;
    auto random_tag = [&] { return static_cast<uint32_t>(0x10060000 + rng() % 6); };

    for (int step = 0; step < 200; step++) {
        nvram_partition_t part;
        ASSERT_EQ(tlv_init_partition_from_buffer(&part, buf.data(), buf.size()), 0);
        const uint32_t generation = tlv_get_partition_generation(buf.data());
        const std::vector<uint8_t> before = buf;

        TlvModelSegment expected = model;
        std::vector<uint8_t> value = random_bytes(rng, rng() % 30);
        uint32_t tag = random_tag();
        int op = static_cast<int>(rng() % 4);
        if (model.empty() && op >= 2)
            op = 0;
        size_t index = model.empty() ? 0 : rng() % model.size();
        tlv_cursor_t *cursor = &part.tlv_cursor;
        int rc = -1;
        if (op >= 2) { // stand on item `index`, past the header
            ASSERT_EQ(tlv_rewind(cursor), TLV_OK);
            for (size_t i = 0; i <= index; i++)
                ASSERT_EQ(tlv_advance(cursor), TLV_OK);
        }
        switch (op) {
        case 0:
            expected.push_back({tag, value});
            rc = tlv_append_to_partition(&part, tag, value.data(), value.size());
            break;
        case 1: {
            auto it = std::find_if(expected.begin(), expected.end(),
                                   [&](const TlvModelItem &i) { return i.tag == tag; });
            if (it != expected.end())
                it->value = value;
            else
                expected.push_back({tag, value});
            rc = tlv_update_or_append_to_partition(&part, tag, value.data(), value.size());
            break;
        }
        case 2:
            expected[index].value = value;
            rc = tlv_modify_in_partition(cursor, value.data(), value.size());
            break;
        case 3:
            expected.erase(expected.begin() + static_cast<long>(index));
            rc = tlv_delete_from_partition(cursor);
            break;
        }
        SCOPED_TRACE("step " + std::to_string(step) + " op " + std::to_string(op));

        const size_t first_len = 4 * (tlv_model_words(expected) + 5 + 4);
        if (first_len + second_len > kSize) {
            ASSERT_EQ(rc, TLV_NO_SPACE);
            ASSERT_EQ(buf, before);
            continue;
        }
        ASSERT_EQ(rc, TLV_OK);
        model = expected;
        ASSERT_EQ(le32_at(buf, 16), first_len);
        ASSERT_EQ(tlv_get_partition_generation(buf.data()), generation + 1);
        ASSERT_EQ(word_sum(buf, first_len), 0u);
        ASSERT_EQ(tlv_init_partition_from_buffer(&part, buf.data(), buf.size()), 0);
        ASSERT_EQ(items_of(part), model);
        ASSERT_TRUE(std::equal(second.begin(), second.begin() + static_cast<long>(second_len),
                               buf.begin() + static_cast<long>(first_len)));
        ASSERT_EQ(std::vector<uint8_t>(buf.begin() + static_cast<long>(first_len + second_len),
                                       buf.end()),
                  std::vector<uint8_t>(kSize - first_len - second_len, 0xFF));
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, TlvPartitionProperty, testing::ValuesIn(property_seeds()));

} // namespace
