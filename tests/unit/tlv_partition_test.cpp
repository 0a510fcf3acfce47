#include "lib/tlv/tlv_partition.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/unit/support/tlv_model.h"

namespace {

using Bytes = std::vector<uint8_t>;

void set_item_header(Bytes &b, size_t at, uint32_t tag, uint32_t len)
{
    store_le32(&b[at], tag);
    store_le32(&b[at + 4], len);
}

TEST(TlvPartitionNew, DynamicConfigAndGenerationUpdates)
{
    for (uint32_t size : {39, 40, 64}) { // 40 bytes at least
        Bytes buf(size, 0xAB);
        EXPECT_EQ(tlv_init_dynamic_config_buf(buf.data(), size), size < 40 ? TLV_BAD_ARG : 0);
        EXPECT_EQ(buf, size < 40 ? Bytes(size, 0xAB) : partition_image({}, 2, size));
    }

    const TlvModelSegment items = {{0x10060100, {1, 2, 3, 4}}};
    Bytes buf = partition_image(items, 2, 128);
    nvram_partition_t part;
    ASSERT_EQ(tlv_init_partition_from_buffer(&part, buf.data(), buf.size()), 0);
    EXPECT_EQ(part.length, 128u);
    ASSERT_EQ(tlv_set_partition_generation(&part, 7), 0);
    EXPECT_EQ(buf, partition_image(items, 8, 128));
    ASSERT_EQ(tlv_increment_partition_generation(&part), 0);
    EXPECT_EQ(buf, partition_image(items, 10, 128));
    buf[10] = 5; // a preset, closed into the checksum, then zeroed
    ASSERT_EQ(tlv_update_partition_len_and_cks(&part.tlv_cursor), TLV_OK);
    ASSERT_EQ(tlv_zero_partition_preset(&part), 0);
    EXPECT_EQ(buf, partition_image(items, 12, 128));
    // A partition damaged since it was loaded is refused, with one message, and left as it is.
    buf[40]++; // the trailer's generation
    const Bytes damaged = buf;
    int (*const refused[])(nvram_partition_t *) = {tlv_increment_partition_generation, tlv_zero_partition_preset,
                                                   [](nvram_partition_t *p) { return tlv_set_partition_generation(p, 7); }};
    for (const auto op : refused) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(op(&part), 1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "(Dynamic configuration: header and trailer generation counts do not match)\n");
    }
    EXPECT_EQ(buf, damaged);
}

// An edit raises the generation by one, or returns its code and changes no byte (frames stay readable).
const uint8_t kBig[64] = {};
TEST(TlvPartitionEdit, RefusedEditsChangeNothing)
{
    constexpr int O = TLV_OK, N = TLV_NOT_FOUND, S = TLV_NO_SPACE, B = TLV_BAD_ARG, C = TLV_CORRUPT_BLOCK;
    using Op = int (*)(nvram_partition_t &);
    const Op ops[] = { // recompute, append, append END, header, trailer, too big, modify, too big, delete
        [](nvram_partition_t &p) { return tlv_update_partition_len_and_cks(&p.tlv_cursor); },
        [](nvram_partition_t &p) { return tlv_append_to_partition(&p, 0x45, "abcd", 4); },
        [](nvram_partition_t &p) { return tlv_append_to_partition(&p, TLV_TAG_END, "abcd", 4); },
        [](nvram_partition_t &p) { return tlv_append_to_partition(&p, TLV_TAG_PARTITION_HEADER, kBig, 12); },
        [](nvram_partition_t &p) { return tlv_append_to_partition(&p, TLV_TAG_PARTITION_TRAILER, kBig, 8); },
        [](nvram_partition_t &p) { return tlv_update_or_append_to_partition(&p, 0x45, kBig, 64); },
        [](nvram_partition_t &p) { return tlv_modify_in_partition(&p.tlv_cursor, "abcd", 4); },
        [](nvram_partition_t &p) { return tlv_modify_in_partition(&p.tlv_cursor, kBig, 64); },
        [](nvram_partition_t &p) { return tlv_delete_from_partition(&p.tlv_cursor); },
    };
    // Header at word 0, item 0x44 at 5, trailer at 9, END at 13; 24 words in all.
    const struct { const char *what; size_t at; void (*damage)(Bytes &); int rc[std::size(ops)]; } cases[] = {
        {"on an item", 5, nullptr, {O, O, B, B, B, S, O, S, O}}, {"on END", 13, nullptr, {O, O, B, B, B, S, B, B, B}},
        {"on the header", 0, nullptr, {O, O, B, B, B, S, B, B, B}},
        {"on the trailer", 9, nullptr, {O, O, B, B, B, S, B, B, B}},
        {"off the block", std::string::npos, nullptr, {C, O, B, B, B, S, B, B, B}},
        {"header tag", 5, [](Bytes &b) { b[0] ^= 1; }, {C, C, C, C, C, S, C, C, C}},
        {"header length", 5, [](Bytes &b) { b[4] = 11; }, {C, C, C, C, C, S, C, C, C}},
        {"trailer length", 5, [](Bytes &b) { b[40] = 5; }, {C, C, C, C, C, S, C, C, C}},
        {"no trailer", 5, [](Bytes &b) { b[36] = 0x55; }, {C, N, N, N, N, S, C, C, C}},
        {"item after trailer", 5, [](Bytes &b) { set_item_header(b, 52, 0x66, 0); store_le32(&b[60], TLV_TAG_END); },
         {C, C, C, C, C, S, C, C, C}},
        {"END erased", 5, [](Bytes &b) { store_le32(&b[52], 0xFFFFFFFF); }, {C, C, C, C, C, C, C, C, C}},
    };
    for (const auto &c : cases)
        for (size_t op = 0; op < std::size(ops); op++) {
            SCOPED_TRACE(std::string(c.what) + ", op " + std::to_string(op));
            Bytes buf = partition_image({{0x44, {1, 2, 3, 4, 5, 6}}}, 3, 96);
            nvram_partition_t part;
            ASSERT_EQ(tlv_init_partition_from_buffer(&part, buf.data(), buf.size()), 0);
            part.tlv_cursor.current = c.at == std::string::npos ? nullptr : part.data + c.at;
            if (c.damage != nullptr)
                c.damage(buf);
            const Bytes before = buf;
            ASSERT_EQ(ops[op](part), c.rc[op]);
            if (c.rc[op] != TLV_OK)
                EXPECT_EQ(buf, before);
            else
                EXPECT_EQ((std::pair{tlv_get_partition_generation(buf.data()),
                                     tlv_init_partition_from_buffer(&part, buf.data(), buf.size())}),
                          std::pair(4u, 0));
        }
}

TEST(TlvPartitionValidate, EveryRejectionNamesTheTypeFound)
{
    // Header at 0, one item (tag 0x44, 6 bytes) at 20, trailer at 36, END at 52.
    const struct { const char *what; void (*damage)(Bytes &); std::string out, err = ""; } cases[] = {
        {"erased", [](Bytes &b) { std::ranges::fill(b, 0xFF); },
         "(Partition map: TLV cursor in broken state initially)\n"},
        {"empty flash", [](Bytes &b) { set_item_header(b, 0, 0xFFFFFFFF, 4); },
         "(Dynamic configuration: empty flash found at start of partition)\n"},
        {"header tag", [](Bytes &b) { store_le32(&b[0], 0x12345678); b[9] = 0x04; },
         "(Static configuration: first tag 12345678 is not the partition header magic tag bd20da7a)\n"},
        {"header size", [](Bytes &b) { set_item_header(b, 0, TLV_TAG_PARTITION_HEADER, 8); b[9] = 0x42; },
         "(<unknown>: partition header tag is wrong size: got 8, but wanted 12)\n"},
        {"no trailer", [](Bytes &b) { set_item_header(b, 36, 0x55, 8); },
         "(Dynamic configuration: no partition trailer found)\n"},
        {"corrupt item", [](Bytes &b) { set_item_header(b, 20, 0x44, 0x1000); }, "",
         "Unexpected error 4 stripping partition trailer?\n"},
        {"trailer size", [](Bytes &b) { set_item_header(b, 36, TLV_TAG_PARTITION_TRAILER, 4); },
         "(Dynamic configuration: partition trailer tag is wrong size: got 4, but wanted 8)\n"},
        {"item after trailer", [](Bytes &b) { set_item_header(b, 52, 0x66, 0); store_le32(&b[60], TLV_TAG_END); },
         "(Dynamic configuration: partition trailer is not the final tag)\n"},
        {"trailer generation", [](Bytes &b) { b[44]++; },
         "(Dynamic configuration: header and trailer generation counts do not match)\n"},
        {"total length", [](Bytes &b) { b[16] += 4; },
         "(Dynamic configuration: total length field in header does not match content)\n"},
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
         "=====\n"},
        // Eight bytes end before the type field: none is read from past them.
        {"eight bytes", [](Bytes &b) { b.resize(8); }, "(<unknown>: TLV cursor in broken state initially)\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Bytes buf = partition_image({{0x44, {'a', ' ', '~', 0x7F, 0x1F, 0x80}}}, 3, 96);
        c.damage(buf);
        nvram_partition_t part;
        std::memset(&part, 0x5A, sizeof(part));
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ((std::tuple{tlv_init_partition_from_buffer(&part, buf.data(), buf.size()),
                              testing::internal::GetCapturedStderr(), testing::internal::GetCapturedStdout(),
                              part.data, part.tlv_cursor.block, part.type}),
                  (std::tuple{1, c.err, c.out, nullptr, nullptr, 0}));
    }
}

} // namespace
