// The TLV block walk and its edits, checked against a plain list of the
// first segment's items: a successful edit does to the list what it says,
// keeps later segments intact, and a refused one changes no byte.
#include <cstring>
#include <vector>

#include "lib/tlv/tlv.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/fuzz_target.h"

namespace {

struct Item {
    uint32_t tag;
    std::vector<uint8_t> value;
    bool operator==(const Item &) const = default;
};
using Segment = std::vector<Item>;

// The segment chain as tlv_last_segment_end walks it, each item checked
// to lie inside the usable area.
std::vector<Segment> walk(uint32_t *block, uint32_t *limit)
{
    std::vector<Segment> chain;
    for (uint32_t *segment = block;;) {
        tlv_cursor_t c;
        if (tlv_init_cursor(&c, segment, limit) != TLV_OK || tlv_require_end(&c) != TLV_OK)
            return chain;
        Segment items;
        for (int rc = tlv_rewind(&c); rc == TLV_OK && tlv_tag(&c) != TLV_TAG_END; rc = tlv_advance(&c)) {
            const uint8_t *value = tlv_value(&c);
            FUZZ_CHECK(value != nullptr && tlv_length(&c) <= size_t(reinterpret_cast<uint8_t *>(limit) - value));
            items.push_back({tlv_tag(&c), {value, value + tlv_length(&c)}});
        }
        FUZZ_CHECK(c.end != nullptr && c.end < limit);
        chain.push_back(items);
        segment = c.end + 1;
    }
}

} // namespace

QS_FUZZ_TARGET(tlv)
{
    FuzzInput in(data, size);
    const uint8_t op = in.byte() % 5;
    const uint8_t index = in.byte();
    const uint32_t tag = in.word();
    const size_t value_len = in.byte();
    // A value from the buffer itself, or bytes of its own.
    const bool value_inside = in.byte() & 1;
    std::vector<uint32_t> words = in.rest_words();
    const size_t bytes = in.rest_size();
    tlv_cursor_t cursor;
    if (tlv_init_cursor_from_size(&cursor, words.data(), bytes) != TLV_OK)
        return;
    const std::vector<Segment> before = walk(cursor.block, cursor.limit);
    if (before.empty())
        return;

    std::vector<uint8_t> own(value_len, 0x5A);
    const uint8_t *buf = reinterpret_cast<const uint8_t *>(words.data());
    const uint8_t *value = value_inside && value_len <= bytes ? buf + (bytes - value_len) : own.data();
    const std::vector<uint8_t> value_copy(value, value + value_len);

    Segment model = before[0];
    size_t at = index % (model.size() + 1);
    for (size_t i = 0; i < at; ++i)
        tlv_advance(&cursor);
    const std::vector<uint32_t> snapshot = words;
    int rc = TLV_OK;
    switch (op) {
    case 0:
        if (tag == TLV_TAG_END)
            return;
        rc = tlv_insert(&cursor, tag, value, value_len);
        model.insert(model.begin() + at, Item{tag, value_copy});
        break;
    case 1:
        if (at == model.size())
            return;
        rc = tlv_modify(&cursor, value, value_len);
        model[at].value = value_copy;
        break;
    case 2:
        if (at == model.size())
            return;
        rc = tlv_delete(&cursor);
        model.erase(model.begin() + at);
        break;
    default: {
        if (tag == TLV_TAG_END)
            return;
        size_t found = 0;
        while (found < model.size() && model[found].tag != tag)
            ++found;
        rc = tlv_update_or_append(&cursor, tag, value, value_len);
        if (found < model.size())
            model[found].value = value_copy;
        else
            model.push_back(Item{tag, value_copy});
    }
    }
    if (rc != TLV_OK) {
        FUZZ_CHECK(words == snapshot);
        return;
    }
    const std::vector<Segment> after = walk(cursor.block, cursor.limit);
    FUZZ_CHECK(after.size() >= before.size());
    FUZZ_CHECK(after[0] == model);
    for (size_t i = 1; i < before.size(); ++i)
        FUZZ_CHECK(after[i] == before[i]);
}
