#include "lib/utils/crc32.h"

#include <array>

namespace {

constexpr uint32_t CRC32_REFLECTED_POLY = 0xEDB88320;

constexpr std::array<uint32_t, 256> make_crc32_table()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < table.size(); i++) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; bit++)
            c = (c & 1) ? (c >> 1) ^ CRC32_REFLECTED_POLY : c >> 1;
        table[i] = c;
    }
    return table;
}

constexpr std::array<uint32_t, 256> crc32_table = make_crc32_table();
static_assert(crc32_table[1] == 0x77073096);
static_assert(crc32_table[255] == 0x2D02EF8D);

} // namespace

uint32_t crc32_partial(const void *buffer, size_t length, uint32_t crc)
{
    const auto *bytes = static_cast<const uint8_t *>(buffer);
    for (size_t i = 0; i < length; i++)
        crc = (crc >> 8) ^ crc32_table[(crc ^ bytes[i]) & 0xFF];
    return crc;
}
