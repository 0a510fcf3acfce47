// The management-controller backends: the driver carries MCDI commands
// through its private ioctl, on the control device or on a socket.  Both
// transports share the opening, reading and writing above the envelope.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <libintl.h>
#include <sys/socket.h>

#include "lib/platform/platform.h"
#include "lib/utils/byteorder.h"
#include "lib/utils/i18n.h"
#include "lib/utils/linux/nv_backends.h"
#include "lib/utils/linux/nv_mcdi_commands.h"
#include "lib/utils/linux/nv_memory.h"
#include "lib/utils/linux/qsu_device.h"

const nv_ops nv_ops_mcdi_char = {mcdi_char_open, mcdi_read, mcdi_write_all};
const nv_ops nv_ops_mcdi_sock = {mcdi_sock_open, mcdi_read, mcdi_write_all};

namespace {

constexpr uint32_t DYNAMIC_CFG_TYPE = 0x500;
constexpr uint32_t MAX_SUBTYPE = 0xFFFF;
constexpr uint64_t PROGRESS_STEP = 10;

void print_ioctl_error(const nv_context *ctx)
{
    int err = errno;
    std::fprintf(stderr, "error %1$d (%2$s) doing nv-read MCDI ioctl on %3$d\n", err, std::strerror(err), ctx->fd);
    errno = err;
}

// The controller's subtype of the partition whose type it reported.
int partition_subtype(nv_context *ctx, const qsu_device *dev, uint32_t reported_type, uint32_t *subtype)
{
    if (!mcdi_is_bd20(dev))
        return mcdi_board_cfg_subtype(ctx, ctx->u.mcdi.nv_image_type, subtype);
    if (mcdi_nv_metadata(ctx, ctx->u.mcdi.nv_image_type, subtype) == 0) {
        // Subtypes are 16 bits wide: a wider one names no partition this
        // program knows.
        if (*subtype > MAX_SUBTYPE) {
            errno = ENOENT;
            return -1;
        }
        return 0;
    }
    // Controllers that keep no metadata for the dynamic configuration
    // still have its one subtype.
    if (reported_type == DYNAMIC_CFG_TYPE) {
        *subtype = 0;
        return 0;
    }
    return -1;
}

// What the controller says of the context's partition type: remembered
// from earlier in the run, or asked now.  0 with the answer (which may be
// that there is no such partition), or -1 with errno when the question
// failed for another reason; such an answer is not remembered.
int partition_answer(nv_context *ctx, const qsu_device *dev, mcdi_partition_answer *answer)
{
    const uint32_t type = ctx->u.mcdi.nv_image_type;
    if (nv_remembered_mcdi_answer(dev, type, answer))
        return 0;
    *answer = {};
    if (mcdi_nv_getinfo(ctx, type, &answer->reported_type, &answer->size, &answer->erase_size,
                        &answer->write_size) == 0 &&
        partition_subtype(ctx, dev, answer->reported_type, &answer->subtype) == 0)
        answer->exists = true;
    // EINVAL: the controller knows no partition of that type; ENOENT: it
    // keeps no subtype for it, or cannot be asked through this port.
    else if (errno != EINVAL && errno != ENOENT)
        return -1;
    nv_remember_mcdi_answer(dev, type, *answer);
    return 0;
}

bool answer_is(const mcdi_partition_answer &answer, uint32_t type, unsigned subtype)
{
    return answer.exists && answer.reported_type == type && answer.subtype == subtype;
}

// Whether the partition opens, when this run already knows: 1 or 0, and
// -1 when it must be asked.
int known_to_open(const qsu_device *dev, nv_part_type type, unsigned subtype)
{
    if (dev->pci_device_id == ADAPTER_WITHOUT_MTD || dev->pci_device_id == ADAPTER_WITH_BOOTROM_MTD_ONLY ||
        !nv_use_mcdi_request)
        return -1;
    const uint32_t mcdi_type = mcdi_part_type(dev, type);
    mcdi_partition_answer answer;
    if (!nv_remembered_mcdi_answer(dev, mcdi_type, &answer))
        return -1;
    return answer_is(answer, mcdi_type, subtype) ? 1 : 0;
}

// The part of opening that both transports share; the descriptor is
// closed on failure, with errno kept.
int mcdi_common_open(nv_context *ctx, qsu_device *dev, nv_part_type type, unsigned subtype)
{
    int rc = -1;
    if (dev->pci_device_id == ADAPTER_WITHOUT_MTD || dev->pci_device_id == ADAPTER_WITH_BOOTROM_MTD_ONLY ||
        !nv_use_mcdi_request) {
        errno = ENOENT;
    } else {
        ctx->u.mcdi.nv_image_type = mcdi_part_type(dev, type);
        mcdi_partition_answer answer;
        if (partition_answer(ctx, dev, &answer) != 0) {
            if (errno != EPERM) {
                int err = errno;
                std::fprintf(stderr, gettext("%s: failed to get NVRAM information\n"), dev->netif_name);
                errno = err;
            }
        } else if (!answer_is(answer, ctx->u.mcdi.nv_image_type, subtype)) {
            errno = ENOENT;
        } else {
            ctx->part_size = answer.size;
            ctx->u.mcdi.erase_size = answer.erase_size;
            ctx->u.mcdi.write_size = answer.write_size;
            rc = 0;
        }
    }
    if (rc != 0) {
        int err = errno;
        platform().close(ctx->fd);
        ctx->fd = -1;
        errno = err;
    }
    return rc;
}

bool exists_through(const nv_ops &ops, qsu_device *dev, nv_part_type type, unsigned subtype)
{
    if (int known = known_to_open(dev, type, subtype); known >= 0)
        return known == 1;
    nv_context ctx{};
    ctx.fd = -1;
    if (ops.open(&ctx, dev, type, subtype) != 0)
        return false;
    platform().close(ctx.fd);
    return true;
}

// One write request of either form at `offset`; 0 or -1 with errno.
int write_chunk(nv_context *ctx, const uint8_t *data, uint32_t offset, uint32_t chunk, bool second_form)
{
    if (second_form) {
        kpx_mcdi_request2 *req2 = ctx->u.mcdi.req2;
        std::memset(req2, 0, sizeof *req2);
        req2->cmd = host_to_le16(MCDI_CMD_NVRAM_WRITE);
        req2->inlen = host_to_le16(static_cast<uint16_t>(chunk + MCDI_RW_ARGS_LEN));
        req2->outlen = host_to_le16(MCDI2_OUTLEN);
        uint8_t *payload = reinterpret_cast<uint8_t *>(req2) + offsetof(kpx_mcdi_request2, payload);
        store_le32(payload, ctx->u.mcdi.nv_image_type);
        store_le32(payload + 4, offset);
        store_le32(payload + 8, chunk);
        std::memcpy(payload + MCDI_RW_ARGS_LEN, data, chunk);
        return mcdi_do_command_v2(ctx);
    }
    uint8_t *payload = mcdi_payload(ctx);
    std::memset(payload, 0, MCDI_PAYLOAD_LEN);
    store_le32(payload, ctx->u.mcdi.nv_image_type);
    store_le32(payload + 4, offset);
    store_le32(payload + 8, chunk);
    std::memcpy(payload + MCDI_RW_ARGS_LEN, data, chunk);
    return mcdi_do_command_v1(ctx, MCDI_CMD_NVRAM_WRITE, chunk + MCDI_RW_ARGS_LEN);
}

// Writes the data from offset 0; the bytes written, or -1 with errno after
// printing what failed.
int64_t mcdi_write_data(nv_context *ctx, const uint8_t *data, uint32_t len, progress_fn progress)
{
    const uint32_t total = std::min(len, ctx->part_size);
    const uint32_t write_size = ctx->u.mcdi.write_size;
    const bool second_form = write_size > MCDI_WRITE_MAX;
    // A write size past what one request holds is cut to fit.
    const uint32_t chunk_max =
        second_form ? std::min<uint32_t>(write_size, MCDI2_WRITE_MAX) : static_cast<uint32_t>(MCDI_WRITE_MAX);
    uint64_t reported = 0;
    uint32_t written = 0;
    while (written < total) {
        uint32_t chunk = std::min(chunk_max, total - written);
        if (write_chunk(ctx, data + written, written, chunk, second_form) != 0) {
            print_ioctl_error(ctx);
            return -1;
        }
        written += chunk;
        uint64_t pc = uint64_t{written} * 100 / total;
        if (progress && pc >= reported + PROGRESS_STEP) {
            nv_report(progress, N_("Writing"), pc);
            reported = pc;
        }
    }
    return written;
}

// Erases what the image needs, or the whole partition; -1 with errno.
int mcdi_erase(nv_context *ctx, uint32_t len, bool full_erase, progress_fn progress)
{
    const uint64_t erase_size = ctx->u.mcdi.erase_size, part_size = ctx->part_size;
    if (erase_size == 0) {
        // The controller erases the partition as a whole.
        if (mcdi_nv_erase(ctx, 0, ctx->part_size) != 0)
            return -1;
        nv_report(progress, N_("Erasing"), 100);
        return 0;
    }
    if (part_size % erase_size != 0) {
        std::fprintf(stderr,
                     gettext("Error. Attempting to erase a partition of size %d,                  which is not a "
                             "multiple of the erase size %d\n"),
                     static_cast<int>(part_size), static_cast<int>(erase_size));
        return nv_fail(EINVAL);
    }
    uint64_t erase_len = uint64_t{len} + erase_size - 1;
    if (erase_len > part_size || full_erase)
        erase_len = part_size;
    uint64_t reported = 0;
    uint64_t blocks = 0;
    for (uint64_t offset = 0; offset < erase_len; offset += erase_size) {
        if (mcdi_nv_erase(ctx, static_cast<uint32_t>(offset), static_cast<uint32_t>(erase_size)) != 0)
            return -1;
        ++blocks;
        // The last block may reach past the erase length.
        uint64_t pc = std::min<uint64_t>(blocks * erase_size * 100 / erase_len, 100);
        if (progress && (pc >= reported + PROGRESS_STEP || pc == 100)) {
            nv_report(progress, N_("Erasing"), pc);
            reported = pc;
        }
    }
    return 0;
}

// Sends the update finish that closes a failed update, keeping errno.
void abandon_update(nv_context *ctx)
{
    int err = errno;
    mcdi_nv_update_finish(ctx);
    errno = err;
}

// Prints a translated message whose one argument is the text of errno.
void print_failure(const char *format)
{
    int err = errno;
    std::fprintf(stderr, format, std::strerror(err));
    errno = err;
}

} // namespace

int mcdi_char_open(nv_context *ctx, qsu_device *dev, nv_part_type type, unsigned subtype)
{
    ctx->fd = -1;
    // A partition the controller has said it does not have needs no device.
    if (known_to_open(dev, type, subtype) == 0)
        return nv_fail(ENOENT);
    ctx->fd = platform().open(QSC_CONTROL_DEVICE, O_RDWR);
    if (ctx->fd < 0) {
        int err = errno;
        std::fprintf(stderr, gettext("Failed to open %1$s: %2$s\n"), QSC_CONTROL_DEVICE, std::strerror(err));
        errno = err;
        return -1;
    }
    kpx_ioctl &ioc = ctx->u.mcdi.ioc.char_ioc;
    std::memset(&ioc, 0, sizeof ioc);
    std::strncpy(ioc.if_name, dev->netif_name, sizeof ioc.if_name);
    ioc.cmd = host_to_le16(KPX_CMD_MCDI_REQUEST);
    ctx->u.mcdi.kpx_cmd = reinterpret_cast<uint8_t *>(&ioc) + offsetof(kpx_ioctl, cmd);
    ctx->u.mcdi.req = &ioc.u.mcdi_request;
    ctx->u.mcdi.req2 = &ioc.u.mcdi_request2;
    return mcdi_common_open(ctx, dev, type, subtype);
}

int mcdi_sock_open(nv_context *ctx, qsu_device *dev, nv_part_type type, unsigned subtype)
{
    ctx->fd = -1;
    if (known_to_open(dev, type, subtype) == 0)
        return nv_fail(ENOENT);
    ctx->fd = platform().socket(AF_INET, SOCK_STREAM, 0);
    if (ctx->fd < 0)
        return -1;
    auto &ioc = ctx->u.mcdi.ioc;
    std::memset(&ioc.ifr, 0, sizeof ioc.ifr);
    std::memset(&ioc.sock_ioc, 0, sizeof ioc.sock_ioc);
    std::strncpy(ioc.ifr.ifr_name, dev->netif_name, sizeof ioc.ifr.ifr_name);
    ioc.ifr.ifr_data = reinterpret_cast<char *>(&ioc.sock_ioc);
    ctx->u.mcdi.kpx_cmd = reinterpret_cast<uint8_t *>(&ioc.sock_ioc) + offsetof(kpx_sock_ioctl, cmd);
    ctx->u.mcdi.req = &ioc.sock_ioc.u.mcdi_request;
    ctx->u.mcdi.req2 = &ioc.sock_ioc.u.mcdi_request2;
    return mcdi_common_open(ctx, dev, type, subtype);
}

ssize_t mcdi_read(nv_context *ctx, void *buf, size_t len, uint32_t offset)
{
    len = std::min<size_t>(len, ctx->part_size);
    auto *dest = static_cast<uint8_t *>(buf);
    size_t done = 0;
    while (done < len) {
        uint32_t chunk = static_cast<uint32_t>(std::min(len - done, MCDI_READ_MAX));
        uint8_t *payload = mcdi_payload(ctx);
        std::memset(payload, 0, MCDI_PAYLOAD_LEN);
        store_le32(payload, ctx->u.mcdi.nv_image_type);
        store_le32(payload + 4, static_cast<uint32_t>(offset + done));
        store_le32(payload + 8, chunk);
        if (mcdi_do_command_v1(ctx, MCDI_CMD_NVRAM_READ, MCDI_RW_ARGS_LEN) != 0) {
            print_ioctl_error(ctx);
            return -1;
        }
        // Only what the controller answered is data; a short answer is
        // taken as far as it goes and the next request starts where it
        // ended.  An empty one would never get further.
        const size_t answered = std::min<size_t>(ctx->u.mcdi.req->len, chunk);
        if (answered == 0) {
            errno = EIO;
            print_ioctl_error(ctx);
            return -1;
        }
        std::memcpy(dest + done, payload, answered);
        done += answered;
    }
    return static_cast<ssize_t>(done);
}

int mcdi_write_all(nv_context *ctx, const void *buf, uint32_t len, bool full_erase, progress_fn progress)
{
    // Refused before the update starts, so that the partition is not
    // erased for an image it cannot hold.
    if (len > ctx->part_size)
        return nv_fail(ENOSPC);
    if (mcdi_nv_update_start(ctx) != 0) {
        print_failure(gettext("Failed to prepare for NVRAM update: %s\n"));
        return -1;
    }
    if (mcdi_erase(ctx, len, full_erase, progress) != 0) {
        abandon_update(ctx);
        print_failure(gettext("Failed to erase NVRAM sector: %s\n"));
        return -1;
    }
    int64_t written = mcdi_write_data(ctx, static_cast<const uint8_t *>(buf), len, progress);
    if (written != len) {
        if (written >= 0)
            errno = EIO;
        abandon_update(ctx);
        print_failure(gettext("Failed to write NVRAM sector: %s\n"));
        return -1;
    }
    nv_report(progress, N_("Validating"), 0);
    if (mcdi_nv_update_finish(ctx) != 0) {
        print_failure(gettext("Failed to finish NVRAM update: %s\n"));
        return -1;
    }
    return 0;
}

bool mcdi_char_exists(qsu_device *dev, nv_part_type type, unsigned subtype)
{
    return exists_through(nv_ops_mcdi_char, dev, type, subtype);
}

bool mcdi_sock_exists(qsu_device *dev, nv_part_type type, unsigned subtype)
{
    return exists_through(nv_ops_mcdi_sock, dev, type, subtype);
}
