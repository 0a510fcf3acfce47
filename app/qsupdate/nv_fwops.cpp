#include "app/qsupdate/nv_fwops.h"

#include <libintl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "lib/platform/platform.h"
#include "lib/utils/byteorder.h"
#include "lib/utils/crc32.h"
#include "lib/utils/linux/dynamic_cfg.h"
#include "lib/utils/qs_assert.h"

namespace {

constexpr unsigned long PLATFORM_WAIT_US = 5000000;
// Header version of the images this program makes up itself.
constexpr uint32_t MADE_UP_HEADER_VERSION = 4;

void free_keeping_errno(void *a, void *b)
{
    int saved = errno;
    std::free(a);
    std::free(b);
    errno = saved;
}

// The trailer a plain image ends with: the checksum of all that precedes it.
void add_crc_to_buffer(uint8_t *buf, size_t len)
{
    store_le32(buf + len, crc32_partial(buf, len, 0));
}

} // namespace

nv_part_type image_part_type(unsigned type)
{
    switch (type) {
    case IMAGE_TYPE_PHY: return NV_PART_PHY;
    case IMAGE_TYPE_BOOTROM: return NV_PART_BOOTROM;
    case IMAGE_TYPE_MCFW: return NV_PART_MCFW;
    case IMAGE_TYPE_FPGA: return NV_PART_FPGA;
    case IMAGE_TYPE_FPGA_BACKUP: return NV_PART_FPGA_BACKUP;
    case IMAGE_TYPE_FCFW: return NV_PART_FCFW;
    case IMAGE_TYPE_CPLD: return NV_PART_CPLD;
    case IMAGE_TYPE_MUMFW: return NV_PART_MUMFW;
    case IMAGE_TYPE_UEFIROM: return NV_PART_UEFI;
    case IMAGE_TYPE_BUNDLE: return NV_PART_BUNDLE;
    default: QS_ASSERT(!"invalid firmware image type");
    }
}

void nv_fw_wait_platform(const nv_fw_context *ctx)
{
    if (ctx->ops->flags & firmware_w_req_wait_platform)
        platform().sleep_us(PLATFORM_WAIT_US);
}

void nv_fw_report(progress_fn progress, const char *status, int pc)
{
    if (progress)
        progress(gettext(status), pc);
}

bool nv_fw_match_device(const firmware_ops *ops, qsu_device *dev)
{
    return nv_exists(dev, image_part_type(ops->type), ops->subtype);
}

void *nv_fw_open(const firmware_ops *ops, qsu_device *dev)
{
    auto *ctx = static_cast<nv_fw_context *>(std::calloc(1, sizeof(nv_fw_context)));
    if (!ctx) {
        errno = ENOMEM;
        return nullptr;
    }
    ctx->nv = nv_open(dev, image_part_type(ops->type), ops->subtype);
    if (!ctx->nv) {
        free_keeping_errno(ctx, nullptr);
        return nullptr;
    }
    ctx->dev = dev;
    ctx->ops = ops;
    return ctx;
}

void nv_fw_close(void *handle)
{
    auto *ctx = static_cast<nv_fw_context *>(handle);
    nv_close(ctx->nv);
    std::free(ctx);
}

// The installed version is what the dynamic configuration records for the
// type; the partition itself carries no version the adapter vouches for.
// A board of the first generation has no configuration, so nothing is
// recorded for it: the version is unknown rather than a crash.
firmware_version nv_fw_get_version(void *handle, dynamic_cfg_context *cfg)
{
    if (!cfg)
        return {};
    auto *ctx = static_cast<nv_fw_context *>(handle);
    return dynamic_cfg_get_version(cfg, static_cast<image_type_t>(ctx->ops->type));
}

qsupdate_image_t *nv_fw_read_image(void *handle, progress_fn)
{
    auto *ctx = static_cast<nv_fw_context *>(handle);
    nv_fw_wait_platform(ctx);
    const uint32_t size = nv_part_size(ctx->nv);
    const size_t len = size_t(size) + IMAGE_HEADER_SIZE + IMAGE_TRAILER_SIZE;
    auto *image = static_cast<qsupdate_image_t *>(std::calloc(1, sizeof(qsupdate_image_t)));
    auto *buf = static_cast<uint8_t *>(std::malloc(len));
    if (!image || !buf) {
        free_keeping_errno(image, buf);
        errno = ENOMEM;
        return nullptr;
    }
    // A header of our own makes the partition an image like any other, so
    // that it can be backed up and parsed; its version stays 0.0.0.0.
    std::memset(buf, 0, IMAGE_HEADER_SIZE);
    store_le32(buf + offsetof(image_header_t, ih_magic), IMAGE_HEADER_MAGIC);
    store_le32(buf + offsetof(image_header_t, ih_version), MADE_UP_HEADER_VERSION);
    store_le32(buf + offsetof(image_header_t, ih_type), ctx->ops->type);
    store_le32(buf + offsetof(image_header_t, ih_subtype), ctx->ops->subtype);
    store_le32(buf + offsetof(image_header_t, ih_code_size), size);
    store_le32(buf + offsetof(image_header_t, ih_size), IMAGE_HEADER_SIZE);
    if (nv_read_all(ctx->nv, buf + IMAGE_HEADER_SIZE) < 0) {
        free_keeping_errno(image, buf);
        return nullptr;
    }
    add_crc_to_buffer(buf, size_t(size) + IMAGE_HEADER_SIZE);
    if (init_image_from_buffer(buf, len, image) < 0) {
        free_keeping_errno(image, buf);
        return nullptr;
    }
    return image;
}
