// Writing an image into its partition, and what must follow the write.
#include <libintl.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/qsupdate/mc_followups.h"
#include "app/qsupdate/nv_fw_status.h"
#include "app/qsupdate/nv_fwops.h"
#include "lib/utils/byteorder.h"
#include "lib/utils/i18n.h"
#include "lib/utils/linux/qsu_device.h"

namespace {

// A signed controller firmware is laid out in the partition as chunks,
// each announced by a header; the controller starts from the header in
// the partition's last 32 bytes and follows each chunk to the next header.
struct __attribute__((packed)) signed_image_chunk_hdr_t {
    uint32_t magic;
    uint32_t version;
    uint32_t id;
    uint32_t offset;
    uint32_t len;
    uint32_t reserved[3];
};
static_assert(sizeof(signed_image_chunk_hdr_t) == 32);
static_assert(offsetof(signed_image_chunk_hdr_t, id) == 8);
static_assert(offsetof(signed_image_chunk_hdr_t, offset) == 12);
static_assert(offsetof(signed_image_chunk_hdr_t, len) == 16);
static_assert(offsetof(signed_image_chunk_hdr_t, reserved) == 20);

constexpr uint32_t SIGNED_IMAGE_CHUNK_MAGIC = 0xBD205161;
constexpr uint32_t SIGNED_IMAGE_CHUNK_VERSION = 1;
constexpr uint32_t CHUNK_HDR_SIZE = sizeof(signed_image_chunk_hdr_t);

enum {
    SIGNED_IMAGE_CHUNK_CMS_HEADER,
    SIGNED_IMAGE_CHUNK_REFLASH_HEADER,
    SIGNED_IMAGE_CHUNK_IMAGE,
    SIGNED_IMAGE_CHUNK_REFLASH_TRAILER,
    SIGNED_IMAGE_CHUNK_SIGNATURE,
    NUM_SIGNED_IMAGE_CHUNKS
};

// Places a chunk header at `at` and its data, if any, right behind it.
uint32_t put_chunk(uint8_t *buf, uint32_t at, uint32_t id, uint32_t offset, const void *data, uint32_t len)
{
    signed_image_chunk_hdr_t hdr;
    std::memset(&hdr, 0, sizeof hdr);
    hdr.magic = host_to_le32(SIGNED_IMAGE_CHUNK_MAGIC);
    hdr.version = host_to_le32(SIGNED_IMAGE_CHUNK_VERSION);
    hdr.id = host_to_le32(id);
    hdr.offset = host_to_le32(offset);
    hdr.len = host_to_le32(len);
    std::memcpy(buf + at, &hdr, sizeof hdr);
    if (data)
        std::memcpy(buf + offset, data, len);
    return at + CHUNK_HDR_SIZE + (data ? len : 0);
}

// The code first, then behind each chunk's data the header of the next;
// the CMS header's own header ends the partition.
void lay_out_signed_image(uint8_t *buf, uint32_t part_size, const qsupdate_image_t *image)
{
    const auto L = static_cast<uint32_t>(image->image_code_len), H = static_cast<uint32_t>(image->cms_header_len),
               R = static_cast<uint32_t>(image->reflash_header_len),
               T = static_cast<uint32_t>(image->reflash_trailer_len),
               S = static_cast<uint32_t>(image->signature_len);
    std::memcpy(buf, image->image_code, L);
    uint32_t at = L;
    at = put_chunk(buf, at, SIGNED_IMAGE_CHUNK_REFLASH_TRAILER, L + 3 * CHUNK_HDR_SIZE + H + R, nullptr, T);
    std::memcpy(buf + at, image->cms_header, H);
    at += H;
    at = put_chunk(buf, at, SIGNED_IMAGE_CHUNK_REFLASH_HEADER, at + CHUNK_HDR_SIZE, image->reflash_header, R);
    at = put_chunk(buf, at, SIGNED_IMAGE_CHUNK_IMAGE, 0, nullptr, L);
    std::memcpy(buf + at, image->reflash_trailer, T);
    at += T;
    put_chunk(buf, at, SIGNED_IMAGE_CHUNK_SIGNATURE, at + CHUNK_HDR_SIZE, image->signature, S);
    put_chunk(buf, part_size - CHUNK_HDR_SIZE, SIGNED_IMAGE_CHUNK_CMS_HEADER, L + CHUNK_HDR_SIZE, nullptr, H);
}

// The partition's new contents, or null with errno: EINVAL when the image
// would run into the final header, so that it is refused before the
// partition is touched.  Released with free.
uint8_t *signed_mcfw_contents(const qsupdate_image_t *image, uint32_t part_size)
{
    const uint64_t needed = uint64_t(image->image_code_len) + image->cms_header_len + image->reflash_header_len +
                            image->reflash_trailer_len + image->signature_len +
                            NUM_SIGNED_IMAGE_CHUNKS * CHUNK_HDR_SIZE;
    if (needed > part_size) {
        errno = EINVAL;
        return nullptr;
    }
    auto *buf = static_cast<uint8_t *>(std::malloc(part_size));
    if (!buf) {
        errno = ENOMEM;
        return nullptr;
    }
    std::memset(buf, 0xFF, part_size);
    lay_out_signed_image(buf, part_size, image);
    return buf;
}

int write_partition(nv_fw_context *ctx, const qsupdate_image_t *image, bool full_erase, progress_fn progress)
{
    if (image->format == IMAGE_FORMAT_SIGNED)
        return nv_write_all(ctx->nv, image->raw_image, static_cast<uint32_t>(image->raw_image_len), full_erase,
                            progress);
    // The adapter takes the code alone; header and trailer were for us.
    return nv_write_all(ctx->nv, image->image_code, static_cast<uint32_t>(image->image_code_len), full_erase,
                        progress);
}

// The actions the row asks for once its firmware is written.  A driver
// that cannot do one leaves the firmware written; the user is told what is
// left to do.
int run_follow_ups(nv_fw_context *ctx, progress_fn progress)
{
    const unsigned flags = ctx->ops->flags;
    const char *ifname = ctx->dev->netif_name;
    if (flags & firmware_w_req_cpld_program) {
        nv_fw_report(progress, N_("Complete"), 100);
        if (mc_cpld_program(ctx, progress) < 0) {
            if (errno != EOPNOTSUPP)
                return -1;
            std::fprintf(stderr, gettext("%s: CPLD not updated - operation unsupported by this OS\n"), ifname);
        }
    }
    if (flags & firmware_w_req_kve_reset) {
        nv_fw_report(progress, N_("Complete"), 100);
        if (mc_kve_reset(ctx, progress) < 0) {
            if (errno != EOPNOTSUPP)
                return -1;
            std::fprintf(stderr,
                         gettext("%s: KVE is still running the old firmware version.\n"
                                 "To complete this firmware upgrade, you must reload the KVE.\n"),
                         ifname);
        }
    }
    if (flags & firmware_w_req_mc_reset) {
        nv_fw_report(progress, N_("Complete"), 100);
        if (mc_reset(ctx, progress) < 0) {
            if (errno != EOPNOTSUPP)
                return -1;
            std::fprintf(stderr,
                         gettext("%s: adapter is still running the old firmware version.\n"
                                 "To complete this firmware upgrade, you must power-off and then power-on the\n"
                                 "system or the network adapter.\n"),
                         ifname);
        }
    }
    return 0;
}

} // namespace

int nv_fw_write_image(void *handle, qsupdate_image_t *image, bool full_erase, progress_fn progress)
{
    auto *ctx = static_cast<nv_fw_context *>(handle);
    nv_fw_wait_platform(ctx);
    int rc;
    if (ctx->ops->type == IMAGE_TYPE_MCFW && image->format == IMAGE_FORMAT_SIGNED) {
        const uint32_t size = nv_part_size(ctx->nv);
        uint8_t *contents = signed_mcfw_contents(image, size);
        // Nothing written: the adapter has nothing new to say either.
        if (!contents)
            return -1;
        // The code lies where it was put; what the controller makes of
        // the envelope's chunks is for its verdict to say.
        nv_controller_may_rearrange(ctx->nv, static_cast<uint32_t>(image->image_code_len));
        rc = nv_write_all(ctx->nv, contents, size, full_erase, progress);
        const int saved = errno;
        std::free(contents);
        errno = saved;
    } else {
        rc = write_partition(ctx, image, full_erase, progress);
    }
    const int write_errno = errno;
    // The adapter's verdict counts even when our side of the write went
    // well.  It judges controller firmware alone: a record left by an
    // earlier controller update says nothing of this write.
    if (ctx->ops->type == IMAGE_TYPE_MCFW && nv_fw_check_status(ctx) < 0)
        return -1;
    if (rc < 0) {
        errno = write_errno;
        return -1;
    }
    return run_follow_ups(ctx, progress);
}
