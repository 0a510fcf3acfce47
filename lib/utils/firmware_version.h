#pragma once

#include <cstddef>
#include <cstdint>

struct qsupdate_image_t;

// A firmware version a.b.c.d, most significant first.
struct firmware_version {
    uint16_t a;
    uint16_t b;
    uint16_t c;
    uint16_t d;
};

// Holds the longest text version_string writes, v65535.65535.65535.65535.
constexpr size_t VERSION_STRING_LEN = 25;

// 0.0.0.0: no version known, or no image.
bool version_is_null(firmware_version v);
// 9.9.9.9999: an iPXE boot ROM.
bool version_is_ipxe(firmware_version v);
constexpr firmware_version IPXE_VERSION = {9, 9, 9, 9999};

firmware_version get_image_version(const qsupdate_image_t *image);
firmware_version get_image_extra_version(const qsupdate_image_t *image);
// Sign tells the order: the first differing field, left minus right.
int compare_versions(firmware_version left, firmware_version right);
// buf holds VERSION_STRING_LEN characters; "unknown" for the null version.
char *version_string(char *buf, firmware_version ver, bool with_v);
