// The management controller's commands: the two envelopes of the driver's
// private ioctl, the partition types per generation, and the NVRAM
// commands that carry no data of their own.
#include "lib/utils/linux/nv_mcdi_commands.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "lib/platform/platform.h"
#include "lib/utils/byteorder.h"
#include "lib/utils/linux/kpx.h"
#include "lib/utils/linux/qsu_device.h"
#include "lib/utils/qs_assert.h"

namespace {

constexpr size_t INFO_TYPE = 0, INFO_SIZE = 4, INFO_ERASE_SIZE = 8, INFO_WRITE_SIZE = 24;
// The write size is only there in responses that reach past it.
constexpr size_t INFO_LEN_WITH_WRITE_SIZE = 28;
constexpr size_t METADATA_SUBTYPE = 8;
// Board configuration: the subtypes, 16 bits each, indexed by partition type.
constexpr size_t BOARD_CFG_SUBTYPES = 72;

constexpr uint32_t NONE = MCDI_PART_TYPE_NONE;

// Controllers of the BD20 architecture number partitions by function;
// Birch numbers them from 1, per-port ones from a base plus the port.
const uint32_t bd20_types[MAX_NV_PART] = {
    0x100,  0x500,  0x400,  0x300,  0x600,  NONE,   0xB00,  0xB02,  NONE,   0xB01,
    NONE,   0xC00,  0xD00,  0x1600, NONE,   0x1B00, 0x1C00, 0x1E00, 0x1E01,
};
const uint32_t birch_types[MAX_NV_PART] = {
    1,    5,    3,    7,    8,    10,   13,   15,   17,   14,
    NONE, NONE, NONE, NONE, NONE, NONE, NONE, NONE, NONE,
};
const bool birch_per_port[MAX_NV_PART] = {
    false, true, true, false, true, true, false, false, false, false,
};
constexpr uint32_t BIRCH_PORTS = 2;

bool is_bd20(const qsu_device *dev)
{
    uint32_t type = qsu_device_type(dev);
    return type == QSU_DEVICE_TYPE_CEDAR || type == QSU_DEVICE_TYPE_DOGWOOD ||
           type == QSU_DEVICE_TYPE_DOGWOOD2;
}

void *ioctl_arg(nv_context *ctx)
{
    auto &ioc = ctx->u.mcdi.ioc;
    if (ctx->u.mcdi.req == &ioc.char_ioc.u.mcdi_request)
        return &ioc.char_ioc;
    return &ioc.ifr;
}

int issue(nv_context *ctx, uint16_t kpx_cmd)
{
    store_le16(ctx->u.mcdi.kpx_cmd, kpx_cmd);
    if (platform().ioctl(ctx->fd, SIOCKPX, ioctl_arg(ctx)) == 0)
        return 0;
    // The driver has no pass-through: no later open in this run asks.
    if (errno == EOPNOTSUPP)
        nv_use_mcdi_request = false;
    return -1;
}

} // namespace

uint32_t mcdi_part_type(const qsu_device *dev, nv_part_type type)
{
    QS_ASSERT(type != NV_PART_NTYPES && type < MAX_NV_PART);
    if (is_bd20(dev)) {
        // Cedar keeps a boot ROM configuration per port; later
        // generations share one.
        if (type == NV_PART_BOOTROM_CFG && qsu_device_type(dev) == QSU_DEVICE_TYPE_CEDAR)
            return bd20_types[type] + dev->port_index;
        return bd20_types[type];
    }
    if (birch_per_port[type]) {
        if (dev->port_index >= BIRCH_PORTS)
            return NONE;
        return birch_types[type] + dev->port_index;
    }
    return birch_types[type];
}

uint8_t *mcdi_payload(nv_context *ctx)
{
    return reinterpret_cast<uint8_t *>(ctx->u.mcdi.req) + offsetof(kpx_mcdi_request, payload);
}

int mcdi_do_command_v1(nv_context *ctx, uint8_t cmd, size_t len)
{
    QS_ASSERT(len <= MCDI_PAYLOAD_LEN);
    kpx_mcdi_request *req = ctx->u.mcdi.req;
    req->cmd = cmd;
    req->len = static_cast<uint8_t>(len);
    req->rc = 0;
    if (issue(ctx, KPX_CMD_MCDI_REQUEST) != 0)
        return -1;
    if (req->rc != 0) {
        errno = req->rc;
        return -1;
    }
    return 0;
}

int mcdi_do_command_v2(nv_context *ctx)
{
    kpx_mcdi_request2 *req2 = ctx->u.mcdi.req2;
    if (issue(ctx, KPX_CMD_MCDI_REQUEST2) != 0)
        return -1;
    if (le16_to_host(req2->flags) & MCDI2_FLAG_ERROR) {
        uint32_t err = le32_to_host(req2->host_errno);
        errno = err != 0 ? static_cast<int>(err) : EIO;
        return -1;
    }
    return 0;
}

int mcdi_simple_command(nv_context *ctx, uint8_t cmd, std::initializer_list<uint32_t> inputs,
                        std::initializer_list<mcdi_output> outputs, size_t *resp_len)
{
    uint8_t *payload = mcdi_payload(ctx);
    std::memset(payload, 0, MCDI_PAYLOAD_LEN);
    size_t len = 0;
    for (uint32_t value : inputs) {
        QS_ASSERT(len + 4 <= MCDI_PAYLOAD_LEN);
        store_le32(payload + len, value);
        len += 4;
    }
    int rc = mcdi_do_command_v1(ctx, cmd, len);
    if (rc != 0) {
        if (errno == ENOTSUPP_KERNEL || errno == EOPNOTSUPP)
            errno = ENOENT;
    } else {
        // Past the answer the payload still holds the request: a word the
        // controller did not send is not read as one.
        const size_t answered = ctx->u.mcdi.req->len;
        for (const mcdi_output &out : outputs) {
            QS_ASSERT(out.offset + 4 <= MCDI_PAYLOAD_LEN);
            if (out.dest && out.offset + 4 > answered) {
                errno = EIO;
                rc = -1;
                break;
            }
            if (out.dest)
                *out.dest = load_le32(payload + out.offset);
        }
    }
    if (resp_len)
        *resp_len = ctx->u.mcdi.req->len;
    return rc;
}

int mcdi_nv_getinfo(nv_context *ctx, uint32_t type, uint32_t *reported_type, uint32_t *size,
                    uint32_t *erase_size, uint32_t *write_size)
{
    size_t len = 0;
    int rc = mcdi_simple_command(ctx, MCDI_CMD_NVRAM_INFO, {type},
                                 {{INFO_TYPE, reported_type}, {INFO_SIZE, size}, {INFO_ERASE_SIZE, erase_size}},
                                 &len);
    if (rc == 0)
        *write_size = len < INFO_LEN_WITH_WRITE_SIZE ? 0 : load_le32(mcdi_payload(ctx) + INFO_WRITE_SIZE);
    return rc;
}

int mcdi_nv_metadata(nv_context *ctx, uint32_t type, uint32_t *subtype)
{
    return mcdi_simple_command(ctx, MCDI_CMD_NVRAM_METADATA, {type}, {{METADATA_SUBTYPE, subtype}});
}

int mcdi_board_cfg_subtype(nv_context *ctx, uint32_t type, uint32_t *subtype)
{
    size_t len = 0;
    if (mcdi_simple_command(ctx, MCDI_CMD_BOARD_CFG, {}, {}, &len) != 0)
        return -1;
    // A type past the table the controller sent has no subtype: no such
    // partition.
    if (type >= (std::min(len, MCDI_PAYLOAD_LEN) - std::min(len, BOARD_CFG_SUBTYPES)) / 2) {
        errno = ENOENT;
        return -1;
    }
    *subtype = load_le16(mcdi_payload(ctx) + BOARD_CFG_SUBTYPES + 2 * type);
    return 0;
}

int mcdi_nv_update_start(nv_context *ctx)
{
    return mcdi_simple_command(ctx, MCDI_CMD_NVRAM_UPDATE_START, {ctx->u.mcdi.nv_image_type, 1}, {});
}

int mcdi_nv_update_finish(nv_context *ctx)
{
    return mcdi_simple_command(ctx, MCDI_CMD_NVRAM_UPDATE_FINISH, {ctx->u.mcdi.nv_image_type, 0, 1}, {});
}

int mcdi_nv_erase(nv_context *ctx, uint32_t offset, uint32_t length)
{
    return mcdi_simple_command(ctx, MCDI_CMD_NVRAM_ERASE, {ctx->u.mcdi.nv_image_type, offset, length}, {});
}

bool mcdi_is_bd20(const qsu_device *dev)
{
    return is_bd20(dev);
}
