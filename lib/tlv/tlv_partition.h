// TLV partitions: a TLV block framed by a header item (type, generation,
// total length) and a trailer item (generation, checksum) so that a reader
// can tell a complete, current copy from a damaged or stale one.  All
// fields are little-endian in the buffer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/tlv/tlv.h"

inline constexpr uint32_t TLV_TAG_PARTITION_HEADER = 0xBD20DA7Au;
inline constexpr uint32_t TLV_TAG_PARTITION_TRAILER = 0xBD201A57u;

inline constexpr uint16_t NVRAM_PARTITION_TYPE_MC_FIRMWARE = 0x0100;
inline constexpr uint16_t NVRAM_PARTITION_TYPE_MC_FIRMWARE_BACKUP = 0x0200;
inline constexpr uint16_t NVRAM_PARTITION_TYPE_EXPANSION_ROM = 0x0300;
inline constexpr uint16_t NVRAM_PARTITION_TYPE_STATIC_CONFIG = 0x0400;
inline constexpr uint16_t NVRAM_PARTITION_TYPE_DYNAMIC_CONFIG = 0x0500;
inline constexpr uint16_t NVRAM_PARTITION_TYPE_EXPROM_CONFIG_PORT0 = 0x0600;
inline constexpr uint16_t NVRAM_PARTITION_TYPE_EXPROM_CONFIG_PORT1 = 0x0601;
inline constexpr uint16_t NVRAM_PARTITION_TYPE_EXPROM_CONFIG_PORT2 = 0x0602;
inline constexpr uint16_t NVRAM_PARTITION_TYPE_EXPROM_CONFIG_PORT3 = 0x0603;
inline constexpr uint16_t NVRAM_PARTITION_TYPE_LOG = 0x0700;
inline constexpr uint16_t NVRAM_PARTITION_TYPE_DUMP = 0x0800;
inline constexpr uint16_t NVRAM_PARTITION_TYPE_RECOVERY_MAP = 0xFFFE;
inline constexpr uint16_t NVRAM_PARTITION_TYPE_PARTITION_MAP = 0xFFFF;

// Header item, the first of the partition.  Byte images of it are
// little-endian; copies read through read_tlv_item are converted to host
// order by the code that reads them.
struct tlv_partition_header {
    uint32_t tag;          // TLV_TAG_PARTITION_HEADER
    uint32_t length;       // 12
    uint16_t type_id;
    uint16_t preset;
    uint32_t generation;
    uint32_t total_length; // header through END inclusive
};
static_assert(sizeof(tlv_partition_header) == 20);
static_assert(offsetof(tlv_partition_header, type_id) == 8);
static_assert(offsetof(tlv_partition_header, preset) == 10);
static_assert(offsetof(tlv_partition_header, generation) == 12);
static_assert(offsetof(tlv_partition_header, total_length) == 16);

// Trailer item, the last before END.
struct tlv_partition_trailer {
    uint32_t tag;        // TLV_TAG_PARTITION_TRAILER
    uint32_t length;     // 8
    uint32_t generation; // equal to the header's
    uint32_t checksum;   // makes the word sum of the partition zero
};
static_assert(sizeof(tlv_partition_trailer) == 16);
static_assert(offsetof(tlv_partition_trailer, generation) == 8);
static_assert(offsetof(tlv_partition_trailer, checksum) == 12);

inline constexpr uint32_t TLV_PARTITION_HEADER_LENGTH = 12;
inline constexpr uint32_t TLV_PARTITION_TRAILER_LENGTH = 8;
// Header item, trailer item and END word: the smallest partition.
inline constexpr uint32_t TLV_PARTITION_MIN_SIZE =
    sizeof(tlv_partition_header) + sizeof(tlv_partition_trailer) + sizeof(uint32_t);

// A partition loaded in memory: a view on a caller's buffer.
typedef struct nvram_partition_s {
    uint16_t type;        // type_id read from the buffer
    uint8_t chip_select;  // unused here
    uint8_t flags;        // unused here
    uint32_t length;      // buffer size in bytes
    uint32_t erase_size;  // unused here
    uint32_t *data;       // the buffer, not owned
    tlv_cursor_t tlv_cursor; // over the whole buffer
} nvram_partition_t;

// 0 when the buffer holds a valid partition; otherwise the record is
// cleared and the validation result returned.
int tlv_init_partition_from_buffer(nvram_partition_t *partition, void *buffer, size_t size);
// 0 if valid; 1 after printing why not.
int tlv_validate_partition(nvram_partition_t *partition);
// Sets total_length, raises the generation by one and closes the checksum;
// a damaged frame (header, trailer, END) gives TLV_CORRUPT_BLOCK.
int tlv_update_partition_len_and_cks(tlv_cursor_t *cursor);

// A successful edit raises the generation by one; a refused one changes
// nothing.  A damaged frame is refused, and so are a modify or delete aimed
// at the header or the trailer and an append of either's tag (TLV_BAD_ARG).
int tlv_append_to_partition(nvram_partition_t *partition, uint32_t tag, const void *data,
                            size_t len);
int tlv_update_or_append_to_partition(nvram_partition_t *partition, uint32_t tag,
                                      const void *data, size_t len);
int tlv_modify_in_partition(tlv_cursor_t *cursor, const void *data, size_t len);
int tlv_delete_from_partition(tlv_cursor_t *cursor);

// The stored generation ends one above `generation` (the recomputation adds one).
int tlv_set_partition_generation(nvram_partition_t *partition, uint32_t generation);
int tlv_increment_partition_generation(nvram_partition_t *partition);
int tlv_zero_partition_preset(nvram_partition_t *partition);
uint32_t tlv_get_partition_generation(const void *buffer);

// Builds an empty dynamic-configuration partition over the whole buffer.
int tlv_init_dynamic_config_buf(void *buf, uint32_t size);

const char *partition_type_desc(uint16_t type);

// Word sum of the partition, header through END; zero when valid.
uint32_t checksum_tlv_partition(const nvram_partition_t *partition);
// Copies min(max_len, length + 8) bytes of the current item; returns the count.
size_t read_tlv_item(const tlv_cursor_t *cursor, void *dest, size_t max_len);
