#include "lib/tlv/tlv.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/unit/support/tlv_model.h"

namespace {

constexpr uint32_t END = TLV_TAG_END;

uint32_t *words(std::vector<uint8_t> &buf, size_t index = 0)
{
    return reinterpret_cast<uint32_t *>(buf.data()) + index;
}

std::vector<uint8_t> image(const std::vector<TlvModelSegment> &segments, size_t size)
{
    return tlv_model_image(segments, size);
}

// Stands the cursor on item `index` of its block by walking from the start.
void seek(tlv_cursor_t *cursor, size_t index)
{
    ASSERT_EQ(tlv_rewind(cursor), TLV_OK);
    for (size_t i = 0; i < index; i++)
        ASSERT_EQ(tlv_advance(cursor), TLV_OK);
}

std::string captured_dump(const tlv_cursor_t &cursor)
{
    testing::internal::CaptureStdout();
    tlv_dump_all(&cursor);
    return testing::internal::GetCapturedStdout();
}

TEST(TlvValidate, PositionsAgainstTheLimit)
{
    struct Case {
        const char *what;
        std::vector<TlvModelSegment> content;
        size_t limit_words;
        size_t current;
        int rc;
    };
    const std::vector<uint8_t> eight(8, 1);
    const Case cases[] = {
        {"erased flash", {}, 8, 0, TLV_CORRUPT_BLOCK},
        {"item ends exactly at limit", {{{7, eight}}}, 4, 0, TLV_CORRUPT_BLOCK},
        {"item ends one word before limit", {{{7, eight}}}, 5, 0, TLV_OK},
        {"header cut by limit", {{{7, eight}}}, 1, 0, TLV_CORRUPT_BLOCK},
        {"END on the last usable word", {{{7, eight}}}, 5, 4, TLV_OK},
        {"current at limit", {{{7, eight}}}, 4, 4, TLV_BAD_ARG},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> buf = image(c.content, 64);
        tlv_cursor_t cursor;
        tlv_init_cursor(&cursor, words(buf), words(buf, c.limit_words));
        cursor.current = words(buf, c.current);
        EXPECT_EQ(tlv_validate_state(&cursor), c.rc);
        EXPECT_EQ(cursor.current == nullptr, c.rc != TLV_OK);
        if (c.rc == TLV_OK && c.current == 4) {
            EXPECT_EQ(cursor.end, words(buf, 4));
        }
    }

    // Below the block, and a cursor that has left it.
    std::vector<uint8_t> buf = image({{}, {}}, 16);
    tlv_cursor_t cursor;
    ASSERT_EQ(tlv_init_cursor(&cursor, words(buf, 1), words(buf, 3)), TLV_OK);
    cursor.current = words(buf);
    EXPECT_EQ(tlv_validate_state(&cursor), TLV_BAD_ARG);
    EXPECT_EQ(tlv_validate_state(&cursor), TLV_BAD_ARG);
    EXPECT_EQ(tlv_rewind(&cursor), TLV_OK);
}

TEST(TlvWalk, FindAdvanceAndLeavingTheBlock)
{
    std::vector<uint8_t> buf = image({{}}, 64);
    tlv_cursor_t cursor;
    ASSERT_EQ(tlv_init_cursor_from_size(&cursor, buf.data(), buf.size()), TLV_OK);
    EXPECT_EQ(cursor.limit, words(buf, 15));
    EXPECT_EQ(tlv_block_length_used(&cursor), 4u);
    EXPECT_EQ(tlv_find(&cursor, 5), TLV_NOT_FOUND);
    EXPECT_EQ(tlv_find(&cursor, END), TLV_OK);
    EXPECT_EQ(tlv_value(&cursor), nullptr);

    const uint8_t abc[] = {'a', 'b', 'c'};
    ASSERT_EQ(tlv_append(&cursor, 5, abc, 3), TLV_OK);
    ASSERT_EQ(tlv_append(&cursor, 5, abc, 1), TLV_OK);
    EXPECT_EQ(buf, image({{{5, {'a', 'b', 'c'}}, {5, {'a'}}}}, 64));
    EXPECT_EQ(tlv_block_length_used(&cursor), 28u);

    // The first item with the tag wins.
    ASSERT_EQ(tlv_find(&cursor, 5), TLV_OK);
    EXPECT_EQ(tlv_length(&cursor), 3u);
    EXPECT_EQ(tlv_item(&cursor), buf.data());
    EXPECT_EQ(std::memcmp(tlv_value(&cursor), "abc", 3), 0);

    ASSERT_EQ(tlv_find(&cursor, END), TLV_OK);
    EXPECT_EQ(tlv_advance(&cursor), TLV_NOT_FOUND);
    EXPECT_EQ(cursor.current, nullptr);
    EXPECT_EQ(tlv_tag(&cursor), 0xFFFFFFFFu);
    EXPECT_EQ(tlv_length(&cursor), 0u);
    EXPECT_EQ(tlv_item(&cursor), nullptr);
    EXPECT_EQ(tlv_advance(&cursor), TLV_BAD_ARG);
    EXPECT_EQ(tlv_block_length_used(&cursor), 0u);
    EXPECT_EQ(tlv_rewind(&cursor), TLV_OK);
    EXPECT_EQ(tlv_tag(&cursor), 5u);
}

TEST(TlvEdit, EndCannotBeInsertedModifiedOrDeleted)
{
    std::vector<uint8_t> buf = image({{{9, {1, 2, 3}}}}, 28);
    const std::vector<uint8_t> before = buf;
    tlv_cursor_t cursor;
    ASSERT_EQ(tlv_init_cursor_from_size(&cursor, buf.data(), buf.size()), TLV_OK);
    EXPECT_EQ(tlv_insert(&cursor, END, nullptr, 0), TLV_BAD_ARG);
    ASSERT_EQ(tlv_find(&cursor, END), TLV_OK);
    EXPECT_EQ(tlv_modify(&cursor, "x", 1), TLV_BAD_ARG);
    EXPECT_EQ(tlv_delete(&cursor), TLV_BAD_ARG);
    EXPECT_EQ(buf, before);
}

TEST(TlvSegments, LastSegmentEndFollowsTheChain)
{
    // Two empty segments, one with an item, then erased flash.
    std::vector<uint8_t> buf = image({{}, {}, {{3, {1, 2}}}}, 48);
    tlv_cursor_t cursor;
    ASSERT_EQ(tlv_init_cursor_from_size(&cursor, buf.data(), buf.size()), TLV_OK);
    EXPECT_EQ(tlv_last_segment_end(&cursor), words(buf, 5));
    EXPECT_EQ(tlv_block_length_used(&cursor), 4u);

    // A first segment that never reaches END: the block itself.
    std::vector<uint8_t> erased(48, 0xFF);
    tlv_init_cursor_from_size(&cursor, erased.data(), erased.size());
    cursor.current = cursor.block;
    EXPECT_EQ(tlv_last_segment_end(&cursor), words(erased));
}

TEST(TlvReport, WriteItemUpdatesAndReportsFailure)
{
    std::vector<uint8_t> buf = image({{{7, {1}}, {8, {2}}}}, 32);
    tlv_cursor_t cursor;
    ASSERT_EQ(tlv_init_cursor_from_size(&cursor, buf.data(), buf.size()), TLV_OK);
    const uint8_t item[] = {8, 0, 0, 0, 2, 0, 0, 0, 0xAB, 0xCD};
    ASSERT_EQ(write_tlv_item(&cursor, item), TLV_OK);
    EXPECT_EQ(buf, image({{{7, {1}}, {8, {0xAB, 0xCD}}}}, 32));

    const uint8_t big[] = {0x10, 0, 0, 0, 8, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_tlv_item(&cursor, big), TLV_NO_SPACE);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Unexpected error 2 updating TLV tag 0x00000010?\n");
}

TEST(TlvReport, DumpsPrintTheWholeBlockWithoutMovingTheCursor)
{
    std::vector<uint8_t> buf = image({{{0x11, {'h', 'e', 'l', 'l', 'o'}}, {0x12, {}}}}, 64);
    tlv_cursor_t cursor;
    ASSERT_EQ(tlv_init_cursor_from_size(&cursor, buf.data(), buf.size()), TLV_OK);
    ASSERT_EQ(tlv_find(&cursor, 0x12), TLV_OK);
    const tlv_cursor_t before = cursor;
    EXPECT_EQ(captured_dump(cursor), "Tag 0x00000011: 5 bytes (at offset 0x0000)\n"
                                     "  +0000: 68 65 6c 6c   hell\n"
                                     "  +0004: 6f xx xx xx   o\n"
                                     "Tag 0x00000012: 0 bytes (at offset 0x0010)\n"
                                     "Tag 0xeeeeeeee: END (at offset 0x0018)\n"
                                     "=====\n");
    EXPECT_EQ(cursor.current, before.current);

    cursor.current = nullptr;
    testing::internal::CaptureStdout();
    tlv_dump(&cursor);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Tag 0xffffffff: 0 bytes (at offset 0x0000)\n");

    const uint8_t text[] = {'A', 0x7F, ' ', '~', 0x1F, 0x80, 'z'};
    testing::internal::CaptureStdout();
    hexdump(text, sizeof(text), 3);
    hexdump(text, 0, 3);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "  +0000: 41 7f 20   A. \n"
                                                      "  +0003: 7e 1f 80   ~..\n"
                                                      "  +0006: 7a xx xx   z\n");

    std::vector<uint8_t> erased(12, 0xFF);
    tlv_init_cursor_from_size(&cursor, erased.data(), erased.size());
    EXPECT_EQ(captured_dump(cursor), "*** Find end tag: rc=4 ***\n"
                                     "  +0000: ff ff ff ff   ....\n"
                                     "  +0004: ff ff ff ff   ....\n");
}

// Random edits of a buffer holding two segments, against a list of items
// per segment: after every step the buffer must be exactly the model's
// image (so the other segment is intact and freed bytes are 0xFF), and a
// refused edit must leave every byte as it was.
class TlvProperty : public testing::TestWithParam<uint32_t> {};

TEST_P(TlvProperty, RandomEditsOfTwoSegmentsMatchTheModel)
{
    std::mt19937 rng(GetParam());
    constexpr size_t kSize = 256;
    constexpr size_t kLimitWords = kSize / 4 - 1;
    auto random_value = [&] { return random_bytes(rng, rng() % 21); };
    auto random_tag = [&] { return static_cast<uint32_t>(1 + rng() % 5); };

    std::vector<TlvModelSegment> model(2);
    for (auto &segment : model)
        for (unsigned i = rng() % 4; i > 0; i--)
            segment.push_back({random_tag(), random_value()});
    std::vector<uint8_t> buf = image(model, kSize);

    for (int step = 0; step < 300; step++) {
        size_t seg = rng() % 2;
        size_t start = seg == 0 ? 0 : tlv_model_words(model[0]);
        tlv_cursor_t cursor;
        ASSERT_EQ(tlv_init_cursor(&cursor, words(buf, start), words(buf, kLimitWords)), TLV_OK);

        std::vector<TlvModelSegment> expected = model;
        TlvModelSegment &items = expected[seg];
        size_t count = items.size();
        size_t index = count == 0 ? 0 : rng() % count;
        std::vector<uint8_t> value = random_value();
        uint32_t tag = random_tag();
        int op = static_cast<int>(rng() % 5);
        if (count == 0 && (op == 2 || op == 3))
            op = 1;
        if (op == 2 && rng() % 3 == 0) // same word count, different bytes
            value = random_bytes(rng, 4 * ((items[index].value.size() + 3) / 4));

        const std::vector<uint8_t> before = buf;
        int rc = -1;
        switch (op) {
        case 0: // insert before item `index`, or at END
            index = rng() % (count + 1);
            seek(&cursor, index);
            items.insert(items.begin() + static_cast<long>(index), {tag, value});
            rc = tlv_insert(&cursor, tag, value.data(), value.size());
            break;
        case 1:
            index = count;
            items.push_back({tag, value});
            rc = tlv_append(&cursor, tag, value.data(), value.size());
            break;
        case 2:
            seek(&cursor, index);
            items[index].value = value;
            rc = tlv_modify(&cursor, value.data(), value.size());
            break;
        case 3:
            seek(&cursor, index);
            items.erase(items.begin() + static_cast<long>(index));
            rc = tlv_delete(&cursor);
            break;
        case 4: {
            index = count;
            for (size_t i = 0; i < count && index == count; i++)
                if (items[i].tag == tag)
                    index = i;
            if (index < count)
                items[index].value = value;
            else
                items.push_back({tag, value});
            rc = tlv_update_or_append(&cursor, tag, value.data(), value.size());
            break;
        }
        }
        SCOPED_TRACE("step " + std::to_string(step) + " op " + std::to_string(op));

        if (tlv_model_words(expected) > kLimitWords) {
            ASSERT_EQ(rc, TLV_NO_SPACE);
            ASSERT_EQ(buf, before);
            continue;
        }
        ASSERT_EQ(rc, TLV_OK);
        model = expected;
        ASSERT_EQ(buf, image(model, kSize));
        // The cursor stands on the edited item (or, after a delete, on
        // what followed it) and knows where its block ends now.
        ASSERT_EQ(cursor.current, words(buf, start + tlv_model_offset(items, index)));
        ASSERT_EQ(cursor.end, words(buf, start + tlv_model_words(items) - 1));
        ASSERT_EQ(tlv_block_length_used(&cursor), 4 * tlv_model_words(items));
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, TlvProperty, testing::ValuesIn(property_seeds()));

} // namespace
