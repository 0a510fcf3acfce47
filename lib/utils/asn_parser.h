// A small table-driven DER walker.  A schema is an array of items, one per
// expected TLV of a SEQUENCE; each item says what to do with its TLV (skip
// it, check an object id, walk into it with a nested schema, or hand it to a
// function).  The walker never allocates: it reads the registered buffer
// through a scratch window and keeps its levels in a fixed stack.
//
// Not re-entrant: the registered buffer is module state, one walk at a time.
#pragma once

#include <cstddef>
#include <cstdint>

enum asn_tag_e : uint8_t {
    ASN_TAG_INTEGER = 0x02,
    ASN_TAG_BIT_STRING = 0x03,
    ASN_TAG_OCTET_STRING = 0x04,
    ASN_TAG_OBJ_ID = 0x06,
    ASN_TAG_SEQ = 0x30,
    ASN_TAG_SET = 0x31,
    // Modifiers, or'ed into the tags above or into a context number.
    ASN_TAG_CONSTR_ = 0x20,
    ASN_TAG_CONTEXT_ = 0x80,
};

enum asn_flag_e : uint8_t {
    ASN_FLAG_OPTIONAL = 1,  // the TLV may be absent
    ASN_FLAG_EXPLICIT = 2,  // explicit tag: the action applies to its one inner TLV
    ASN_FLAG_LAST_ITEM = 4, // last item of the schema array
    ASN_FLAG_CONTINUED = 8, // offer the same TLV again to the next item
};

enum asn_todo_e : uint8_t {
    ASN_TODO_NOTHING = 0,
    ASN_TODO_CHECK_OBJ_ID = 1,
    ASN_TODO_PARSE_SEQ = 2,
    ASN_TODO_PARSE_SET_OF_SEQ = 3,
    ASN_TODO_HANDLER = 4,
    ASN_TODO_HANDLER_FROM_TABLE = 5,
    ASN_TODO_TOP_LEVEL = 6, // the walker's starting state, never in a table
};

enum asn_error_e {
    ASN_ERROR_NONE = 0,
    ASN_ERROR_CORRUPTED = 1,
    ASN_ERROR_NOT_SUPPORTED = 2,
    ASN_ERROR_WRONG_CONTENT = 3,
    ASN_ERROR_WRONG_OBJ_ID = 4,
};
typedef asn_error_e asn_error_t;

struct asn_tlv_hdr_t {
    uint8_t tag;      // the identifier byte
    uint32_t len;     // value length
    uint32_t hdr_len; // identifier plus length bytes
};

struct asn_tlv_location_t {
    uint32_t offset_in_file; // absolute offset of the TLV's first byte
    size_t total_size;       // header plus value
    uint8_t hdr_size;
};

typedef asn_error_t (*asn_handler_t)(asn_tlv_location_t location);

// Object ids are one length byte followed by the DER content bytes.
struct asn_handlers_table_entry_t {
    const uint8_t *obj_id; // null ends the table
    asn_handler_t handler;
};

struct asn_seq_item_t;

union asn_seq_item_payload_t {
    const uint8_t *obj_id;                      // ASN_TODO_CHECK_OBJ_ID
    const asn_seq_item_t *seq;                  // ASN_TODO_PARSE_SEQ, ASN_TODO_PARSE_SET_OF_SEQ
    asn_handler_t handler;                      // ASN_TODO_HANDLER
    const asn_handlers_table_entry_t *handlers; // ASN_TODO_HANDLER_FROM_TABLE
};

struct asn_seq_item_t {
    uint8_t tag;   // expected identifier byte
    uint8_t flags; // asn_flag_e bits
    uint8_t todo;  // asn_todo_e
    asn_seq_item_payload_t payload;
};

struct asn_level_status_t {
    asn_tlv_location_t tlv_loc;      // the container
    uint8_t action;                  // asn_todo_e applied to its elements
    uint32_t cursor;                 // next TLV, relative to the container's first byte
    const asn_seq_item_t *seq_item;  // next schema item, or null
};

// Saved levels a schema may nest; deeper schemas are a programming error.
constexpr size_t ASN_STACK_DEPTH = 6;
// Bytes read for one TLV header: identifier, length byte, up to 8 length bytes.
constexpr uint32_t ASN_HEADER_WINDOW = 10;
// Scratch space for headers and object ids.
constexpr size_t ASN_SCRATCH_SIZE = 16;

// Remembers the buffer the walker reads; must precede asn_parse.
void asn_register_image(const uint8_t *buffer, size_t length);

// Copies count bytes at offset of the registered buffer.  Refuses, without a
// message, when nothing is registered or the read would not end strictly
// before the buffer's end.
asn_error_t asn_read(uint8_t *destination, uint32_t offset, size_t count);

// Parses the TLV header at an absolute offset.
asn_error_t asn_tlv_header_parse(uint32_t offset, asn_tlv_hdr_t *header);

// Walks the SEQUENCE at offset (within length bytes) with the given schema.
// Bytes after that SEQUENCE are not looked at.
asn_error_t asn_parse(const asn_seq_item_t *schema, uint32_t offset, uint32_t length);
