#include "lib/utils/asn_parser.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <libintl.h>

#include "lib/utils/qs_assert.h"

namespace {

const uint8_t *asn_buffer = nullptr;
size_t asn_buffer_len = 0;
uint8_t buffer[ASN_SCRATCH_SIZE];

static_assert(ASN_HEADER_WINDOW <= sizeof(buffer));

__attribute__((format(printf, 1, 2))) void asn_print_error(const char *format, ...)
{
    fputs(gettext("ASN: Error: "), stdout);
    va_list args;
    va_start(args, format);
    vfprintf(stdout, format, args);
    va_end(args);
    fputc('\n', stdout);
}

// The walk over one schema: the current container and the saved outer ones.
struct asn_walker {
    asn_level_status_t current;
    asn_level_status_t stack[ASN_STACK_DEPTH];
    size_t level = 0;
    // Non-zero while the inner TLV of an explicit tag is awaited: its size.
    uint32_t explicit_size = 0;
    const asn_seq_item_t *item = nullptr;
    bool table_handler_pending = false;
    asn_handler_t table_handler = nullptr;

    void push()
    {
        // The nesting depth is fixed by the schema, never by the input.
        QS_ASSERT(level < ASN_STACK_DEPTH);
        stack[level++] = current;
    }

    void enter(const asn_tlv_location_t &tlv, uint8_t action, const asn_seq_item_t *next)
    {
        current.tlv_loc = tlv;
        current.action = action;
        current.cursor = tlv.hdr_size;
        current.seq_item = next;
    }
};

const asn_seq_item_t *asn_parse_go_to_next_seq_item(const asn_seq_item_t *item)
{
    return (item->flags & ASN_FLAG_LAST_ITEM) ? nullptr : item + 1;
}

// A finished SEQUENCE must not leave required items unmatched.
asn_error_t asn_check_remaining_items(const asn_seq_item_t *item)
{
    for (; item != nullptr; item = asn_parse_go_to_next_seq_item(item)) {
        if (!(item->flags & ASN_FLAG_OPTIONAL)) {
            asn_print_error(gettext("Missing item of structure"));
            return ASN_ERROR_WRONG_CONTENT;
        }
    }
    return ASN_ERROR_NONE;
}

// Finds the schema item for a TLV, passing over absent optional items.
asn_error_t asn_match_item(const asn_seq_item_t *next, uint8_t tag, const asn_seq_item_t **match)
{
    if (next == nullptr) {
        asn_print_error(gettext("Unexpected item in sequence"));
        return ASN_ERROR_WRONG_CONTENT;
    }
    for (const asn_seq_item_t *item = next;; ++item) {
        if (item->tag == tag) {
            *match = item;
            return ASN_ERROR_NONE;
        }
        if (!(item->flags & ASN_FLAG_OPTIONAL)) {
            asn_print_error(gettext("Wrong item in sequence exp %x, got %x"), item->tag, tag);
            return ASN_ERROR_WRONG_CONTENT;
        }
        if (item->flags & ASN_FLAG_LAST_ITEM) {
            asn_print_error(gettext("Unexpected item in sequence"));
            return ASN_ERROR_WRONG_CONTENT;
        }
    }
}

asn_error_t asn_check_obj_id(const uint8_t *obj_id, const asn_tlv_hdr_t &hdr, uint32_t value_offset)
{
    QS_ASSERT(obj_id != nullptr && obj_id[0] <= sizeof(buffer));
    if (hdr.len != obj_id[0]) {
        asn_print_error(gettext("Object ID other than required: expected len %d, got %d"),
                        obj_id[0], static_cast<int>(hdr.len));
        return ASN_ERROR_WRONG_OBJ_ID;
    }
    const asn_error_t err = asn_read(buffer, value_offset, obj_id[0]);
    if (err != ASN_ERROR_NONE)
        return err;
    if (memcmp(buffer, obj_id + 1, obj_id[0]) != 0) {
        asn_print_error(gettext("Object ID other than required: "));
        return ASN_ERROR_WRONG_OBJ_ID;
    }
    return ASN_ERROR_NONE;
}

// Picks the handler for the TLV that follows this object id; no entry means
// that TLV is passed over.
asn_error_t asn_select_table_handler(asn_walker &w, const asn_handlers_table_entry_t *table,
                                     const asn_tlv_hdr_t &hdr, uint32_t value_offset)
{
    QS_ASSERT(table != nullptr);
    const size_t count = std::min<size_t>(hdr.len, sizeof(buffer));
    const asn_error_t err = asn_read(buffer, value_offset, count);
    if (err != ASN_ERROR_NONE)
        return err;
    w.table_handler = nullptr;
    // An id longer than the scratch window cannot have been read, so it
    // cannot match.
    if (hdr.len <= sizeof(buffer)) {
        for (const asn_handlers_table_entry_t *entry = table; entry->obj_id != nullptr; ++entry) {
            if (entry->obj_id[0] == hdr.len && memcmp(entry->obj_id + 1, buffer, hdr.len) == 0) {
                w.table_handler = entry->handler;
                break;
            }
        }
    }
    w.table_handler_pending = true;
    return ASN_ERROR_NONE;
}

// Applies the current item's action to a TLV of the current SEQUENCE.
asn_error_t asn_apply_item(asn_walker &w, const asn_tlv_location_t &tlv, const asn_tlv_hdr_t &hdr,
                           uint32_t tlv_cursor)
{
    const asn_seq_item_t *item = w.item;
    const uint32_t value_offset = tlv.offset_in_file + hdr.hdr_len;
    if (item->flags & ASN_FLAG_CONTINUED)
        w.current.cursor = tlv_cursor;
    asn_error_t err = ASN_ERROR_NONE;
    switch (item->todo) {
    case ASN_TODO_CHECK_OBJ_ID:
        err = asn_check_obj_id(item->payload.obj_id, hdr, value_offset);
        break;
    case ASN_TODO_PARSE_SEQ:
    case ASN_TODO_PARSE_SET_OF_SEQ:
        QS_ASSERT(item->payload.seq != nullptr);
        w.push();
        w.enter(tlv, item->todo, item->payload.seq);
        break;
    case ASN_TODO_HANDLER:
        QS_ASSERT(item->payload.handler != nullptr);
        err = item->payload.handler(tlv);
        break;
    case ASN_TODO_HANDLER_FROM_TABLE:
        err = asn_select_table_handler(w, item->payload.handlers, hdr, value_offset);
        break;
    default: // ASN_TODO_NOTHING, and anything unknown, skips the TLV
        break;
    }
    w.explicit_size = 0;
    return err;
}

// One TLV inside a SEQUENCE being walked with a schema.
asn_error_t asn_parse_seq_element(asn_walker &w, const asn_tlv_location_t &tlv,
                                  const asn_tlv_hdr_t &hdr, uint32_t tlv_cursor)
{
    if (w.table_handler_pending) {
        w.table_handler_pending = false;
        if (w.table_handler != nullptr)
            return w.table_handler(tlv);
        return ASN_ERROR_NONE;
    }
    if (w.explicit_size != 0) {
        // The inner TLV of an explicit tag: its own tag is not checked.
        if (tlv.total_size != w.explicit_size) {
            asn_print_error(gettext("Encapsulated TLV has wrong size"));
            return ASN_ERROR_CORRUPTED;
        }
        return asn_apply_item(w, tlv, hdr, tlv_cursor);
    }
    const asn_seq_item_t *match = nullptr;
    asn_error_t err = asn_match_item(w.current.seq_item, hdr.tag, &match);
    if (err != ASN_ERROR_NONE)
        return err;
    w.current.seq_item = asn_parse_go_to_next_seq_item(match);
    w.item = match;
    if (match->flags & ASN_FLAG_EXPLICIT) {
        if (hdr.len == 0) {
            asn_print_error(gettext("Encapsulated TLV is missing"));
            return ASN_ERROR_CORRUPTED;
        }
        w.explicit_size = hdr.len;
        w.current.cursor = tlv_cursor + hdr.hdr_len;
        return ASN_ERROR_NONE;
    }
    return asn_apply_item(w, tlv, hdr, tlv_cursor);
}

} // namespace

void asn_register_image(const uint8_t *image, size_t length)
{
    asn_buffer = image;
    asn_buffer_len = image != nullptr ? length : 0;
}

asn_error_t asn_read(uint8_t *destination, uint32_t offset, size_t count)
{
    if (asn_buffer == nullptr || destination == nullptr)
        return ASN_ERROR_NOT_SUPPORTED;
    // offset + count < length, written so that no sum can wrap.
    if (count >= asn_buffer_len || offset >= asn_buffer_len - count)
        return ASN_ERROR_NOT_SUPPORTED;
    memcpy(destination, asn_buffer + offset, count);
    return ASN_ERROR_NONE;
}

asn_error_t asn_tlv_header_parse(uint32_t offset, asn_tlv_hdr_t *header)
{
    QS_ASSERT(header != nullptr);
    const asn_error_t err = asn_read(buffer, offset, ASN_HEADER_WINDOW);
    if (err != ASN_ERROR_NONE)
        return err;

    header->tag = buffer[0];
    if ((buffer[0] & 0x1F) == 0x1F) {
        asn_print_error(gettext("Long tag (unsupported)"));
        return ASN_ERROR_NOT_SUPPORTED;
    }
    if (buffer[1] < 0x80) {
        header->len = buffer[1];
        header->hdr_len = 2;
        return ASN_ERROR_NONE;
    }
    const uint32_t n = buffer[1] & 0x7F;
    if (n == 0) {
        asn_print_error(gettext("Indefinite length (unsupported)"));
        return ASN_ERROR_NOT_SUPPORTED;
    }
    if (n > 8) {
        asn_print_error(gettext("Length encoding too big (unsupported)"));
        return ASN_ERROR_NOT_SUPPORTED;
    }
    uint32_t len = 0;
    for (uint32_t i = 0; i < n; ++i)
        len = (len << 8) | buffer[2 + i];
    header->len = len;
    header->hdr_len = n + 2;
    return ASN_ERROR_NONE;
}

asn_error_t asn_parse(const asn_seq_item_t *schema, uint32_t offset, uint32_t length)
{
    QS_ASSERT(schema != nullptr);
    asn_walker w;
    w.current = {{offset, length, 0}, ASN_TODO_TOP_LEVEL, 0, nullptr};

    for (;;) {
        // The top level always reads its SEQUENCE, so that an empty range
        // is an error rather than an empty success.
        if (w.current.action != ASN_TODO_TOP_LEVEL &&
            w.current.cursor == w.current.tlv_loc.total_size) {
            if (w.current.action == ASN_TODO_PARSE_SEQ) {
                const asn_error_t err = asn_check_remaining_items(w.current.seq_item);
                if (err != ASN_ERROR_NONE)
                    return err;
            }
            if (w.level == 0)
                return ASN_ERROR_NONE;
            w.current = w.stack[--w.level];
            continue;
        }

        const uint32_t tlv_cursor = w.current.cursor;
        const uint32_t tlv_offset = w.current.tlv_loc.offset_in_file + tlv_cursor;
        asn_tlv_hdr_t hdr;
        asn_error_t err = asn_tlv_header_parse(tlv_offset, &hdr);
        if (err != ASN_ERROR_NONE)
            return err;
        // 64-bit: a length near 4 GiB must not wrap the cursor back inside
        // the container.
        const uint64_t end = uint64_t(tlv_cursor) + hdr.hdr_len + hdr.len;
        if (end > w.current.tlv_loc.total_size) {
            asn_print_error(gettext("Nested TLV does not fit in the wrapper, %llx > %llx"),
                            static_cast<unsigned long long>(end),
                            static_cast<unsigned long long>(w.current.tlv_loc.total_size));
            return ASN_ERROR_CORRUPTED;
        }
        w.current.cursor = static_cast<uint32_t>(end);
        const asn_tlv_location_t tlv = {tlv_offset, size_t(hdr.hdr_len) + hdr.len,
                                        static_cast<uint8_t>(hdr.hdr_len)};

        switch (w.current.action) {
        case ASN_TODO_TOP_LEVEL:
        case ASN_TODO_PARSE_SET_OF_SEQ: {
            if (hdr.tag != ASN_TAG_SEQ) {
                asn_print_error(gettext("Sequence TLV expected, found tag=0x%x instead"), hdr.tag);
                return ASN_ERROR_WRONG_CONTENT;
            }
            const asn_seq_item_t *next = schema;
            if (w.current.action == ASN_TODO_PARSE_SET_OF_SEQ) {
                // Every element starts again from the nested schema's first item.
                next = w.current.seq_item;
                w.push();
            }
            w.enter(tlv, ASN_TODO_PARSE_SEQ, next);
            break;
        }
        case ASN_TODO_PARSE_SEQ:
            err = asn_parse_seq_element(w, tlv, hdr, tlv_cursor);
            if (err != ASN_ERROR_NONE)
                return err;
            break;
        default:
            asn_print_error(gettext("Sequence is invalid"));
            return ASN_ERROR_WRONG_CONTENT;
        }
    }
}
