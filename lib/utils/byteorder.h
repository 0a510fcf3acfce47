// The adapter's formats are little-endian.  These helpers convert between
// that order and the host's; on a little-endian host they change nothing.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

inline constexpr uint16_t host_to_le16(uint16_t v)
{
    if constexpr (std::endian::native == std::endian::little)
        return v;
    else
        return static_cast<uint16_t>((v >> 8) | (v << 8));
}

inline constexpr uint32_t host_to_le32(uint32_t v)
{
    if constexpr (std::endian::native == std::endian::little)
        return v;
    else
        return ((v & 0xFFu) << 24) | ((v & 0xFF00u) << 8) | ((v >> 8) & 0xFF00u) | (v >> 24);
}

inline constexpr uint16_t le16_to_host(uint16_t v) { return host_to_le16(v); }
inline constexpr uint32_t le32_to_host(uint32_t v) { return host_to_le32(v); }

void byteorder_native_to_le_16(uint16_t *values, size_t count);
void byteorder_le_to_native_16(uint16_t *values, size_t count);
void byteorder_native_to_le_32(uint32_t *values, size_t count);
void byteorder_le_to_native_32(uint32_t *values, size_t count);

// Unaligned little-endian access to byte buffers.
inline uint16_t load_le16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t load_le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void store_le16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void store_le32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
