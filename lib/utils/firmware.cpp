#include "lib/utils/firmware.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "lib/utils/byteorder.h"
#include "lib/utils/crc32.h"
#include "lib/utils/firmware_ops.h"

namespace {

constexpr uint16_t IPXE_ROM_SIGNATURE = 0xAA55;
constexpr size_t ROM_SIZE_BYTE = 2;
constexpr size_t ROM_SIZE_UNIT = 512;

int fail_invalid()
{
    errno = EINVAL;
    return -1;
}

// Does buf hold a plain image: header, code and trailer within len bytes?
// The checksum is left to validate_crc.
int validate_unsigned_buffer(const uint8_t *buf, size_t len)
{
    if (len < IMAGE_HEADER_SIZE)
        return -1;
    const auto *h = reinterpret_cast<const image_header_t *>(buf);
    if (le32_to_host(h->ih_magic) != IMAGE_HEADER_MAGIC)
        return -1;
    const uint32_t header_size = le32_to_host(h->ih_size);
    // A shorter header would let the code overlap the header fields.
    if (header_size < IMAGE_HEADER_SIZE)
        return -1;
    // 64-bit sum: two 32-bit sizes and the trailer cannot overflow it.
    const uint64_t needed =
        uint64_t(header_size) + le32_to_host(h->ih_code_size) + IMAGE_TRAILER_SIZE;
    if (needed > len)
        return -1;
    return 0;
}

// The trailer's CRC covers every header byte (ih_size of them) and the code.
int validate_crc(const qsupdate_image_t *image)
{
    uint32_t crc = crc32_partial(image->reflash_header, image->reflash_header_len, 0);
    crc = crc32_partial(image->image_code, image->image_code_len, crc);
    if (crc != le32_to_host(image->reflash_trailer->crc32))
        return -1;
    return 0;
}

// Every PCI expansion ROM declares its size in 512-byte units and sums to
// zero over it: a truncated or wrong download shows here, before it can be
// written over the boot ROM.
bool is_expansion_rom(const uint8_t *buf, size_t len)
{
    if (len <= ROM_SIZE_BYTE || load_le16(buf) != IPXE_ROM_SIGNATURE)
        return false;
    const size_t rom_size = buf[ROM_SIZE_BYTE] * ROM_SIZE_UNIT;
    if (rom_size == 0 || rom_size > len)
        return false;
    uint8_t sum = 0;
    for (size_t i = 0; i < rom_size; i++)
        sum = static_cast<uint8_t>(sum + buf[i]);
    return sum == 0;
}

} // namespace

int init_image_from_buffer(uint8_t *buf, size_t len, qsupdate_image_t *image)
{
    if (buf == nullptr || image == nullptr)
        return fail_invalid();

    *image = {};
    uint8_t *header_start;
    if (validate_unsigned_buffer(buf, len) == 0) {
        // Plain first: a valid plain image is never taken for an envelope.
        image->format = IMAGE_FORMAT_UNSIGNED;
        header_start = buf;
    } else {
        uint32_t off = 0;
        uint32_t clen = 0;
        if (cms_parse(buf, len, &off, &clen) != 0)
            return fail_invalid();
        // The locator keeps its content inside the buffer; checked anyway
        // because every span below is derived from it.
        if (uint64_t(off) + clen > len)
            return fail_invalid();
        if (validate_unsigned_buffer(buf + off, clen) != 0)
            return fail_invalid();
        image->format = IMAGE_FORMAT_SIGNED;
        image->cms_header = buf;
        image->cms_header_len = off;
        image->signature = buf + off + clen;
        image->signature_len = len - (size_t(off) + clen);
        header_start = buf + off;
    }

    auto *header = reinterpret_cast<image_header_t *>(header_start);
    const uint32_t header_size = le32_to_host(header->ih_size);
    const uint32_t code_size = le32_to_host(header->ih_code_size);
    image->raw_image = buf;
    image->raw_image_len = len;
    image->reflash_header = header;
    image->reflash_header_len = header_size;
    image->image_code = header_start + header_size;
    image->image_code_len = code_size;
    image->reflash_trailer =
        reinterpret_cast<image_trailer_t *>(header_start + size_t(header_size) + code_size);
    image->reflash_trailer_len = IMAGE_TRAILER_SIZE;

    if (validate_crc(image) != 0)
        return fail_invalid();
    return 0;
}

int init_ipxe_image_from_buffer(uint8_t *buf, size_t len, qsupdate_image_t *image)
{
    if (buf == nullptr || image == nullptr || !is_expansion_rom(buf, len))
        return fail_invalid();

    auto *header = static_cast<image_header_t *>(calloc(1, sizeof(image_header_t)));
    if (header == nullptr)
        return -1; // ENOMEM from calloc
    header->ih_type = host_to_le32(IMAGE_TYPE_BOOTROM);
    header->ih_subtype = host_to_le32(IMAGE_SUBTYPE_BOOTROM_DOGWOOD);
    header->ih_size = host_to_le32(IMAGE_HEADER_SIZE);
    header->ih_code_size = host_to_le32(static_cast<uint32_t>(len));
    header->ih_code_version_a = host_to_le16(IPXE_VERSION.a);
    header->ih_code_version_b = host_to_le16(IPXE_VERSION.b);
    header->ih_code_version_c = host_to_le16(IPXE_VERSION.c);
    header->ih_code_version_d = host_to_le16(IPXE_VERSION.d);

    // The ROM is written byte for byte: the code span is the whole file.
    *image = {};
    image->format = IMAGE_FORMAT_UNSIGNED;
    image->raw_image = buf;
    image->raw_image_len = len;
    image->reflash_header = header;
    image->reflash_header_len = IMAGE_HEADER_SIZE;
    image->image_code = buf;
    image->image_code_len = len;
    return 0;
}

int init_image_from_fw_ops(const firmware_ops *ops, qsupdate_image_t *image)
{
    if (ops == nullptr || image == nullptr)
        return fail_invalid();
    if (ops->default_image.image_data == nullptr) {
        *image = {};
        image->format = IMAGE_FORMAT_NO_IMAGE;
        return 0;
    }
    // The parsed record points into the row's constant data; nothing in
    // the program writes through a default image's spans.
    if (init_image_from_buffer(const_cast<uint8_t *>(ops->default_image.image_data),
                               ops->default_image.image_size, image) != 0)
        return fail_invalid();
    return 0;
}

// The record and its raw buffer come from malloc.  An iPXE header is its own
// allocation; any other header lies inside the raw buffer.
void qsupdate_image_free(qsupdate_image_t *image)
{
    if (image == nullptr)
        return;
    const auto raw_start = reinterpret_cast<uintptr_t>(image->raw_image);
    const auto header_at = reinterpret_cast<uintptr_t>(image->reflash_header);
    const bool header_in_raw = image->raw_image != nullptr && header_at >= raw_start &&
                               header_at - raw_start < image->raw_image_len;
    if (image->reflash_header != nullptr && !header_in_raw)
        free(image->reflash_header);
    free(image->raw_image);
    free(image);
}
