#include "lib/utils/linux/vpd.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "lib/utils/byteorder.h"
#include "lib/utils/qs_assert.h"

const uint8_t vpd_dynamic_init[VPD_DYNAMIC_INIT_LEN] = {
    VPD_TAG_READ_ONLY, 0x08, 0x00, 'V', 'D', 0x01, 0x00, 'R', 'V', 0x01, 0x24, VPD_TAG_END,
};

namespace {

// Keyword layout: key1, key2, value length, value.
constexpr size_t KEYWORD_HEADER = 3;
constexpr size_t FIRST_KEYWORD = 3;

uint8_t sum_bytes(const uint8_t *bytes, size_t count)
{
    uint8_t sum = 0;
    for (size_t i = 0; i < count; i++)
        sum = static_cast<uint8_t>(sum + bytes[i]);
    return sum;
}

size_t data_len(const uint8_t *vpd)
{
    return load_le16(vpd + 1);
}

void vpd_set_used_len(uint8_t *vpd, size_t used_len)
{
    size_t vpdr_len = used_len - VPD_RECORD_OVERHEAD;
    QS_ASSERT(vpdr_len <= 0xffff);
    store_le16(vpd + 1, static_cast<uint16_t>(vpdr_len));
}

bool is_checksum_key(const uint8_t *keyword)
{
    return keyword[0] == 'R' && keyword[1] == 'V';
}

// Offset of the first keyword with these keys, or 0 when the walk reaches
// the End tag.  With `need_value`, keywords without a value byte are passed.
size_t find_keyword(const uint8_t *vpd, char key1, char key2, bool need_value)
{
    size_t end = FIRST_KEYWORD + data_len(vpd);
    size_t offset = FIRST_KEYWORD;
    while (offset + KEYWORD_HEADER <= end) {
        const uint8_t *keyword = vpd + offset;
        if (keyword[0] == static_cast<uint8_t>(key1) && keyword[1] == static_cast<uint8_t>(key2) &&
            (!need_value || keyword[2] != 0))
            return offset;
        offset += KEYWORD_HEADER + keyword[2];
    }
    QS_ASSERT(offset == end);
    return 0;
}

// The first value byte of "RV" makes the sum of everything up to it zero.
// An "RV" without a value byte is no checksum (validation passes over it):
// writing its "first value byte" would overwrite the next keyword or the
// End tag, and would leave the real checksum stale.
void vpd_update_checksum(uint8_t *vpd)
{
    size_t offset = find_keyword(vpd, 'R', 'V', true);
    if (offset == 0)
        return;
    vpd[offset + KEYWORD_HEADER] =
        static_cast<uint8_t>(-sum_bytes(vpd, offset + KEYWORD_HEADER));
}

} // namespace

size_t vpd_used_len(const void *vpd)
{
    return data_len(static_cast<const uint8_t *>(vpd)) + VPD_RECORD_OVERHEAD;
}

bool vpd_is_valid(const void *record, size_t len)
{
    const uint8_t *vpd = static_cast<const uint8_t *>(record);
    if (len <= 3 || vpd[0] != VPD_TAG_READ_ONLY)
        return false;
    size_t data = data_len(vpd);
    if (data + VPD_RECORD_OVERHEAD > len)
        return false;
    if (vpd[data + 3] != VPD_TAG_END)
        return false;
    if (data <= 3)
        return false;

    // Every byte read below lies before the End tag at data + 3: a keyword
    // is only examined when it starts before offset `data`.
    size_t offset = FIRST_KEYWORD;
    for (;;) {
        const uint8_t *keyword = vpd + offset;
        size_t next = offset + KEYWORD_HEADER + keyword[2];
        bool is_checksum = is_checksum_key(keyword) && keyword[2] != 0;
        if (is_checksum && sum_bytes(vpd, offset + KEYWORD_HEADER + 1) != 0)
            return false;
        if (next >= data)
            return is_checksum && next == data + 3;
        if (is_checksum)
            return false; // the checksum must be the last keyword
        offset = next;
    }
}

size_t vpd_find(const void *record, char key1, char key2)
{
    return find_keyword(static_cast<const uint8_t *>(record), key1, key2, false);
}

int vpd_set(void *record, size_t room, char key1, char key2, const void *value, size_t value_len)
{
    uint8_t *vpd = static_cast<uint8_t *>(record);
    if (value_len > VPD_MAX_VALUE_LEN) {
        errno = EINVAL;
        return -1;
    }
    size_t old_offset = vpd_find(vpd, key1, key2);
    size_t old_size = old_offset != 0 ? KEYWORD_HEADER + vpd[old_offset + 2] : 0;
    size_t used = vpd_used_len(vpd);
    size_t capacity = std::min(room, VPD_MAX_RECORD_LEN);
    size_t new_size = KEYWORD_HEADER + value_len;
    // Nothing moves unless the whole new record fits.
    if (capacity + old_size < used || new_size > capacity + old_size - used) {
        errno = ENOSPC;
        return -1;
    }

    size_t offset = old_offset != 0 ? old_offset : vpd_find(vpd, 'R', 'V');
    QS_ASSERT(offset != 0);
    // The value may come from this record, even from the keyword it
    // replaces: it is taken aside before any byte moves.
    uint8_t aside[VPD_MAX_VALUE_LEN];
    if (value_len != 0)
        std::memcpy(aside, value, value_len);
    std::memmove(vpd + offset + new_size, vpd + offset + old_size, used - offset - old_size);
    vpd[offset] = static_cast<uint8_t>(key1);
    vpd[offset + 1] = static_cast<uint8_t>(key2);
    vpd[offset + 2] = static_cast<uint8_t>(value_len);
    if (value_len != 0)
        std::memcpy(vpd + offset + KEYWORD_HEADER, aside, value_len);
    vpd_set_used_len(vpd, used + new_size - old_size);
    vpd_update_checksum(vpd);
    return 0;
}

void vpd_delete(void *record, char key1, char key2)
{
    uint8_t *vpd = static_cast<uint8_t *>(record);
    size_t offset = vpd_find(vpd, key1, key2);
    if (offset == 0)
        return;
    size_t size = KEYWORD_HEADER + vpd[offset + 2];
    size_t used = vpd_used_len(vpd);
    std::memmove(vpd + offset, vpd + offset + size, used - offset - size);
    vpd_set_used_len(vpd, used - size);
    vpd_update_checksum(vpd);
}
