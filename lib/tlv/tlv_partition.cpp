#include "lib/tlv/tlv_partition.h"

#include <libintl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "lib/utils/byteorder.h"
#include "lib/utils/qs_assert.h"

namespace {

// Byte offsets of the fields the edits rewrite in place.
constexpr size_t HEADER_TYPE_ID = offsetof(tlv_partition_header, type_id);
constexpr size_t HEADER_PRESET = offsetof(tlv_partition_header, preset);
constexpr size_t HEADER_GENERATION = offsetof(tlv_partition_header, generation);
constexpr size_t HEADER_TOTAL_LENGTH = offsetof(tlv_partition_header, total_length);
constexpr size_t TRAILER_GENERATION = offsetof(tlv_partition_trailer, generation);
constexpr size_t TRAILER_CHECKSUM = offsetof(tlv_partition_trailer, checksum);

uint8_t *bytes_of(uint32_t *words)
{
    return reinterpret_cast<uint8_t *>(words);
}

uintptr_t addr(const void *p)
{
    return reinterpret_cast<uintptr_t>(p);
}

size_t words_between(const uint32_t *from, const uint32_t *to)
{
    return addr(to) > addr(from) ? (addr(to) - addr(from)) / sizeof(uint32_t) : 0;
}

uint32_t word_sum(const uint8_t *bytes, size_t len)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + sizeof(uint32_t) <= len; i += sizeof(uint32_t))
        sum += load_le32(bytes + i);
    return sum;
}

tlv_partition_header header_copy(const tlv_cursor_t *cursor)
{
    tlv_partition_header header{};
    read_tlv_item(cursor, &header, sizeof(header));
    header.tag = le32_to_host(header.tag);
    header.length = le32_to_host(header.length);
    header.type_id = le16_to_host(header.type_id);
    header.preset = le16_to_host(header.preset);
    header.generation = le32_to_host(header.generation);
    header.total_length = le32_to_host(header.total_length);
    return header;
}

tlv_partition_trailer trailer_copy(const tlv_cursor_t *cursor)
{
    tlv_partition_trailer trailer{};
    read_tlv_item(cursor, &trailer, sizeof(trailer));
    trailer.tag = le32_to_host(trailer.tag);
    trailer.length = le32_to_host(trailer.length);
    trailer.generation = le32_to_host(trailer.generation);
    trailer.checksum = le32_to_host(trailer.checksum);
    return trailer;
}

// The trailer of the partition that starts at the cursor's block, with END
// found afresh; null unless the frame the recomputation writes into is
// whole: the header first with its length, the trailer last with its.
uint32_t *partition_trailer(const tlv_cursor_t *cursor)
{
    tlv_cursor_t probe = *cursor;
    probe.current = probe.block;
    size_t used = tlv_block_length_used(&probe);
    if (used < TLV_PARTITION_MIN_SIZE)
        return nullptr;
    const uint8_t *base = bytes_of(probe.block);
    uint32_t *trailer = probe.end - sizeof(tlv_partition_trailer) / sizeof(uint32_t);
    const uint8_t *trailer_bytes = bytes_of(trailer);
    if (load_le32(base) != TLV_TAG_PARTITION_HEADER || load_le32(base + 4) != TLV_PARTITION_HEADER_LENGTH ||
        load_le32(trailer_bytes) != TLV_TAG_PARTITION_TRAILER ||
        load_le32(trailer_bytes + 4) != TLV_PARTITION_TRAILER_LENGTH)
        return nullptr;
    return trailer;
}

int rejected(const char *format, const char *desc)
{
    std::printf(format, desc);
    return 1;
}

int rejected_size(const char *format, const char *desc, uint32_t got, uint32_t wanted)
{
    std::printf(format, desc, got, wanted);
    return 1;
}

} // namespace

const char *partition_type_desc(uint16_t type)
{
    switch (type) {
    case NVRAM_PARTITION_TYPE_MC_FIRMWARE:
        return "MC firmware image";
    case NVRAM_PARTITION_TYPE_MC_FIRMWARE_BACKUP:
        return "Backup MC firmware image";
    case NVRAM_PARTITION_TYPE_EXPANSION_ROM:
        return "Expansion ROM image";
    case NVRAM_PARTITION_TYPE_STATIC_CONFIG:
        return "Static configuration";
    case NVRAM_PARTITION_TYPE_DYNAMIC_CONFIG:
        return "Dynamic configuration";
    case NVRAM_PARTITION_TYPE_EXPROM_CONFIG_PORT0:
        return "Exp ROM configuration (port 0)";
    case NVRAM_PARTITION_TYPE_EXPROM_CONFIG_PORT1:
        return "Exp ROM configuration (port 1)";
    case NVRAM_PARTITION_TYPE_EXPROM_CONFIG_PORT2:
        return "Exp ROM configuration (port 2)";
    case NVRAM_PARTITION_TYPE_EXPROM_CONFIG_PORT3:
        return "Exp ROM configuration (port 3)";
    case NVRAM_PARTITION_TYPE_LOG:
        return "Non-volatile log";
    case NVRAM_PARTITION_TYPE_DUMP:
        return "Device state dump storage";
    case NVRAM_PARTITION_TYPE_RECOVERY_MAP:
        return "Recovery partition map";
    case NVRAM_PARTITION_TYPE_PARTITION_MAP:
        return "Partition map";
    default:
        return "<unknown>";
    }
}

size_t read_tlv_item(const tlv_cursor_t *cursor, void *dest, size_t max_len)
{
    const uint8_t *item = tlv_item(cursor);
    QS_ASSERT(item != nullptr);
    size_t count = std::min(max_len, tlv_length(cursor) + 2 * sizeof(uint32_t));
    std::memcpy(dest, item, count);
    return count;
}

uint32_t checksum_tlv_partition(const nvram_partition_t *partition)
{
    tlv_cursor_t cursor = partition->tlv_cursor;
    size_t used = tlv_block_length_used(&cursor);
    QS_ASSERT(used % sizeof(uint32_t) == 0);
    return word_sum(reinterpret_cast<const uint8_t *>(partition->data), used);
}

int tlv_validate_partition(nvram_partition_t *partition)
{
    const char *desc = partition_type_desc(partition->type);
    tlv_cursor_t *cursor = &partition->tlv_cursor;

    if (tlv_validate_state(cursor) != TLV_OK)
        return rejected(gettext("(%s: TLV cursor in broken state initially)\n"), desc);

    tlv_rewind(cursor);
    if (tlv_tag(cursor) == 0xFFFFFFFFu)
        return rejected(gettext("(%s: empty flash found at start of partition)\n"), desc);
    if (tlv_tag(cursor) != TLV_TAG_PARTITION_HEADER) {
        std::printf(gettext("(%s: first tag %x is not the partition header magic tag %x)\n"),
                    desc, tlv_tag(cursor), TLV_TAG_PARTITION_HEADER);
        return 1;
    }
    uint32_t length = static_cast<uint32_t>(tlv_length(cursor));
    if (length != TLV_PARTITION_HEADER_LENGTH)
        return rejected_size(
            gettext("(%s: partition header tag is wrong size: got %u, but wanted %u)\n"), desc,
            length, TLV_PARTITION_HEADER_LENGTH);
    tlv_partition_header header = header_copy(cursor);

    int rc = tlv_find(cursor, TLV_TAG_PARTITION_TRAILER);
    if (rc == TLV_NOT_FOUND)
        return rejected(gettext("(%s: no partition trailer found)\n"), desc);
    if (rc != TLV_OK) {
        std::fprintf(stderr, gettext("Unexpected error %d stripping partition trailer?\n"), rc);
        return 1;
    }
    length = static_cast<uint32_t>(tlv_length(cursor));
    if (length != TLV_PARTITION_TRAILER_LENGTH)
        return rejected_size(
            gettext("(%s: partition trailer tag is wrong size: got %u, but wanted %u)\n"), desc,
            length, TLV_PARTITION_TRAILER_LENGTH);
    tlv_partition_trailer trailer = trailer_copy(cursor);

    if (tlv_advance(cursor) != TLV_OK || tlv_tag(cursor) != TLV_TAG_END)
        return rejected(gettext("(%s: partition trailer is not the final tag)\n"), desc);
    if (header.generation != trailer.generation)
        return rejected(gettext("(%s: header and trailer generation counts do not match)\n"),
                        desc);

    tlv_cursor_t probe = *cursor;
    if (header.total_length != tlv_block_length_used(&probe))
        return rejected(gettext("(%s: total length field in header does not match content)\n"),
                        desc);
    if (checksum_tlv_partition(partition) != 0) {
        rejected(gettext("(%s: checksum is incorrect)\n"), desc);
        tlv_dump_all(cursor);
        return 1;
    }
    tlv_rewind(cursor);
    return 0;
}

int tlv_init_partition_from_buffer(nvram_partition_t *partition, void *buffer, size_t size)
{
    *partition = nvram_partition_t{};
    uint8_t *bytes = static_cast<uint8_t *>(buffer);
    // The type is taken before any check so that a message about a damaged
    // buffer names whatever its type bytes hold.
    if (bytes != nullptr && size >= HEADER_TYPE_ID + sizeof(uint16_t))
        partition->type = load_le16(bytes + HEADER_TYPE_ID);
    partition->length = static_cast<uint32_t>(size);
    partition->data = static_cast<uint32_t *>(buffer);
    uint32_t *limit = bytes != nullptr ? partition->data + size / sizeof(uint32_t) : nullptr;
    tlv_init_cursor(&partition->tlv_cursor, partition->data, limit);

    int rc = size > UINT32_MAX ? TLV_BAD_ARG : tlv_validate_partition(partition);
    if (rc != 0)
        *partition = nvram_partition_t{};
    return rc;
}

int tlv_update_partition_len_and_cks(tlv_cursor_t *cursor)
{
    // Header and trailer fields are written only where the frame says they
    // are, and only for a cursor on a valid position.
    tlv_cursor_t probe = *cursor;
    uint32_t *trailer_word = partition_trailer(cursor);
    if (trailer_word == nullptr || tlv_validate_state(&probe) != TLV_OK)
        return TLV_CORRUPT_BLOCK;
    uint8_t *base = bytes_of(cursor->block);
    uint8_t *trailer = bytes_of(trailer_word);
    size_t used = addr(trailer) - addr(base) + sizeof(tlv_partition_trailer) + sizeof(uint32_t);

    uint32_t generation = load_le32(base + HEADER_GENERATION) + 1;
    store_le32(base + HEADER_TOTAL_LENGTH, static_cast<uint32_t>(used));
    store_le32(base + HEADER_GENERATION, generation);
    store_le32(trailer + TRAILER_GENERATION, generation);
    uint32_t checksum = load_le32(trailer + TRAILER_CHECKSUM);
    store_le32(trailer + TRAILER_CHECKSUM, checksum - word_sum(base, used));
    return TLV_OK;
}

int tlv_append_to_partition(nvram_partition_t *partition, uint32_t tag, const void *data,
                            size_t len)
{
    tlv_cursor_t *cursor = &partition->tlv_cursor;
    if (len > UINT32_MAX)
        return TLV_BAD_ARG;

    tlv_cursor_t probe = *cursor;
    int rc = tlv_rewind(&probe);
    if (rc == TLV_OK)
        rc = tlv_require_end(&probe);
    if (rc != TLV_OK)
        return rc;
    uint32_t *last_end = tlv_last_segment_end(&probe);
    if (words_between(last_end, cursor->limit) < 1 + tlv_n_words_for_len(static_cast<uint32_t>(len)))
        return TLV_NO_SPACE;

    rc = tlv_find(cursor, TLV_TAG_PARTITION_TRAILER);
    if (rc != TLV_OK)
        return rc;
    // Nothing moves unless the recomputation will find its frame afterwards.
    if (cursor->current != partition_trailer(cursor))
        return TLV_CORRUPT_BLOCK;
    // A second header or trailer would be found before the frame's own.
    if (tag == TLV_TAG_PARTITION_HEADER || tag == TLV_TAG_PARTITION_TRAILER)
        return TLV_BAD_ARG;
    rc = tlv_insert(cursor, tag, data, len);
    if (rc != TLV_OK)
        return rc;
    return tlv_update_partition_len_and_cks(cursor);
}

int tlv_update_or_append_to_partition(nvram_partition_t *partition, uint32_t tag,
                                      const void *data, size_t len)
{
    int rc = tlv_find(&partition->tlv_cursor, tag);
    if (rc == TLV_OK)
        return tlv_modify_in_partition(&partition->tlv_cursor, data, len);
    if (rc == TLV_NOT_FOUND)
        return tlv_append_to_partition(partition, tag, data, len);
    return rc;
}

namespace {

// Nothing moves unless the recomputation will find its frame afterwards:
// the frame must be whole, and the header and trailer are not the caller's
// items to change or remove.
int check_item_edit(const tlv_cursor_t *cursor)
{
    uint32_t *trailer = partition_trailer(cursor);
    if (trailer == nullptr)
        return TLV_CORRUPT_BLOCK;
    if (cursor->current == cursor->block || cursor->current == trailer)
        return TLV_BAD_ARG;
    return TLV_OK;
}

} // namespace

int tlv_modify_in_partition(tlv_cursor_t *cursor, const void *data, size_t len)
{
    int rc = check_item_edit(cursor);
    if (rc == TLV_OK)
        rc = tlv_modify(cursor, data, len);
    if (rc != TLV_OK)
        return rc;
    return tlv_update_partition_len_and_cks(cursor);
}

int tlv_delete_from_partition(tlv_cursor_t *cursor)
{
    int rc = check_item_edit(cursor);
    if (rc == TLV_OK)
        rc = tlv_delete(cursor);
    if (rc != TLV_OK)
        return rc;
    return tlv_update_partition_len_and_cks(cursor);
}

int tlv_set_partition_generation(nvram_partition_t *partition, uint32_t generation)
{
    int rc = tlv_validate_partition(partition);
    if (rc != 0)
        return rc;
    store_le32(bytes_of(partition->data) + HEADER_GENERATION, generation);
    rc = tlv_find(&partition->tlv_cursor, TLV_TAG_PARTITION_TRAILER);
    QS_ASSERT(rc == TLV_OK);
    store_le32(tlv_item(&partition->tlv_cursor) + TRAILER_GENERATION, generation);
    rc = tlv_update_partition_len_and_cks(&partition->tlv_cursor);
    QS_ASSERT(rc == TLV_OK);
    return rc;
}

int tlv_increment_partition_generation(nvram_partition_t *partition)
{
    int rc = tlv_validate_partition(partition);
    if (rc != 0)
        return rc;
    return tlv_set_partition_generation(partition,
                                        tlv_get_partition_generation(partition->data) + 1);
}

int tlv_zero_partition_preset(nvram_partition_t *partition)
{
    int rc = tlv_validate_partition(partition);
    if (rc != 0)
        return rc;
    store_le16(bytes_of(partition->data) + HEADER_PRESET, 0);
    return tlv_update_partition_len_and_cks(&partition->tlv_cursor);
}

uint32_t tlv_get_partition_generation(const void *buffer)
{
    return load_le32(static_cast<const uint8_t *>(buffer) + HEADER_GENERATION);
}

int tlv_init_dynamic_config_buf(void *buf, uint32_t size)
{
    if (buf == nullptr || size < TLV_PARTITION_MIN_SIZE)
        return TLV_BAD_ARG;
    std::memset(buf, 0xFF, size);
    uint32_t *words = static_cast<uint32_t *>(buf);
    tlv_init_block(words);
    tlv_cursor_t cursor;
    tlv_init_cursor(&cursor, words, words + size / sizeof(uint32_t));

    uint8_t header[sizeof(tlv_partition_header)];
    store_le32(header, TLV_TAG_PARTITION_HEADER);
    store_le32(header + 4, TLV_PARTITION_HEADER_LENGTH);
    store_le16(header + HEADER_TYPE_ID, NVRAM_PARTITION_TYPE_DYNAMIC_CONFIG);
    store_le16(header + HEADER_PRESET, 0);
    store_le32(header + HEADER_GENERATION, 1);
    store_le32(header + HEADER_TOTAL_LENGTH, 0);
    int rc = write_tlv_item(&cursor, header);
    if (rc != TLV_OK)
        return rc;

    uint8_t trailer[sizeof(tlv_partition_trailer)];
    store_le32(trailer, TLV_TAG_PARTITION_TRAILER);
    store_le32(trailer + 4, TLV_PARTITION_TRAILER_LENGTH);
    store_le32(trailer + TRAILER_GENERATION, 1);
    store_le32(trailer + TRAILER_CHECKSUM, 0);
    rc = write_tlv_item(&cursor, trailer);
    if (rc != TLV_OK)
        return rc;

    rc = tlv_update_partition_len_and_cks(&cursor);
    if (rc != TLV_OK)
        return rc;
    nvram_partition_t partition;
    return tlv_init_partition_from_buffer(&partition, buf, size);
}
