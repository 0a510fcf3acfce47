// TLV edits against a plain list: a success does what it says and keeps later segments, a refusal nothing.
#include "lib/tlv/tlv.h"
#include "tests/fuzz/fuzz_target.h"

namespace {

struct Item {
    uint32_t tag;
    std::vector<uint8_t> value;
    bool operator==(const Item &) const = default;
};
using Segment = std::vector<Item>;

// The segment chain as tlv_last_segment_end walks it, each item inside the usable area.
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
    const uint8_t op = in.byte() % 5, index = in.byte();
    const uint32_t tag = in.word();
    const size_t value_len = in.byte();
    const bool value_inside = in.byte() & 1; // a value from the buffer itself, or bytes of its own
    size_t bytes;
    std::vector<uint32_t> words = in.words(&bytes);
    tlv_cursor_t cursor;
    if (tlv_init_cursor_from_size(&cursor, words.data(), bytes) != TLV_OK)
        return;
    const std::vector<Segment> before = walk(cursor.block, cursor.limit);
    if (before.empty())
        return;
    std::vector<uint8_t> own(value_len, 0x5A);
    const uint8_t *buf = reinterpret_cast<const uint8_t *>(words.data());
    const uint8_t *value = value_inside && value_len <= bytes ? buf + (bytes - value_len) : own.data();
    const Item item{tag, {value, value + value_len}};

    Segment model = before[0];
    const size_t at = index % (model.size() + 1);
    // Ops 1 and 2 work on the item at `at`, the others name a tag.
    if (op == 1 || op == 2 ? at == model.size() : tag == TLV_TAG_END)
        return;
    for (size_t i = 0; i < at; ++i)
        tlv_advance(&cursor);
    const std::vector<uint32_t> snapshot = words;
    const auto found = std::find_if(model.begin(), model.end(), [tag](const Item &i) { return i.tag == tag; });
    int rc;
    if (op == 0) {
        rc = tlv_insert(&cursor, tag, value, value_len);
        model.insert(model.begin() + at, item);
    } else if (op == 1) {
        rc = tlv_modify(&cursor, value, value_len);
        model[at].value = item.value;
    } else if (op == 2) {
        rc = tlv_delete(&cursor);
        model.erase(model.begin() + at);
    } else {
        rc = tlv_update_or_append(&cursor, tag, value, value_len);
        if (found != model.end())
            found->value = item.value;
        else
            model.push_back(item);
    }
    if (rc != TLV_OK) {
        FUZZ_CHECK(words == snapshot);
        return;
    }
    const std::vector<Segment> after = walk(cursor.block, cursor.limit);
    FUZZ_CHECK(after.size() >= before.size() && after[0] == model);
    FUZZ_CHECK(std::equal(before.begin() + 1, before.end(), after.begin() + 1));
}
