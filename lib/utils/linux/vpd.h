// PCI VPD records as the dynamic configuration keeps them: one read-only
// VPD resource of two-character keywords, closed by the End tag and
// protected by the "RV" checksum keyword.  The routines edit a caller's
// buffer in place and never allocate; a value may lie in the record itself.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint8_t VPD_TAG_READ_ONLY = 0x90;
inline constexpr uint8_t VPD_TAG_END = 0x78;
// Tag, 16-bit length and End tag around the keyword data.
inline constexpr size_t VPD_RECORD_OVERHEAD = 4;
inline constexpr size_t VPD_MAX_RECORD_LEN = 0xFFFF + VPD_RECORD_OVERHEAD;
inline constexpr size_t VPD_MAX_VALUE_LEN = 255;

// Record that replaces a missing or damaged dynamic VPD: "VD" holding one
// zero byte, and the checksum.
inline constexpr size_t VPD_DYNAMIC_INIT_LEN = 12;
extern const uint8_t vpd_dynamic_init[VPD_DYNAMIC_INIT_LEN];

// Bytes from the tag through the End tag.
size_t vpd_used_len(const void *vpd);
// Whether a well-formed, correctly checksummed record lies within `len` bytes.
bool vpd_is_valid(const void *vpd, size_t len);
// Offset of the keyword, or 0 when absent.
size_t vpd_find(const void *vpd, char key1, char key2);
// Sets or replaces a keyword; `room` is the space for the whole record.
// 0, or -1 with errno EINVAL (value over 255 bytes) or ENOSPC (no room),
// the record then unchanged.
int vpd_set(void *vpd, size_t room, char key1, char key2, const void *value, size_t value_len);
// Removes the keyword if present.
void vpd_delete(void *vpd, char key1, char key2);
