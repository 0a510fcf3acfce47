#include "lib/tlv/tlv.h"

#include <libintl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <memory>
#include <new>

#include "lib/utils/byteorder.h"
#include "lib/utils/qs_assert.h"

namespace {

// Words are read and written bytewise: the buffer is little-endian whatever
// the host, and callers' buffers need not be word aligned.
uint32_t read_word(const uint32_t *p)
{
    return load_le32(reinterpret_cast<const uint8_t *>(p));
}

void write_word(uint32_t *p, uint32_t value)
{
    store_le32(reinterpret_cast<uint8_t *>(p), value);
}

uintptr_t addr(const void *p)
{
    return reinterpret_cast<uintptr_t>(p);
}

// Whole words from `from` up to `to`; 0 when `to` is not above `from`.
// Addresses are compared as integers so that no pointer is ever formed
// past the buffer, whatever a corrupt length word says.
size_t words_between(const uint32_t *from, const uint32_t *to)
{
    return addr(to) > addr(from) ? (addr(to) - addr(from)) / sizeof(uint32_t) : 0;
}

bool is_end_word(const uint32_t *p)
{
    return read_word(p) == TLV_TAG_END;
}

// Moves `count` words from `from` to `to`; the ranges may overlap.
void move_words(uint32_t *to, const uint32_t *from, size_t count)
{
    std::memmove(to, from, count * sizeof(uint32_t));
}

// Erased-flash value for space an edit gives back at the chain's tail.
void erase_words(uint32_t *from, size_t count)
{
    std::memset(from, 0xFF, count * sizeof(uint32_t));
}

// Whether the END word of the last segment can move up by `grow` words and
// still lie below the limit.
bool chain_can_grow(const tlv_cursor_t *cursor, const uint32_t *last_end, size_t grow)
{
    return words_between(last_end, cursor->limit) >= 1 + grow;
}

// Stores one item at the cursor; the padding bytes of the value come out zero.
uint32_t *tlv_write(tlv_cursor_t *cursor, uint32_t tag, const void *data, uint32_t len)
{
    uint32_t *item = cursor->current;
    uint32_t *next = item + tlv_n_words_for_len(len);
    write_word(item, tag);
    write_word(item + 1, len);
    uint8_t *value = reinterpret_cast<uint8_t *>(item + 2);
    if (len != 0)
        std::memmove(value, data, len);
    std::memset(value + len, 0, addr(next) - addr(value) - len);
    return next;
}

// A value may lie in the same buffer, even in the item it replaces.  If it
// lies in [from, to), the words the edit moves or writes, it is copied aside
// first so that it is not read after it has moved.  Null when there is no
// memory for the copy: the edit then changes nothing.
const void *value_outside(const void *data, size_t len, const uint32_t *from, const uint32_t *to,
                          std::unique_ptr<uint8_t[]> &aside)
{
    if (len == 0 || addr(data) + len <= addr(from) || addr(data) >= addr(to))
        return data;
    aside.reset(new (std::nothrow) uint8_t[len]);
    if (!aside)
        return nullptr;
    std::memcpy(aside.get(), data, len);
    return aside.get();
}

bool bad_value(const void *data, size_t len)
{
    return len > UINT32_MAX || (len != 0 && data == nullptr);
}

} // namespace

uint32_t tlv_n_words_for_item(const uint32_t *item)
{
    return tlv_n_words_for_len(read_word(item + 1));
}

uint32_t *tlv_next_item_ptr(uint32_t *item)
{
    return item + static_cast<size_t>(tlv_n_words_for_item(item));
}

void tlv_init_block(uint32_t *block)
{
    write_word(block, TLV_TAG_END);
}

int tlv_init_cursor(tlv_cursor_t *cursor, uint32_t *block, uint32_t *limit)
{
    cursor->block = block;
    cursor->current = block;
    cursor->end = nullptr;
    cursor->limit = limit;
    return tlv_validate_state(cursor);
}

int tlv_init_cursor_from_size(tlv_cursor_t *cursor, void *block, size_t size)
{
    uint32_t *words = static_cast<uint32_t *>(block);
    // A size too small to hold even the kept-back word leaves no usable
    // area instead of a limit below the block.
    size_t usable = size / sizeof(uint32_t);
    uint32_t *limit = usable > 0 ? words + (usable - 1) : words;
    return tlv_init_cursor(cursor, words, limit);
}

int tlv_validate_state(tlv_cursor_t *cursor)
{
    uint32_t *current = cursor->current;
    if (current == nullptr || addr(current) < addr(cursor->block) ||
        addr(current) >= addr(cursor->limit)) {
        cursor->current = nullptr;
        return TLV_BAD_ARG;
    }
    if (is_end_word(current)) {
        cursor->end = current;
        return TLV_OK;
    }
    size_t room = words_between(current, cursor->limit);
    if (room < 2) {
        cursor->current = nullptr;
        return TLV_CORRUPT_BLOCK;
    }
    // At least one word must follow the item inside the limit, for END.
    if (tlv_n_words_for_item(current) > room - 1) {
        cursor->current = nullptr;
        return TLV_CORRUPT_BLOCK;
    }
    return TLV_OK;
}

int tlv_rewind(tlv_cursor_t *cursor)
{
    cursor->current = cursor->block;
    return tlv_validate_state(cursor);
}

int tlv_advance(tlv_cursor_t *cursor)
{
    int rc = tlv_validate_state(cursor);
    if (rc != TLV_OK)
        return rc;
    // The word itself says whether this is END: `end` may be stale when
    // another cursor has edited the block.
    if (is_end_word(cursor->current)) {
        cursor->current = nullptr;
        return TLV_NOT_FOUND;
    }
    cursor->current = tlv_next_item_ptr(cursor->current);
    return tlv_validate_state(cursor);
}

int tlv_find(tlv_cursor_t *cursor, uint32_t tag)
{
    int rc = tlv_rewind(cursor);
    while (rc == TLV_OK) {
        if (read_word(cursor->current) == tag)
            return TLV_OK;
        rc = tlv_advance(cursor);
    }
    return rc;
}

namespace {

// Walks the block from its start to END, which it records as the cursor's
// `end`, and sets `*on_item`, if given, when the cursor's position is one of
// the items (or END) on the way.  The cursor stays where it was; after a
// failed walk its position is null.
int find_end_afresh(tlv_cursor_t *cursor, bool *on_item)
{
    uint32_t *saved = cursor->current;
    int rc = tlv_rewind(cursor);
    while (rc == TLV_OK) {
        if (on_item != nullptr && cursor->current == saved)
            *on_item = true;
        if (is_end_word(cursor->current)) {
            cursor->current = saved;
            return TLV_OK;
        }
        rc = tlv_advance(cursor);
    }
    return rc;
}

} // namespace

// END is looked for every time: a copy of this cursor, or any other cursor
// on the buffer, may have moved it since this one last saw it.
int tlv_require_end(tlv_cursor_t *cursor)
{
    return find_end_afresh(cursor, nullptr);
}

uint32_t tlv_tag(const tlv_cursor_t *cursor)
{
    if (cursor->current == nullptr)
        return TLV_TAG_INVALID;
    return read_word(cursor->current);
}

size_t tlv_length(const tlv_cursor_t *cursor)
{
    if (cursor->current == nullptr || is_end_word(cursor->current))
        return 0;
    return read_word(cursor->current + 1);
}

uint8_t *tlv_value(const tlv_cursor_t *cursor)
{
    if (cursor->current == nullptr || is_end_word(cursor->current))
        return nullptr;
    return reinterpret_cast<uint8_t *>(cursor->current + 2);
}

uint8_t *tlv_item(const tlv_cursor_t *cursor)
{
    if (cursor->current == nullptr || is_end_word(cursor->current))
        return nullptr;
    return reinterpret_cast<uint8_t *>(cursor->current);
}

size_t tlv_block_length_used(tlv_cursor_t *cursor)
{
    if (tlv_validate_state(cursor) != TLV_OK || tlv_require_end(cursor) != TLV_OK)
        return 0;
    return words_between(cursor->block, cursor->end) * sizeof(uint32_t) + sizeof(uint32_t);
}

uint32_t *tlv_last_segment_end(tlv_cursor_t *cursor)
{
    uint32_t *last_end = cursor->block;
    uint32_t *segment = cursor->block;
    tlv_cursor_t walker;
    for (;;) {
        if (tlv_init_cursor(&walker, segment, cursor->limit) != TLV_OK)
            break;
        if (tlv_require_end(&walker) != TLV_OK)
            break;
        last_end = walker.end;
        // END lies below the limit, so the word after it is at most the limit.
        segment = walker.end + 1;
    }
    return last_end;
}

namespace {

enum class EditTarget { position, item };

// Every edit starts alike: a position on an item of the block as it is now
// (or END, when inserting), acceptable arguments, END found afresh, and the
// end of the segment chain that the edit moves along.  Another cursor's edit
// may have left this one inside an item or past END: such a position is
// refused before anything reads it as an item.
int begin_edit(tlv_cursor_t *cursor, EditTarget target, bool bad_args, uint32_t **last_end)
{
    tlv_cursor_t walker = *cursor;
    bool on_item = false;
    int walked = find_end_afresh(&walker, &on_item);
    if (walked == TLV_OK && !on_item)
        return TLV_BAD_ARG;
    int rc = tlv_validate_state(cursor);
    if (rc != TLV_OK)
        return rc;
    if (bad_args || (target == EditTarget::item && is_end_word(cursor->current)))
        return TLV_BAD_ARG;
    if (walked != TLV_OK) {
        cursor->current = nullptr;
        return walked;
    }
    cursor->end = walker.end;
    *last_end = tlv_last_segment_end(cursor);
    return TLV_OK;
}

} // namespace

int tlv_insert(tlv_cursor_t *cursor, uint32_t tag, const void *data, size_t len)
{
    uint32_t *last_end;
    int rc = begin_edit(cursor, EditTarget::position, tag == TLV_TAG_END || bad_value(data, len), &last_end);
    if (rc != TLV_OK)
        return rc;

    size_t grow = tlv_n_words_for_len(static_cast<uint32_t>(len));
    if (!chain_can_grow(cursor, last_end, grow))
        return TLV_NO_SPACE;

    uint32_t *current = cursor->current;
    std::unique_ptr<uint8_t[]> aside;
    data = value_outside(data, len, current, last_end + 1 + grow, aside);
    if (data == nullptr && len != 0)
        return TLV_NO_SPACE;
    move_words(current + grow, current, words_between(current, last_end) + 1);
    cursor->end += grow;
    tlv_write(cursor, tag, data, static_cast<uint32_t>(len));
    return TLV_OK;
}

int tlv_append(tlv_cursor_t *cursor, uint32_t tag, const void *data, size_t len)
{
    int rc = tlv_find(cursor, TLV_TAG_END);
    if (rc != TLV_OK)
        return rc;
    return tlv_insert(cursor, tag, data, len);
}

int tlv_modify(tlv_cursor_t *cursor, const void *data, size_t len)
{
    uint32_t *last_end;
    int rc = begin_edit(cursor, EditTarget::item, bad_value(data, len), &last_end);
    if (rc != TLV_OK)
        return rc;

    uint32_t *current = cursor->current;
    uint32_t tag = read_word(current);
    size_t old_words = tlv_n_words_for_item(current);
    size_t new_words = tlv_n_words_for_len(static_cast<uint32_t>(len));

    // Everything after the item, through the last END word, follows it.
    size_t tail_words = words_between(current + old_words, last_end) + 1;
    size_t grow = new_words > old_words ? new_words - old_words : 0;
    if (!chain_can_grow(cursor, last_end, grow))
        return TLV_NO_SPACE;
    std::unique_ptr<uint8_t[]> aside;
    data = value_outside(data, len, current, last_end + 1 + grow, aside);
    if (data == nullptr && len != 0)
        return TLV_NO_SPACE;
    if (grow != 0) {
        move_words(current + new_words, current + old_words, tail_words);
        cursor->end += grow;
    } else if (new_words < old_words) {
        size_t shrink = old_words - new_words;
        move_words(current + new_words, current + old_words, tail_words);
        erase_words(last_end + 1 - shrink, shrink);
        cursor->end -= shrink;
    }
    tlv_write(cursor, tag, data, static_cast<uint32_t>(len));
    return TLV_OK;
}

int tlv_update_or_append(tlv_cursor_t *cursor, uint32_t tag, const void *data, size_t len)
{
    int rc = tlv_find(cursor, tag);
    if (rc == TLV_OK)
        return tlv_modify(cursor, data, len);
    if (rc == TLV_NOT_FOUND)
        return tlv_append(cursor, tag, data, len);
    return rc;
}

int tlv_delete(tlv_cursor_t *cursor)
{
    uint32_t *last_end;
    int rc = begin_edit(cursor, EditTarget::item, false, &last_end);
    if (rc != TLV_OK)
        return rc;

    uint32_t *current = cursor->current;
    size_t item_words = tlv_n_words_for_item(current);
    move_words(current, current + item_words, words_between(current + item_words, last_end) + 1);
    erase_words(last_end + 1 - item_words, item_words);
    cursor->end -= item_words;
    return TLV_OK;
}

int write_tlv_item(tlv_cursor_t *cursor, const void *item_with_hdr)
{
    const uint8_t *item = static_cast<const uint8_t *>(item_with_hdr);
    uint32_t tag = load_le32(item);
    uint32_t len = load_le32(item + 4);
    int rc = tlv_update_or_append(cursor, tag, item + 8, len);
    if (rc != TLV_OK)
        std::fprintf(stderr, gettext("Unexpected error %d updating TLV tag 0x%08x?\n"), rc, tag);
    return rc;
}

void hexdump(const void *data, size_t len, unsigned width)
{
    QS_ASSERT(width > 0 && width <= 64);
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    for (size_t row = 0; row < len; row += width) {
        std::string text;
        std::printf("  +%04zx:", row);
        for (size_t i = row; i < row + width; i++) {
            if (i < len) {
                std::printf(" %02x", bytes[i]);
                text += (bytes[i] >= 0x20 && bytes[i] <= 0x7E) ? static_cast<char>(bytes[i]) : '.';
            } else {
                std::printf(" xx");
            }
        }
        std::printf("   %s\n", text.c_str());
    }
}

void tlv_dump(const tlv_cursor_t *cursor)
{
    uint32_t tag = tlv_tag(cursor);
    unsigned offset = cursor->current == nullptr
                          ? 0
                          : static_cast<unsigned>(addr(cursor->current) - addr(cursor->block));
    if (tag == TLV_TAG_END) {
        std::printf(gettext("Tag 0x%08x: END (at offset 0x%04x)\n"), tag, offset);
        return;
    }
    size_t len = tlv_length(cursor);
    std::printf(gettext("Tag 0x%08x: %u bytes (at offset 0x%04x)\n"), tag,
                static_cast<unsigned>(len), offset);
    if (cursor->current == nullptr)
        return;
    // A damaged length word must not make the dump read past the buffer.
    size_t available = words_between(cursor->current + 2, cursor->limit) * sizeof(uint32_t);
    hexdump(tlv_value(cursor), len < available ? len : available, 4);
}

void tlv_dump_all(const tlv_cursor_t *cursor)
{
    tlv_cursor_t walker = *cursor;
    int rc = tlv_find(&walker, TLV_TAG_END);
    if (rc != TLV_OK) {
        std::printf(gettext("*** Find end tag: rc=%d ***\n"), rc);
        hexdump(walker.block, words_between(walker.block, walker.limit) * sizeof(uint32_t), 4);
        return;
    }
    rc = tlv_rewind(&walker);
    while (rc == TLV_OK) {
        tlv_dump(&walker);
        rc = tlv_advance(&walker);
    }
    if (rc != TLV_NOT_FOUND)
        std::printf(gettext("*** WARNING: rc=%d\n"), rc);
    std::printf("=====\n");
}
