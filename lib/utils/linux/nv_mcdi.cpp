// The management-controller backends: the driver carries MCDI commands
// through its private ioctl, on the control device or on a socket.
//
// Only the transports are written so far.  Opening sets up the envelope
// and then finds no partition (ENOENT, so callers take their "not on this
// path" way); reading and writing fail with ENOSYS.  The NVRAM commands
// come next.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <libintl.h>
#include <sys/socket.h>

#include "lib/platform/platform.h"
#include "lib/utils/linux/nv_backends.h"
#include "lib/utils/linux/qsu_device.h"

const nv_ops nv_ops_mcdi_char = {mcdi_char_open, mcdi_read, mcdi_write_all};
const nv_ops nv_ops_mcdi_sock = {mcdi_sock_open, mcdi_read, mcdi_write_all};

namespace {

// The part of opening that both transports share.  Partition information
// is not asked for yet, so no partition is found; the descriptor is closed
// on failure, with errno kept.
int mcdi_common_open(nv_context *ctx, qsu_device *, nv_part_type, unsigned)
{
    platform().close(ctx->fd);
    ctx->fd = -1;
    errno = ENOENT;
    return -1;
}

bool exists_through(const nv_ops &ops, qsu_device *dev, nv_part_type type, unsigned subtype)
{
    nv_context ctx{};
    ctx.fd = -1;
    if (ops.open(&ctx, dev, type, subtype) != 0)
        return false;
    platform().close(ctx.fd);
    return true;
}

} // namespace

int mcdi_char_open(nv_context *ctx, qsu_device *dev, nv_part_type type, unsigned subtype)
{
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
    ioc.cmd = KPX_CMD_MCDI_REQUEST;
    ctx->u.mcdi.kpx_cmd = &ioc.cmd;
    ctx->u.mcdi.req = &ioc.u.mcdi_request;
    ctx->u.mcdi.req2 = &ioc.u.mcdi_request2;
    return mcdi_common_open(ctx, dev, type, subtype);
}

int mcdi_sock_open(nv_context *ctx, qsu_device *dev, nv_part_type type, unsigned subtype)
{
    ctx->fd = platform().socket(AF_INET, SOCK_STREAM, 0);
    if (ctx->fd < 0)
        return -1;
    auto &ioc = ctx->u.mcdi.ioc;
    std::memset(&ioc.ifr, 0, sizeof ioc.ifr);
    std::memset(&ioc.sock_ioc, 0, sizeof ioc.sock_ioc);
    std::strncpy(ioc.ifr.ifr_name, dev->netif_name, sizeof ioc.ifr.ifr_name);
    ioc.ifr.ifr_data = reinterpret_cast<char *>(&ioc.sock_ioc);
    ctx->u.mcdi.kpx_cmd = &ioc.sock_ioc.cmd;
    ctx->u.mcdi.req = &ioc.sock_ioc.u.mcdi_request;
    ctx->u.mcdi.req2 = &ioc.sock_ioc.u.mcdi_request2;
    return mcdi_common_open(ctx, dev, type, subtype);
}

ssize_t mcdi_read(nv_context *, void *, size_t, uint32_t)
{
    errno = ENOSYS;
    return -1;
}

int mcdi_write_all(nv_context *, const void *, uint32_t, bool, progress_fn)
{
    errno = ENOSYS;
    return -1;
}

bool mcdi_char_exists(qsu_device *dev, nv_part_type type, unsigned subtype)
{
    return exists_through(nv_ops_mcdi_char, dev, type, subtype);
}

bool mcdi_sock_exists(qsu_device *dev, nv_part_type type, unsigned subtype)
{
    return exists_through(nv_ops_mcdi_sock, dev, type, subtype);
}
