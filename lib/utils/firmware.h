// Parsed firmware images: plain reflash images, signed (CMS) images and raw
// iPXE boot ROMs, described as spans inside one caller-owned buffer.
#pragma once

#include <cstddef>
#include <cstdint>

enum image_format_t : uint32_t {
    IMAGE_FORMAT_NO_IMAGE = 0,
    IMAGE_FORMAT_INVALID = 1,
    IMAGE_FORMAT_UNSIGNED = 2,
    IMAGE_FORMAT_SIGNED = 3,
};

constexpr uint32_t IMAGE_HEADER_MAGIC = 0x0106F1A5;
constexpr uint32_t IMAGE_HEADER_SIZE = 40;
constexpr uint32_t IMAGE_TRAILER_SIZE = 4;

// Reflash image header; every multi-byte field is little-endian.
struct __attribute__((packed)) image_header_t {
    uint32_t ih_magic;
    uint32_t ih_version;
    uint32_t ih_type;
    uint32_t ih_subtype;
    uint32_t ih_code_size;
    uint32_t ih_size;
    union __attribute__((packed)) {
        uint32_t ih_controller_version_min;
        struct __attribute__((packed)) {
            uint16_t ih_controller_version_min_short;
            uint8_t ih_extra_version_a;
            uint8_t ih_extra_version_b;
        };
    };
    union __attribute__((packed)) {
        uint32_t ih_controller_version_max;
        struct __attribute__((packed)) {
            uint16_t ih_controller_version_max_short;
            uint8_t ih_extra_version_c;
            uint8_t ih_extra_version_d;
        };
    };
    uint16_t ih_code_version_a;
    uint16_t ih_code_version_b;
    uint16_t ih_code_version_c;
    uint16_t ih_code_version_d;
};

static_assert(sizeof(image_header_t) == 40);
static_assert(offsetof(image_header_t, ih_magic) == 0);
static_assert(offsetof(image_header_t, ih_version) == 4);
static_assert(offsetof(image_header_t, ih_type) == 8);
static_assert(offsetof(image_header_t, ih_subtype) == 12);
static_assert(offsetof(image_header_t, ih_code_size) == 16);
static_assert(offsetof(image_header_t, ih_size) == 20);
static_assert(offsetof(image_header_t, ih_controller_version_min) == 24);
static_assert(offsetof(image_header_t, ih_extra_version_a) == 26);
static_assert(offsetof(image_header_t, ih_extra_version_b) == 27);
static_assert(offsetof(image_header_t, ih_controller_version_max) == 28);
static_assert(offsetof(image_header_t, ih_extra_version_c) == 30);
static_assert(offsetof(image_header_t, ih_extra_version_d) == 31);
static_assert(offsetof(image_header_t, ih_code_version_a) == 32);
static_assert(offsetof(image_header_t, ih_code_version_d) == 38);

struct __attribute__((packed)) image_trailer_t {
    uint32_t crc32;
};
static_assert(sizeof(image_trailer_t) == IMAGE_TRAILER_SIZE);

struct qsupdate_image_t {
    image_format_t format;
    uint8_t *raw_image;
    size_t raw_image_len;
    uint8_t *cms_header;
    size_t cms_header_len;
    image_header_t *reflash_header;
    size_t reflash_header_len;
    uint8_t *image_code;
    size_t image_code_len;
    image_trailer_t *reflash_trailer;
    size_t reflash_trailer_len;
    uint8_t *signature;
    size_t signature_len;
};

struct firmware_ops;

// Each returns 0, or -1 with errno EINVAL for a buffer that is not an image
// of that kind.  The buffer is neither copied nor released.
int init_image_from_buffer(uint8_t *buf, size_t len, qsupdate_image_t *image);
int init_ipxe_image_from_buffer(uint8_t *buf, size_t len, qsupdate_image_t *image);
int init_image_from_fw_ops(const firmware_ops *ops, qsupdate_image_t *image);

// Releases a heap-allocated record, its raw buffer (malloc'ed) and the
// made-up header of an iPXE image.  Accepts null.
void qsupdate_image_free(qsupdate_image_t *image);

// Prints the adapter's verdict on a signed image it has checked.
void fw_report_verify_result(uint32_t result);

// Locates the encapsulated content of a CMS SignedData envelope: 0 with the
// offset and length of its value bytes, or -1 after printing why not.
int cms_parse(const uint8_t *buffer, size_t length, uint32_t *content_offset,
              uint32_t *content_length);
