#include "lib/utils/asn_parser.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/unit/support/der_writer.h"

namespace {

using der::Bytes;
using der::Node;

std::vector<der::Span> handled;
asn_error_t handler_result = ASN_ERROR_NONE;

asn_error_t record(asn_tlv_location_t loc)
{
    handled.push_back({size_t(loc.offset_in_file) + loc.hdr_size, loc.total_size - loc.hdr_size});
    return handler_result;
}

const uint8_t OID_X[] = {2, 0x2A, 0x03};       // 1.2.3
const uint8_t OID_A[] = {3, 0x2A, 0x03, 0x04}; // 1.2.3.4
const asn_handlers_table_entry_t TABLE[] = {{OID_A, record}, {nullptr, nullptr}};
const asn_seq_item_t INNER[] = {
    {0x02, ASN_FLAG_OPTIONAL, ASN_TODO_NOTHING, {}},
    {0x04, ASN_FLAG_OPTIONAL | ASN_FLAG_LAST_ITEM, ASN_TODO_HANDLER, {.handler = record}},
};
const asn_seq_item_t ATTRIBUTE[] = {{0x06, ASN_FLAG_LAST_ITEM, ASN_TODO_HANDLER_FROM_TABLE, {.handlers = TABLE}}};
// Every action and flag of the walker, combined as the CMS schema combines them.
const asn_seq_item_t OUTER[] = {
    {0x06, 0, ASN_TODO_CHECK_OBJ_ID, {.obj_id = OID_X}},
    {0x02, ASN_FLAG_OPTIONAL, ASN_TODO_NOTHING, {}},
    {0x30, 0, ASN_TODO_PARSE_SEQ, {.seq = INNER}},
    {0xA0, ASN_FLAG_EXPLICIT, ASN_TODO_PARSE_SEQ, {.seq = INNER}},
    {0xA1, ASN_FLAG_OPTIONAL | ASN_FLAG_CONTINUED, ASN_TODO_PARSE_SET_OF_SEQ, {.seq = ATTRIBUTE}},
    {0xA1, ASN_FLAG_OPTIONAL, ASN_TODO_NOTHING, {}},
    {0x31, ASN_FLAG_LAST_ITEM, ASN_TODO_PARSE_SET_OF_SEQ, {.seq = INNER}},
};

// The error and what was printed; spare bytes keep the read window clear of the end.
std::pair<asn_error_t, std::string> walk(Bytes bytes)
{
    bytes.resize(bytes.size() + ASN_HEADER_WINDOW);
    handled.clear();
    asn_register_image(bytes.data(), bytes.size());
    testing::internal::CaptureStdout();
    const asn_error_t err = asn_parse(OUTER, 0, static_cast<uint32_t>(bytes.size()));
    asn_register_image(nullptr, 0);
    return {err, testing::internal::GetCapturedStdout()};
}

Node oid(Bytes content) { return der::prim(0x06, std::move(content)); }
Node octets(uint8_t byte) { return der::prim(0x04, {byte}); }
Node attribute(Bytes id, uint8_t value) { return der::seq({oid(std::move(id)), der::set({der::prim(0x02, {value})})}); }

// Child i replaced, or removed when no replacement is given.
Bytes full_tree(std::optional<size_t> i = {}, std::optional<Node> replacement = {})
{
    Node tree = der::seq({
        oid({0x2A, 0x03}), der::prim(0x02, {7}), der::seq({octets('a')}), der::cons(0xA0, {der::seq({octets('b')})}),
        // The second attribute's id only starts like the table's one.
        der::cons(0xA1, {attribute({0x2A, 0x03, 0x04}, 1), attribute({0x2A, 0x03, 0x04, 0x05}, 2)}),
        der::set({der::seq({octets('c')}), der::seq({der::prim(0x02, {1}), octets('d')})}),
    });
    if (i && replacement)
        tree.children[*i] = *replacement;
    else if (i)
        tree.children.erase(tree.children.begin() + *i);
    return der::encode(tree);
}

TEST(AsnHeader, LengthFormsAndUnsupportedEncodings)
{
    const struct { Bytes bytes; uint32_t len, hdr_len; std::string unsupported; } cases[] = {
        {{0x30, 0x05}, 5, 2, ""}, {{0x04, 0x7F}, 0x7F, 2, ""}, {{0x04, 0x81, 0x80}, 0x80, 3, ""},
        {{0x04, 0x82, 0x01, 0x02}, 0x102, 4, ""}, {{0x04, 0x83, 0x01, 0x02, 0x03}, 0x10203, 5, ""},
        {{0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xF0}, 0xFFFFFFF0, 6, ""},
        // Bytes above the low four are shifted out of the 32-bit length.
        {{0x04, 0x88, 0xAA, 0xBB, 0xCC, 0xDD, 0, 0, 1, 2}, 0x102, 10, ""},
        {{0x30, 0x80}, 0, 0, "Indefinite length"}, {{0x30, 0x89}, 0, 0, "Length encoding too big"},
        {{0x1F, 0x01}, 0, 0, "Long tag"}, {{0xBF, 0x01}, 0, 0, "Long tag"},
    };
    for (const auto &c : cases) {
        Bytes buffer = c.bytes;
        buffer.resize(16);
        asn_register_image(buffer.data(), buffer.size());
        asn_tlv_hdr_t hdr{};
        testing::internal::CaptureStdout();
        const bool ok = c.unsupported.empty();
        EXPECT_EQ(asn_tlv_header_parse(0, &hdr), ok ? ASN_ERROR_NONE : ASN_ERROR_NOT_SUPPORTED);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), ok ? "" : "ASN: Error: " + c.unsupported + " (unsupported)\n");
        if (ok) {
            EXPECT_EQ((std::vector<uint32_t>{hdr.tag, hdr.len, hdr.hdr_len}),
                      (std::vector<uint32_t>{c.bytes[0], c.len, c.hdr_len}));
        }
    }

    // Its ten-byte window must end before the buffer's last byte; no read's end may wrap.
    const Bytes twelve = {0, 0, 0x02, 0x01, 0x05, 0, 0, 0, 0, 0, 0, 0};
    asn_register_image(twelve.data(), twelve.size());
    asn_tlv_hdr_t hdr{};
    uint8_t out[4];
    testing::internal::CaptureStdout(); // refused without a message
    EXPECT_EQ((std::tuple{asn_tlv_header_parse(1, &hdr), asn_tlv_header_parse(2, &hdr), asn_read(out, 4, SIZE_MAX - 2),
                          testing::internal::GetCapturedStdout()}),
              (std::tuple{ASN_ERROR_NONE, ASN_ERROR_NOT_SUPPORTED, ASN_ERROR_NOT_SUPPORTED, ""}));
    asn_register_image(nullptr, 0);
}

TEST(AsnParse, WalksEveryActionAndHandsOverTheRightTlvs)
{
    const Bytes bytes = full_tree();
    EXPECT_EQ(walk(bytes), std::make_pair(ASN_ERROR_NONE, std::string()));
    // The explicit tag's inner SEQUENCE, the value after the table's id (not the longer one), each SET OF element.
    std::vector<der::Span> expected;
    for (const std::vector<size_t> &path : {std::vector<size_t>{2, 0}, {3, 0, 0}, {4, 0, 1}, {5, 0, 0}, {5, 1, 1}})
        expected.push_back(der::value_span(bytes, path));
    EXPECT_EQ(handled, expected);

    // A handler's error ends the walk at once, whether the schema or a table named it.
    Node table_first = der::decode(bytes);
    table_first.children[2] = der::seq();
    table_first.children[3] = der::cons(0xA0, {der::seq()});
    handler_result = ASN_ERROR_WRONG_OBJ_ID;
    for (const Bytes &b : {bytes, der::encode(table_first)})
        EXPECT_EQ((std::tuple{walk(b), handled.size()}),
                  (std::tuple{std::pair(ASN_ERROR_WRONG_OBJ_ID, std::string()), 1u}));
    handler_result = ASN_ERROR_NONE;

    // Optional items absent; the SET OF may be empty.
    const Node minimal = der::seq({oid({0x2A, 0x03}), der::seq(), der::cons(0xA0, {der::seq()}), der::set()});
    EXPECT_EQ((std::tuple{walk(der::encode(minimal)).first, handled.size()}), (std::tuple{ASN_ERROR_NONE, 0u}));
}

TEST(AsnParse, RejectsWithMessageAndCode)
{
    const auto content = ASN_ERROR_WRONG_CONTENT, obj_id = ASN_ERROR_WRONG_OBJ_ID, corrupted = ASN_ERROR_CORRUPTED;
    const struct { Bytes bytes; asn_error_t err; std::string out; } cases[] = {
        {der::encode(der::set({oid({0x2A, 0x03})})), content, "Sequence TLV expected, found tag=0x31 instead"},
        {full_tree(5, der::set({octets(1)})), content, "Sequence TLV expected, found tag=0x4 instead"},
        {full_tree(0, oid({0x2A, 0x03, 0x04})), obj_id, "Object ID other than required: expected len 2, got 3"},
        {full_tree(0, oid({0x2A, 0x04})), obj_id, "Object ID other than required: "},
        {full_tree(5), content, "Missing item of structure"},
        {full_tree(2), content, "Wrong item in sequence exp 30, got a0"},
        {full_tree(2, der::seq({der::prim(0x05)})), content, "Unexpected item in sequence"}, // none matches
        {full_tree(2, der::seq({octets(1), octets(2)})), content, "Unexpected item in sequence"}, // after the last
        // The continued item's TLV is taken again by the optional item after it: a second one is out of place.
        {full_tree(5, der::cons(0xA1)), content, "Wrong item in sequence exp 31, got a1"},
        {full_tree(3, der::cons(0xA0, {der::seq(), der::seq()})), corrupted, "Encapsulated TLV has wrong size"},
        {full_tree(3, der::cons(0xA0)), corrupted, "Encapsulated TLV is missing"},
        {full_tree(2, der::prim(0x30, {0x04, 0x02, 'a'})), corrupted, "Nested TLV does not fit in the wrapper, 6 > 5"},
        // A length near 4 GiB: a 32-bit sum would wrap the cursor back onto the TLV itself.
        {{0x30, 0x0C, 0x06, 0x02, 0x2A, 0x03, 0x02, 0x84, 0xFF, 0xFF, 0xFF, 0xFA, 0, 0}, corrupted,
         "Nested TLV does not fit in the wrapper, 100000006 > e"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(walk(c.bytes), std::make_pair(c.err, "ASN: Error: " + c.out + "\n"));
}

} // namespace
