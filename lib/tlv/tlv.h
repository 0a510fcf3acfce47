// TLV blocks: tagged items in 32-bit little-endian words, closed by an END
// word.  The functions work in place on a caller's buffer through a cursor
// and keep later blocks of the same buffer (segments) intact across edits.
// They allocate only to copy aside a value that lies where an edit moves
// or writes bytes (and refuse the edit with TLV_NO_SPACE, changing
// nothing, when that memory cannot be had).
#pragma once

#include <cstddef>
#include <cstdint>

// Result codes of every operation that can fail.
enum tlv_result : int {
    TLV_OK = 0,
    TLV_NOT_FOUND = 1,     // no such tag before END, or advanced past END
    TLV_NO_SPACE = 2,      // the last END word would move past the limit
    TLV_BAD_ARG = 3,       // cursor outside [block, limit), item op on END, END tag inserted
    TLV_CORRUPT_BLOCK = 4, // an item runs past the limit
};

inline constexpr uint32_t TLV_TAG_END = 0xEEEEEEEEu;
// What tlv_tag answers for a cursor that has left the block.
inline constexpr uint32_t TLV_TAG_INVALID = 0xFFFFFFFFu;

typedef struct tlv_cursor_s {
    uint32_t *block;   // first word of the block (segment)
    uint32_t *current; // item the cursor stands on; null once it has left the block
    uint32_t *end;     // the block's END word once seen; null until then
    uint32_t *limit;   // first word past the usable area
} tlv_cursor_t;

// Words an item with a value of `len` bytes occupies (tag, length, padded value).
inline constexpr uint32_t tlv_n_words_for_len(uint32_t len)
{
    return 2 + len / 4 + (len % 4 != 0 ? 1 : 0);
}
uint32_t tlv_n_words_for_item(const uint32_t *item);
// Only meaningful for an item that has passed tlv_validate_state.
uint32_t *tlv_next_item_ptr(uint32_t *item);

void tlv_init_block(uint32_t *block);
int tlv_init_cursor(tlv_cursor_t *cursor, uint32_t *block, uint32_t *limit);
// The last word of `size` stays outside the limit.
int tlv_init_cursor_from_size(tlv_cursor_t *cursor, void *block, size_t size);

int tlv_validate_state(tlv_cursor_t *cursor);
int tlv_rewind(tlv_cursor_t *cursor);
int tlv_advance(tlv_cursor_t *cursor);
int tlv_find(tlv_cursor_t *cursor, uint32_t tag);
int tlv_require_end(tlv_cursor_t *cursor);

uint32_t tlv_tag(const tlv_cursor_t *cursor);
size_t tlv_length(const tlv_cursor_t *cursor);
uint8_t *tlv_value(const tlv_cursor_t *cursor);
uint8_t *tlv_item(const tlv_cursor_t *cursor);

size_t tlv_block_length_used(tlv_cursor_t *cursor);
uint32_t *tlv_last_segment_end(tlv_cursor_t *cursor);

// Edits find END afresh and refuse (TLV_BAD_ARG) a position that is not an
// item, or END, of the block as it is now, so that a cursor made stale by
// another cursor's edit cannot write in the wrong place.  The value may lie
// anywhere, the same buffer included.
int tlv_insert(tlv_cursor_t *cursor, uint32_t tag, const void *data, size_t len);
int tlv_append(tlv_cursor_t *cursor, uint32_t tag, const void *data, size_t len);
int tlv_modify(tlv_cursor_t *cursor, const void *data, size_t len);
int tlv_update_or_append(tlv_cursor_t *cursor, uint32_t tag, const void *data, size_t len);
int tlv_delete(tlv_cursor_t *cursor);

// Update-or-append from a complete item image (tag word, length word,
// value); failures are reported on standard error.
int write_tlv_item(tlv_cursor_t *cursor, const void *item_with_hdr);

void tlv_dump(const tlv_cursor_t *cursor);
void tlv_dump_all(const tlv_cursor_t *cursor);
// Rows of `width` (1 to 64) bytes with offsets and a text column.
void hexdump(const void *data, size_t len, unsigned width);
