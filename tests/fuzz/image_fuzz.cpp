// Image files and iPXE ROMs: every span of an accepted image lies inside the file, and none overlap.
#include <utility>

#include "lib/utils/firmware.h"
#include "tests/fuzz/fuzz_target.h"

QS_FUZZ_TARGET(image)
{
    const auto inside = [](const uint8_t *buf, size_t len, const void *span, size_t span_len) {
        const auto at = reinterpret_cast<uintptr_t>(span), start = reinterpret_cast<uintptr_t>(buf);
        return span_len == 0 || (at >= start && at - start <= len && span_len <= len - (at - start));
    };
    // As the program holds an image: a malloc'ed copy in a heap record.
    auto *buf = static_cast<uint8_t *>(std::malloc(size != 0 ? size : 1));
    auto *image = static_cast<qsupdate_image_t *>(std::calloc(1, sizeof(qsupdate_image_t)));
    FUZZ_CHECK(buf && image);
    std::copy_n(data, size, buf);
    if (init_image_from_buffer(buf, size, image) == 0) {
        FUZZ_CHECK(image->format == IMAGE_FORMAT_UNSIGNED || image->format == IMAGE_FORMAT_SIGNED);
        const std::pair<const void *, size_t> spans[] = {
            {image->reflash_header, image->reflash_header_len}, {image->image_code, image->image_code_len},
            {image->reflash_trailer, image->reflash_trailer_len}, {image->cms_header, image->cms_header_len},
            {image->signature, image->signature_len}};
        size_t parts = 0;
        for (auto [span, len] : spans) {
            FUZZ_CHECK(inside(buf, size, span, len));
            parts += len;
        }
        FUZZ_CHECK(image->reflash_header_len >= IMAGE_HEADER_SIZE);
        FUZZ_CHECK(parts <= size);
    }
    qsupdate_image_t ipxe;
    if (init_ipxe_image_from_buffer(buf, size, &ipxe) == 0) {
        FUZZ_CHECK(ipxe.image_code == buf && ipxe.image_code_len == size && size >= 512);
        *image = ipxe; // freed with its made-up header
    }
    // A refused image leaves the record without its buffer.
    image->raw_image = buf;
    image->raw_image_len = size;
    qsupdate_image_free(image);
}
