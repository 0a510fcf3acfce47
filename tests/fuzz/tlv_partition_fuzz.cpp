// TLV partition validation and the edits on a valid partition: a valid
// one sums to zero, an edit that succeeds leaves a valid partition one
// generation up (or where a generation was set) with the item it made,
// one that is refused changes no byte.
#include <cstdint>
#include <cstring>
#include <vector>

#include "lib/tlv/tlv_partition.h"
#include "lib/utils/byteorder.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/fuzz_target.h"

QS_FUZZ_TARGET(tlv_partition)
{
    FuzzInput in(data, size);
    const uint8_t op = in.byte() % 7;
    const uint8_t index = in.byte();
    const uint32_t tag = in.word();
    const std::vector<uint8_t> value(in.byte(), 0xA5);
    std::vector<uint32_t> words = in.rest_words();
    const size_t bytes = in.rest_size();

    nvram_partition_t p;
    if (tlv_init_partition_from_buffer(&p, words.data(), bytes) != 0) {
        FUZZ_CHECK(p.data == nullptr && p.tlv_cursor.current == nullptr);
        return;
    }
    FUZZ_CHECK(checksum_tlv_partition(&p) == 0);
    const uint32_t generation = tlv_get_partition_generation(words.data());
    for (int i = 0; i < index % 8; ++i)
        tlv_advance(&p.tlv_cursor);
    const std::vector<uint32_t> snapshot = words;
    uint32_t expected = generation + 1;
    int rc = 0;
    switch (op) {
    case 0: rc = tag == TLV_TAG_END ? 1 : tlv_append_to_partition(&p, tag, value.data(), value.size()); break;
    case 1: rc = tag == TLV_TAG_END ? 1 : tlv_update_or_append_to_partition(&p, tag, value.data(), value.size()); break;
    case 2: rc = tlv_modify_in_partition(&p.tlv_cursor, value.data(), value.size()); break;
    case 3: rc = tlv_delete_from_partition(&p.tlv_cursor); break;
    case 4: rc = tlv_set_partition_generation(&p, tag), expected = tag + 1; break;
    case 5: rc = tlv_increment_partition_generation(&p), expected = generation + 2; break;
    default: rc = tlv_zero_partition_preset(&p); break;
    }
    if (rc != 0) {
        FUZZ_CHECK(words == snapshot);
        return;
    }
    nvram_partition_t again;
    FUZZ_CHECK(tlv_init_partition_from_buffer(&again, words.data(), bytes) == 0);
    FUZZ_CHECK(tlv_get_partition_generation(words.data()) == expected);
    if (op == 1)
        FUZZ_CHECK(tlv_find(&again.tlv_cursor, tag) == TLV_OK && tlv_length(&again.tlv_cursor) == value.size());
    if (op == 0) {
        // An appended item is the last of its tag; the partition may hold
        // others of it before.
        size_t last = SIZE_MAX;
        for (int r = tlv_rewind(&again.tlv_cursor); r == TLV_OK; r = tlv_advance(&again.tlv_cursor))
            if (tlv_tag(&again.tlv_cursor) == tag)
                last = tlv_length(&again.tlv_cursor);
        FUZZ_CHECK(last == value.size());
    }
    if (op == 6)
        FUZZ_CHECK(load_le16(reinterpret_cast<const uint8_t *>(words.data()) + 10) == 0);
}
