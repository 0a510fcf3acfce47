#include "lib/utils/asn_parser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/unit/support/der_writer.h"

namespace {

using der::Bytes;
using der::Node;

struct Located {
    size_t offset;
    size_t length;
    bool operator==(const Located &) const = default;
};

std::vector<Located> handled;
asn_error_t handler_result = ASN_ERROR_NONE;

asn_error_t record(asn_tlv_location_t loc)
{
    handled.push_back({size_t(loc.offset_in_file) + loc.hdr_size, loc.total_size - loc.hdr_size});
    return handler_result;
}

const uint8_t OID_X[] = {2, 0x2A, 0x03};        // 1.2.3
const uint8_t OID_A[] = {3, 0x2A, 0x03, 0x04};  // 1.2.3.4
const asn_handlers_table_entry_t TABLE[] = {{OID_A, record}, {nullptr, nullptr}};

const asn_seq_item_t INNER[] = {
    {0x02, ASN_FLAG_OPTIONAL, ASN_TODO_NOTHING, {}},
    {0x04, ASN_FLAG_OPTIONAL | ASN_FLAG_LAST_ITEM, ASN_TODO_HANDLER, {.handler = record}},
};
const asn_seq_item_t ATTRIBUTE[] = {
    {0x06, ASN_FLAG_LAST_ITEM, ASN_TODO_HANDLER_FROM_TABLE, {.handlers = TABLE}},
};
// Exercises every action and flag the walker knows, in the way the CMS
// schema combines them.
const asn_seq_item_t OUTER[] = {
    {0x06, 0, ASN_TODO_CHECK_OBJ_ID, {.obj_id = OID_X}},
    {0x02, ASN_FLAG_OPTIONAL, ASN_TODO_NOTHING, {}},
    {0x30, 0, ASN_TODO_PARSE_SEQ, {.seq = INNER}},
    {0xA0, ASN_FLAG_EXPLICIT, ASN_TODO_PARSE_SEQ, {.seq = INNER}},
    {0xA1, ASN_FLAG_OPTIONAL | ASN_FLAG_CONTINUED, ASN_TODO_PARSE_SET_OF_SEQ, {.seq = ATTRIBUTE}},
    {0xA1, ASN_FLAG_OPTIONAL, ASN_TODO_NOTHING, {}},
    {0x31, ASN_FLAG_LAST_ITEM, ASN_TODO_PARSE_SET_OF_SEQ, {.seq = INNER}},
};

struct Walk {
    asn_error_t err;
    std::string out;
};

// Ten spare bytes keep the last TLV header clear of the read window's end.
Walk walk(Bytes bytes, size_t padding = 10)
{
    bytes.resize(bytes.size() + padding);
    handled.clear();
    asn_register_image(bytes.data(), bytes.size());
    testing::internal::CaptureStdout();
    const asn_error_t err = asn_parse(OUTER, 0, static_cast<uint32_t>(bytes.size()));
    Walk w{err, testing::internal::GetCapturedStdout()};
    asn_register_image(nullptr, 0);
    return w;
}

Node oid_x() { return der::oid("1.2.3"); }
Node inner(uint8_t octet) { return der::seq({der::integer(1), der::octets({octet})}); }
Node full_tree()
{
    return der::seq({
        oid_x(),
        der::integer(7),
        der::seq({der::octets({'a'})}),
        der::cons(0xA0, {der::seq({der::octets({'b'})})}),
        der::cons(0xA1, {der::seq({der::oid("1.2.3.4"), der::set({der::integer(1)})}),
                         der::seq({der::oid("1.2.3.4.5"), der::set({der::integer(2)})})}),
        der::set({der::seq({der::octets({'c'})}), inner('d')}),
    });
}

Located span(const Bytes &bytes, const std::vector<size_t> &path)
{
    const der::Span s = der::value_span(bytes, path);
    return {s.offset, s.length};
}

TEST(AsnRead, RefusesReadsThatReachTheEndOrWrap)
{
    const Bytes data = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
    uint8_t out[32] = {};
    EXPECT_EQ(asn_read(out, 0, 1), ASN_ERROR_NOT_SUPPORTED) << "nothing registered";
    asn_register_image(data.data(), data.size());
    const struct {
        uint32_t offset;
        size_t count;
        asn_error_t expected;
    } cases[] = {
        {0, 19, ASN_ERROR_NONE},           {5, 14, ASN_ERROR_NONE},
        {19, 0, ASN_ERROR_NONE},           {0, 20, ASN_ERROR_NOT_SUPPORTED},
        {1, 19, ASN_ERROR_NOT_SUPPORTED},  {20, 0, ASN_ERROR_NOT_SUPPORTED},
        {0xFFFFFFFF, 2, ASN_ERROR_NOT_SUPPORTED}, {4, SIZE_MAX - 2, ASN_ERROR_NOT_SUPPORTED},
    };
    for (const auto &c : cases) {
        memset(out, 0xEE, sizeof(out));
        EXPECT_EQ(asn_read(out, c.offset, c.count), c.expected) << c.offset << "+" << c.count;
        if (c.expected == ASN_ERROR_NONE) {
            EXPECT_EQ(0, memcmp(out, data.data() + c.offset, c.count));
        }
    }
    asn_register_image(nullptr, 0);
}

TEST(AsnHeader, LengthFormsAndUnsupportedEncodings)
{
    const struct {
        Bytes bytes;
        asn_error_t err;
        uint32_t len;
        uint32_t hdr_len;
        const char *message;
    } cases[] = {
        {{0x30, 0x05}, ASN_ERROR_NONE, 5, 2, ""},
        {{0x04, 0x7F}, ASN_ERROR_NONE, 0x7F, 2, ""},
        {{0x04, 0x81, 0x80}, ASN_ERROR_NONE, 0x80, 3, ""},
        {{0x04, 0x82, 0x01, 0x02}, ASN_ERROR_NONE, 0x102, 4, ""},
        {{0x04, 0x83, 0x01, 0x02, 0x03}, ASN_ERROR_NONE, 0x10203, 5, ""},
        {{0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xF0}, ASN_ERROR_NONE, 0xFFFFFFF0, 6, ""},
        // Bytes above the low four are shifted out of the 32-bit length.
        {{0x04, 0x88, 0xAA, 0xBB, 0xCC, 0xDD, 0, 0, 1, 2}, ASN_ERROR_NONE, 0x102, 10, ""},
        {{0x30, 0x80}, ASN_ERROR_NOT_SUPPORTED, 0, 0, "ASN: Error: Indefinite length (unsupported)\n"},
        {{0x30, 0x89}, ASN_ERROR_NOT_SUPPORTED, 0, 0, "ASN: Error: Length encoding too big (unsupported)\n"},
        {{0x30, 0xFF}, ASN_ERROR_NOT_SUPPORTED, 0, 0, "ASN: Error: Length encoding too big (unsupported)\n"},
        {{0x1F, 0x01}, ASN_ERROR_NOT_SUPPORTED, 0, 0, "ASN: Error: Long tag (unsupported)\n"},
        {{0xBF, 0x01}, ASN_ERROR_NOT_SUPPORTED, 0, 0, "ASN: Error: Long tag (unsupported)\n"},
    };
    for (const auto &c : cases) {
        Bytes buffer = c.bytes;
        buffer.resize(16);
        asn_register_image(buffer.data(), buffer.size());
        asn_tlv_hdr_t hdr{};
        testing::internal::CaptureStdout();
        EXPECT_EQ(asn_tlv_header_parse(0, &hdr), c.err) << testing::PrintToString(c.bytes);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message);
        if (c.err == ASN_ERROR_NONE) {
            EXPECT_EQ(hdr.tag, c.bytes[0]);
            EXPECT_EQ(hdr.len, c.len);
            EXPECT_EQ(hdr.hdr_len, c.hdr_len);
        }
    }

    // The whole ten-byte window must lie before the buffer's last byte.
    const Bytes twelve = {0, 0, 0x02, 0x01, 0x05, 0, 0, 0, 0, 0, 0, 0};
    asn_register_image(twelve.data(), twelve.size());
    asn_tlv_hdr_t hdr{};
    EXPECT_EQ(asn_tlv_header_parse(1, &hdr), ASN_ERROR_NONE);
    testing::internal::CaptureStdout();
    EXPECT_EQ(asn_tlv_header_parse(2, &hdr), ASN_ERROR_NOT_SUPPORTED);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    asn_register_image(nullptr, 0);
}

TEST(AsnParse, WalksEveryActionAndHandsOverTheRightTlvs)
{
    const Bytes bytes = der::encode(full_tree());
    const Walk w = walk(bytes);
    EXPECT_EQ(w.err, ASN_ERROR_NONE);
    EXPECT_EQ(w.out, "");
    // The explicit tag's inner SEQUENCE, the value after the table's object
    // id (not after a longer one of the same prefix), and every element of
    // the SET OF.
    const std::vector<Located> expected = {
        span(bytes, {2, 0}), span(bytes, {3, 0, 0}), span(bytes, {4, 0, 1}),
        span(bytes, {5, 0, 0}), span(bytes, {5, 1, 1}),
    };
    EXPECT_EQ(handled, expected);

    // Optional items absent; the SET OF may be empty.
    const Node minimal = der::seq({oid_x(), der::seq({}), der::cons(0xA0, {der::seq({})}), der::set({})});
    EXPECT_EQ(walk(der::encode(minimal)).err, ASN_ERROR_NONE);
    EXPECT_TRUE(handled.empty());
}

TEST(AsnParse, RejectsWithMessageAndCode)
{
    auto with = [](size_t index, Node replacement) {
        Node tree = full_tree();
        tree.children[index] = std::move(replacement);
        return der::encode(tree);
    };
    auto without = [](size_t index) {
        Node tree = full_tree();
        tree.children.erase(tree.children.begin() + index);
        return der::encode(tree);
    };
    Bytes overlong = der::encode(full_tree());
    overlong[der::value_span(overlong, {2, 0}).offset - 1] += 1; // 04 01 'a' in 30 03

    const struct {
        const char *name;
        Bytes bytes;
        asn_error_t err;
        std::string out;
    } cases[] = {
        {"top level not a sequence", der::encode(der::set({oid_x()})), ASN_ERROR_WRONG_CONTENT,
         "Sequence TLV expected, found tag=0x31 instead"},
        {"set element not a sequence", with(5, der::set({der::octets({1})})), ASN_ERROR_WRONG_CONTENT,
         "Sequence TLV expected, found tag=0x4 instead"},
        {"object id of other length", with(0, der::oid("1.2.3.4")), ASN_ERROR_WRONG_OBJ_ID,
         "Object ID other than required: expected len 2, got 3"},
        {"object id of other bytes", with(0, der::oid("1.2.4")), ASN_ERROR_WRONG_OBJ_ID,
         "Object ID other than required: "},
        {"required item missing at the end", without(5), ASN_ERROR_WRONG_CONTENT,
         "Missing item of structure"},
        {"wrong item", without(2), ASN_ERROR_WRONG_CONTENT, "Wrong item in sequence exp 30, got a0"},
        {"no item matches up to the last", with(2, der::seq({der::null()})), ASN_ERROR_WRONG_CONTENT,
         "Unexpected item in sequence"},
        {"item after the last one", with(2, der::seq({der::octets({1}), der::octets({2})})),
         ASN_ERROR_WRONG_CONTENT, "Unexpected item in sequence"},
        // The continued item's TLV is taken again by the optional item after
        // it, so a second one of that tag is out of place.
        {"attribute list twice", with(5, der::cons(0xA1, {})), ASN_ERROR_WRONG_CONTENT,
         "Wrong item in sequence exp 31, got a1"},
        {"explicit tag holding two TLVs", with(3, der::cons(0xA0, {der::seq({}), der::seq({})})),
         ASN_ERROR_CORRUPTED, "Encapsulated TLV has wrong size"},
        {"explicit tag holding nothing", with(3, der::cons(0xA0, {})), ASN_ERROR_CORRUPTED,
         "Encapsulated TLV is missing"},
        {"child longer than its parent", overlong, ASN_ERROR_CORRUPTED,
         "Nested TLV does not fit in the wrapper, 6 > 5"},
    };
    for (const auto &c : cases) {
        const Walk w = walk(c.bytes);
        EXPECT_EQ(w.err, c.err) << c.name;
        EXPECT_EQ(w.out, "ASN: Error: " + c.out + "\n") << c.name;
    }
}

TEST(AsnParse, HandlerErrorStopsTheWalk)
{
    handler_result = ASN_ERROR_WRONG_OBJ_ID;
    const Walk w = walk(der::encode(full_tree()));
    handler_result = ASN_ERROR_NONE;
    EXPECT_EQ(w.err, ASN_ERROR_WRONG_OBJ_ID);
    EXPECT_EQ(w.out, "");
    EXPECT_EQ(handled.size(), 1u);
}

// A length near 4 GiB must not wrap the cursor back inside its container,
// where a 32-bit sum would land it (here: on the TLV itself, forever).
TEST(AsnParse, HugeLengthCannotWrapTheCursor)
{
    for (uint32_t back : {0u, 2u, 6u}) {
        // SEQUENCE { OID 1.2.3, INTEGER with a 4-byte length }
        Bytes bytes = {0x30, 0x0C, 0x06, 0x02, 0x2A, 0x03, 0x02, 0x84};
        const uint32_t len = 0u - 6u - back; // cursor 6 + 6 + len wraps to 6 - back
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.push_back(static_cast<uint8_t>(len >> shift));
        bytes.insert(bytes.end(), {0, 0});
        const Walk w = walk(bytes, 32);
        EXPECT_EQ(w.err, ASN_ERROR_CORRUPTED) << back;
        char expected[96];
        snprintf(expected, sizeof(expected),
                 "ASN: Error: Nested TLV does not fit in the wrapper, %llx > e\n",
                 static_cast<unsigned long long>(6 + 6 + uint64_t(len)));
        EXPECT_EQ(w.out, expected);
    }
}

} // namespace
