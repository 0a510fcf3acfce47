// The MTD character and block devices as the kernel defines them: their
// majors and the ioctl that erases.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lab {

constexpr unsigned MTD_CHAR_MAJOR = 90;  // /dev/mtdN is minor 2N (2N+1 read-only)
constexpr unsigned MTD_BLOCK_MAJOR = 31; // /dev/mtdblockN is minor N
constexpr unsigned long MTD_MEMERASE = 0x40084D02;

// MEMERASE's argument, in the host's byte order as every ioctl argument.
struct MtdEraseInfo {
    uint32_t start;
    uint32_t length;
};
static_assert(sizeof(MtdEraseInfo) == 8);
static_assert(offsetof(MtdEraseInfo, length) == 4);
// _IOW('M', 2, struct erase_info_user): the size is part of the number.
static_assert(MTD_MEMERASE == (0x40000000ul | (sizeof(MtdEraseInfo) << 16) | ('M' << 8) | 2));

} // namespace lab
