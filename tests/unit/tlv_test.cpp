#include "lib/tlv/tlv.h"

#include <gtest/gtest.h>

#include "tests/unit/support/tlv_model.h"

namespace {

using Bytes = std::vector<uint8_t>;
uint32_t *words(Bytes &buf, size_t index = 0) { return reinterpret_cast<uint32_t *>(buf.data()) + index; }

TEST(TlvValidate, PositionsAgainstTheLimit)
{
    const struct { const char *what; bool erased; size_t block, limit, current; int rc; } cases[] = {
        {"erased flash", true, 0, 8, 0, TLV_CORRUPT_BLOCK},
        {"item ends exactly at limit", false, 0, 4, 0, TLV_CORRUPT_BLOCK},
        {"item ends one word before limit", false, 0, 5, 0, TLV_OK},
        {"header cut by limit", false, 0, 1, 0, TLV_CORRUPT_BLOCK},
        {"END on the last usable word", false, 0, 5, 4, TLV_OK},
        {"current at limit", false, 0, 4, 4, TLV_BAD_ARG},
        {"current below block", false, 1, 5, 0, TLV_BAD_ARG},
    };
    const Bytes item = tlv_model_image({{{7, Bytes(8, 1)}}}, 64); // END in word 4
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Bytes buf = c.erased ? Bytes(64, 0xFF) : item;
        tlv_cursor_t cursor;
        tlv_init_cursor(&cursor, words(buf, c.block), words(buf, c.limit));
        cursor.current = words(buf, c.current);
        EXPECT_EQ((std::tuple{tlv_validate_state(&cursor), cursor.current == nullptr, cursor.end}),
                  (std::tuple{c.rc, c.rc != TLV_OK, c.rc == TLV_OK && c.current == 4 ? words(buf, 4) : nullptr}));
    }
}

TEST(TlvWalk, EmptySegmentsEndAndLeavingTheBlock)
{
    Bytes buf = tlv_model_image({{}, {}, {{3, {1, 2}}}}, 64); // then erased flash
    const Bytes before = buf;
    tlv_cursor_t cursor;
    ASSERT_EQ(tlv_init_cursor_from_size(&cursor, buf.data(), buf.size()), TLV_OK);
    EXPECT_EQ((std::tuple{cursor.limit, tlv_last_segment_end(&cursor), tlv_block_length_used(&cursor)}),
              (std::tuple{words(buf, 15), words(buf, 5), 4u}));
    EXPECT_EQ((std::tuple{tlv_insert(&cursor, TLV_TAG_END, nullptr, 0), tlv_insert(&cursor, 9, nullptr, 4)}),
              (std::tuple{TLV_BAD_ARG, TLV_BAD_ARG}));
    const uint8_t big[40] = {0x10, 0, 0, 0, 32}; // 10 words: the chain would end past the limit
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_tlv_item(&cursor, big), TLV_NO_SPACE);
    const uint8_t end_item[8] = {0xEE, 0xEE, 0xEE, 0xEE}; // the codes are printed: their numbers matter
    EXPECT_EQ(write_tlv_item(&cursor, end_item), TLV_BAD_ARG);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unexpected error 2 updating TLV tag 0x00000010?\n"
                                                      "Unexpected error 3 updating TLV tag 0xeeeeeeee?\n");
    EXPECT_EQ(tlv_find(&cursor, 3), TLV_NOT_FOUND);
    cursor.current = words(buf, 2); // an item of a later segment, past this block's END
    EXPECT_EQ(tlv_delete(&cursor), TLV_BAD_ARG);
    ASSERT_EQ(tlv_find(&cursor, TLV_TAG_END), TLV_OK);
    EXPECT_EQ((std::tuple{tlv_length(&cursor), tlv_item(&cursor), tlv_value(&cursor), buf}),
              (std::tuple{0u, nullptr, nullptr, before}));
    // Past END: no item, a second step refused, a rewind back to the start.
    EXPECT_EQ((std::tuple{tlv_advance(&cursor), tlv_tag(&cursor), tlv_length(&cursor), tlv_advance(&cursor),
                          tlv_rewind(&cursor), tlv_tag(&cursor)}),
              (std::tuple{TLV_NOT_FOUND, 0xFFFFFFFFu, 0u, TLV_BAD_ARG, TLV_OK, TLV_TAG_END}));
}

TEST(TlvDamage, DumpsStopAtTheLimitAndEditsAreRefused)
{
    Bytes buf = tlv_model_image({{{0x41, {'a', 'b'}}}}, 16);
    store_le32(&buf[4], 0x1000);
    tlv_cursor_t cursor = {words(buf), words(buf), nullptr, words(buf, 3)};
    testing::internal::CaptureStdout();
    tlv_dump_all(&cursor); // on a copy: the cursor stays on the item
    tlv_dump(&cursor);
    EXPECT_EQ(tlv_modify(&cursor, "x", 1), TLV_CORRUPT_BLOCK); // and leaves the block
    tlv_dump(&cursor);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "*** Find end tag: rc=4 ***\n  +0000: 41 00 00 00   A...\n"
              "  +0004: 00 10 00 00   ....\n  +0008: 61 62 00 00   ab..\n"
              "Tag 0x00000041: 4096 bytes (at offset 0x0000)\n  +0000: 61 62 00 00   ab..\n"
              "Tag 0xffffffff: 0 bytes (at offset 0x0000)\n");
    // A damaged item further on refuses an edit at a sound one before it, and the failed walk drops the position.
    buf = tlv_model_image({{{0x41, {'a'}}, {0x42, {'b'}}}}, 32);
    store_le32(&buf[16], 0x1000);
    const Bytes before = buf;
    ASSERT_EQ(tlv_init_cursor_from_size(&cursor, buf.data(), buf.size()), TLV_OK);
    EXPECT_EQ((std::tuple{tlv_insert(&cursor, 0x43, "c", 1), tlv_tag(&cursor)}),
              (std::tuple{TLV_CORRUPT_BLOCK, 0xFFFFFFFFu}));
    EXPECT_EQ(buf, before);
}

// Random edits of two segments, mostly through long-lived cursors another edit moved, match the model.
class TlvProperty : public testing::TestWithParam<uint32_t> {};

TEST_P(TlvProperty, RandomEditsThroughLiveCursorsMatchTheModel)
{
    std::mt19937 rng(GetParam());
    constexpr size_t kSize = 256, kLimitWords = kSize / 4 - 1;
    std::vector<TlvModelSegment> model(2);
    Bytes buf = tlv_model_image(model, kSize);
    tlv_cursor_t live[3], fresh;
    for (auto &c : live)
        ASSERT_EQ(tlv_init_cursor(&c, words(buf), words(buf, kLimitWords)), TLV_OK);
    for (int step = 0; step < 300; step++) {
        const size_t seg = rng() % 2, start = seg == 0 ? 0 : tlv_model_words(model[0]);
        tlv_cursor_t &cursor = seg == 0 ? live[rng() % 3] : fresh;
        size_t at = rng() % (model[seg].size() + 1);
        if (seg == 1 || rng() % 2 == 0) { // stand on item `at` (or END)
            ASSERT_EQ(tlv_init_cursor(&fresh, words(buf, start), words(buf, kLimitWords)), TLV_OK);
            ASSERT_EQ(tlv_rewind(&cursor), TLV_OK);
            for (size_t i = 0; i < at; i++)
                ASSERT_EQ(tlv_advance(&cursor), TLV_OK);
        } else { // or wherever the last edit through it left it
            at = cursor.current == nullptr ? std::string::npos
                                           : tlv_model_index(model[0], static_cast<size_t>(cursor.current - words(buf)));
        }
        TlvModelEdit e = tlv_model_pick(rng, model[seg], at);
        const uint8_t *data = e.value.data();
        if (rng() % 3 == 0) { // bytes of the buffer itself: the edited item's own value, or a run of the chain
            // (often at its tail, where a growing edit moves it) or of the erased words past it
            const size_t span = std::min(kSize, 4 * (tlv_model_words(model[0]) + tlv_model_words(model[1]) + 2));
            const bool own = e.index < model[seg].size() && rng() % 2;
            const size_t from = own ? 4 * (start + tlv_model_offset(model[seg], e.index) + 2)
                                    : span - 1 - rng() % std::min<size_t>(span, rng() % 2 ? span : 16);
            e.value.assign(buf.begin() + from, buf.begin() + from + (own ? model[seg][e.index].value.size()
                                                                         : std::min<size_t>(rng() % 24, span - from)));
            data = buf.data() + from;
        }
        SCOPED_TRACE("step " + std::to_string(step) + " op " + std::to_string(e.op) + " at " + std::to_string(at));
        std::vector<TlvModelSegment> expected = model;
        const bool applies = tlv_model_apply(expected[seg], e);
        const int rc = e.op == 0   ? tlv_insert(&cursor, e.tag, data, e.value.size())
                       : e.op == 1 ? tlv_append(&cursor, e.tag, data, e.value.size())
                       : e.op == 2 ? tlv_modify(&cursor, data, e.value.size())
                       : e.op == 3 ? tlv_delete(&cursor)
                                   : tlv_update_or_append(&cursor, e.tag, data, e.value.size());
        const bool fits = tlv_model_words(expected[0]) + tlv_model_words(expected[1]) <= kLimitWords;
        ASSERT_EQ(rc, !applies ? TLV_BAD_ARG : fits ? TLV_OK : TLV_NO_SPACE);
        if (rc == TLV_OK)
            model = expected;
        ASSERT_EQ(buf, tlv_model_image(model, kSize)); // unchanged when refused
        if (rc != TLV_OK)
            continue;
        // The cursor knows END and stands on the edited item (or on what followed a deleted one).
        ASSERT_EQ(cursor.end, words(buf, start + tlv_model_words(model[seg]) - 1));
        ASSERT_EQ(tlv_block_length_used(&cursor), 4 * tlv_model_words(model[seg]));
        ASSERT_EQ(cursor.current, words(buf, start + tlv_model_offset(model[seg], e.index)));
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, TlvProperty, testing::ValuesIn(property_seeds()));

} // namespace
