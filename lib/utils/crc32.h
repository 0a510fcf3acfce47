#pragma once

#include <cstddef>
#include <cstdint>

// CRC-32 of IEEE 802.3 (reflected), without initial or final inversion, so
// that a running checksum can be continued over several pieces.
uint32_t crc32_partial(const void *buffer, size_t length, uint32_t crc);
