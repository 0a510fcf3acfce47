// On a valid VPD record a set leaves the value valid in place, a refusal no change, a delete one keyword less.
#include "lib/utils/linux/vpd.h"
#include "tests/fuzz/fuzz_target.h"

QS_FUZZ_TARGET(vpd)
{
    FuzzInput in(data, size);
    const uint8_t op = in.byte();
    const char key1 = static_cast<char>(in.byte());
    const char key2 = static_cast<char>(in.byte());
    const size_t value_len = in.byte() + (op & 0x80 ? 1 : 0); // up to one past the largest
    const size_t spare = in.byte() % 64;
    std::vector<uint8_t> record(in.rest(), in.rest() + in.rest_size());
    const size_t len = record.size();
    if ((key1 == 'R' && key2 == 'V') || !vpd_is_valid(record.data(), len))
        return;
    FUZZ_CHECK(vpd_used_len(record.data()) <= len);
    record.resize(len + spare, 0xFF);
    const size_t room = record.size();

    // The value comes from the record itself, where it can.
    std::vector<uint8_t> own(value_len, 'v');
    const uint8_t *value = op & 0x40 && value_len <= len ? record.data() + (len - value_len) : own.data();
    const std::vector<uint8_t> wanted(value, value + value_len);
    const std::vector<uint8_t> snapshot = record;
    if (op & 1) {
        const size_t at = vpd_find(record.data(), key1, key2);
        const size_t used = vpd_used_len(record.data());
        vpd_delete(record.data(), key1, key2);
        FUZZ_CHECK(vpd_is_valid(record.data(), room));
        FUZZ_CHECK(at != 0 ? vpd_used_len(record.data()) == used - 3 - snapshot[at + 2] : record == snapshot);
        return;
    }
    if (vpd_set(record.data(), room, key1, key2, value, value_len) != 0) {
        FUZZ_CHECK(record == snapshot);
        return;
    }
    FUZZ_CHECK(value_len <= VPD_MAX_VALUE_LEN);
    FUZZ_CHECK(vpd_is_valid(record.data(), room));
    const size_t at = vpd_find(record.data(), key1, key2);
    FUZZ_CHECK(at != 0 && record[at + 2] == value_len);
    FUZZ_CHECK(std::equal(wanted.begin(), wanted.end(), record.begin() + at + 3));
}
