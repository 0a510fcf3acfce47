// Opening and closing the dynamic configuration: the partition is read
// once per part, and on BD20 adapters every port shares the part of the
// first port that opened it, so that what one port records the others see
// and a single sync stores it.
#include "lib/utils/linux/dynamic_cfg.h"

#include <algorithm>
#include <cerrno>
#include <new>
#include <utility>
#include <vector>

#include "lib/tlv/tlv_partition.h"
#include "lib/utils/linux/dynamic_cfg_birch.h"
#include "lib/utils/linux/dynamic_cfg_copy.h"
#include "lib/utils/linux/dynamic_cfg_internal.h"
#include "lib/utils/linux/qsu_device.h"
#include "lib/utils/linux/vpd.h"
#include "lib/utils/qs_assert.h"

namespace {

constexpr size_t ACCESS_PROBE_LEN = 4;
constexpr int SYNC_WRITE_TRIES = 3;

void release_part(dynamic_cfg_part *part)
{
    delete[] part->buffer;
    delete[] part->bundle_meta;
    nv_close(part->nv);
    delete part;
}

// The part some port of the adapter already holds, or null.
dynamic_cfg_part *find_dyn_cfg_part(qsu_device *dev)
{
    QS_ASSERT(dev->master_port);
    dynamic_cfg_part *part = nullptr;
    for (qsu_sll *node = dev->master_port->ports.head; node; node = node->next) {
        qsu_device *dev2 = qsu_device_from_node(node);
        if (!dev2->dyn_context)
            continue;
        if (!part)
            part = dev2->dyn_context->part;
        QS_ASSERT(part == dev2->dyn_context->part);
    }
    return part;
}

void get_dyn_cfg_part(dynamic_cfg_part *part)
{
    ++part->refcnt;
}

// Parts kept by their adapter's master port after their last close.
bool keeping_parts = false;
std::vector<std::pair<const qsu_device *, dynamic_cfg_part *>> kept_parts;

void put_dyn_cfg_part(dynamic_cfg_part *part, const qsu_device *master)
{
    QS_ASSERT(part->refcnt > 0);
    if (--part->refcnt > 0)
        return;
    if (keeping_parts && part->is_bd20 && !part->changed && part->kind == NV_PART_DYNAMIC_CFG && master) {
        kept_parts.emplace_back(master, part);
        return;
    }
    release_part(part);
}

dynamic_cfg_part *take_kept_part(const qsu_device *master)
{
    for (auto it = kept_parts.begin(); it != kept_parts.end(); ++it) {
        if (it->first == master) {
            dynamic_cfg_part *part = it->second;
            kept_parts.erase(it);
            return part;
        }
    }
    return nullptr;
}

// On BD20 adapters some ports may not export the partition; any port of
// the adapter reaches the same flash.
nv_context *open_partition(qsu_device *dev, nv_part_type type, bool is_bd20)
{
    if (!is_bd20)
        return nv_open(dev, type, 0);
    qsu_device *opened = nullptr;
    return nv_open_ports(dev, type, 0, &opened, false);
}

// A new part holding the whole partition, decoded or rebuilt; null with errno.
dynamic_cfg_part *load_dyn_cfg_part(qsu_device *dev, nv_part_type type)
{
    dynamic_cfg_part *part = new (std::nothrow) dynamic_cfg_part{};
    if (!part) {
        errno = ENOMEM;
        return nullptr;
    }
    part->is_bd20 = is_bd20_device(dev);
    part->kind = type;
    // Factory defaults are only ever read.
    if (type == NV_PART_DYNAMIC_CFG)
        part->copy_name = dynamic_cfg_copy_name(dev, part->is_bd20);
    part->nv = open_partition(dev, type, part->is_bd20);
    if (!part->nv) {
        int err = errno;
        release_part(part);
        errno = err;
        return nullptr;
    }
    part->buffer_size = nv_part_size(part->nv);
    part->buffer = new (std::nothrow) uint8_t[part->buffer_size];
    int rc = -1;
    if (!part->buffer) {
        errno = ENOMEM;
    } else {
        errno = 0;
        rc = nv_read_all(part->nv, part->buffer);
        if (rc != 0 && errno == 0)
            errno = EIO;
    }
    if (rc == 0)
        rc = prepare_dynamic_config(part);
    if (rc != 0) {
        int err = errno;
        release_part(part);
        errno = err;
        return nullptr;
    }
    return part;
}

// Takes the kept copy of an interrupted write in place of the partition's
// erased or damaged contents, when there is one that decodes.
bool restore_kept_copy(dynamic_cfg_part *part)
{
    std::vector<uint8_t> copy;
    if (part->copy_name.empty() || !dynamic_cfg_read_copy(part->copy_name, part->buffer_size, copy))
        return false;
    const std::vector<uint8_t> found(part->buffer, part->buffer + part->buffer_size);
    std::copy(copy.begin(), copy.end(), part->buffer);
    if (decode_dynamic_config(part) && dynamic_config_is_whole(part)) {
        part->restored_from_copy = true;
        return true;
    }
    std::copy(found.begin(), found.end(), part->buffer);
    return false;
}

// Whether a 4-byte read at the start of the partition works through this
// port's own handle.
bool reads_through(nv_context *nv)
{
    uint8_t probe[ACCESS_PROBE_LEN];
    bool ok = nv_read(nv, probe, sizeof probe, 0) == static_cast<ssize_t>(sizeof probe);
    nv_close(nv);
    return ok;
}

} // namespace

int prepare_dynamic_config(dynamic_cfg_part *part)
{
    size_t smallest = part->is_bd20 ? TLV_PARTITION_MIN_SIZE : BIRCH_HEADER_LEN;
    if (part->buffer_size < smallest) {
        errno = ENOSPC;
        return -1;
    }
    if (decode_dynamic_config(part)) {
        part->found = dynamic_cfg_found::whole;
        // Damage the layout lives with (a later segment or the dynamic
        // VPD lost) is still damage when a copy holds them whole.
        if (!dynamic_config_is_whole(part) && restore_kept_copy(part))
            part->found = dynamic_cfg_found::damaged;
        return 0;
    }
    const bool erased = std::all_of(part->buffer, part->buffer + part->buffer_size, [](uint8_t b) { return b == 0xFF; });
    part->found = erased ? dynamic_cfg_found::erased : dynamic_cfg_found::damaged;
    // A damaged configuration is rebuilt in memory only; it reaches the
    // flash if the caller syncs.
    if (!restore_kept_copy(part))
        reset_dynamic_config(part);
    return 0;
}

int store_dynamic_config(dynamic_cfg_part *part, progress_fn progress)
{
    part->copy_kept = false;
    const bool keep = !part->copy_name.empty();
    if (keep && dynamic_cfg_keep_copy(part->copy_name, part->buffer, part->buffer_size) != 0)
        return -1;
    // The buffer is whole in memory: a write that failed, even half-way
    // through, can be made again.
    int rc = -1;
    for (int tries = 0; rc != 0 && tries < SYNC_WRITE_TRIES; ++tries)
        rc = nv_write_all(part->nv, part->buffer, static_cast<uint32_t>(part->buffer_size), true, progress);
    if (rc != 0) {
        part->copy_kept = keep;
        return -1;
    }
    if (keep)
        dynamic_cfg_drop_copy(part->copy_name);
    part->restored_from_copy = false;
    part->found = dynamic_cfg_found::whole;
    return 0;
}

dynamic_cfg_found dynamic_cfg_state(const dynamic_cfg_context *ctx)
{
    return ctx->part->found;
}

const char *dynamic_cfg_restored_copy(const dynamic_cfg_context *ctx)
{
    return ctx->part->restored_from_copy ? ctx->part->copy_name.c_str() : nullptr;
}

const char *dynamic_cfg_kept_copy(const dynamic_cfg_context *ctx)
{
    return ctx->part->copy_kept ? ctx->part->copy_name.c_str() : nullptr;
}

void attach_dynamic_config(dynamic_cfg_context *ctx, dynamic_cfg_part *part)
{
    get_dyn_cfg_part(part);
    ctx->part = part;
    // Without room for the record the port simply has none: its version
    // strings read as absent and cannot be written.
    const uint8_t *vpd = dyn_vpd_buffer(ctx);
    if (!vpd || !vpd_is_valid(vpd, dyn_vpd_available_len(ctx)))
        reset_dyn_vpd(ctx);
}

dynamic_cfg_context *dynamic_cfg_open(qsu_device *dev, nv_part_type type)
{
    if (type != NV_PART_DYNAMIC_CFG && !(type == NV_PART_DYNAMIC_CFG_DEFAULTS && has_factory_defaults(dev)))
        return nullptr;
    dynamic_cfg_context *ctx = new (std::nothrow) dynamic_cfg_context{dev, nullptr};
    if (!ctx) {
        errno = ENOMEM;
        return nullptr;
    }
    dynamic_cfg_part *part = is_bd20_device(dev) ? find_dyn_cfg_part(dev) : nullptr;
    if (!part && is_bd20_device(dev) && type == NV_PART_DYNAMIC_CFG)
        part = take_kept_part(dev->master_port);
    if (!part)
        part = load_dyn_cfg_part(dev, type);
    if (!part) {
        int err = errno;
        delete ctx;
        errno = err;
        return nullptr;
    }
    attach_dynamic_config(ctx, part);
    dev->dyn_context = ctx;
    return ctx;
}

void dynamic_cfg_close(dynamic_cfg_context *ctx)
{
    if (!ctx)
        return;
    put_dyn_cfg_part(ctx->part, ctx->qsu_dev->master_port);
    ctx->qsu_dev->dyn_context = nullptr;
    delete ctx;
}

void dynamic_cfg_keep_parts(bool keep)
{
    keeping_parts = keep;
    if (keep)
        return;
    for (auto &[master, part] : kept_parts)
        release_part(part);
    kept_parts.clear();
}

int dynamic_cfg_accessible(qsu_device *dev, qsu_device **nv_dev)
{
    QS_ASSERT(dev);
    QS_ASSERT(nv_dev);
    nv_context *own = nv_open(dev, NV_PART_DYNAMIC_CFG, 0);
    const bool opened = own != nullptr;
    if (own && reads_through(own)) {
        *nv_dev = dev;
        return 0;
    }
    nv_context *nv = nv_open_ports(dev, NV_PART_DYNAMIC_CFG, 0, nv_dev, true);
    if (!nv)
        return opened ? ENODEV : DYNAMIC_CFG_UNREACHABLE;
    return reads_through(nv) ? ENOTSUP : ENODEV;
}

int dynamic_cfg_get_buf(dynamic_cfg_context *ctx, uint8_t **buf, size_t *size)
{
    *buf = ctx->part->buffer;
    *size = ctx->part->buffer_size;
    return 0;
}

int dynamic_cfg_set_generation(void *buf, size_t len, uint32_t generation)
{
    nvram_partition_t partition;
    int rc = tlv_init_partition_from_buffer(&partition, buf, len);
    if (rc != 0)
        return rc;
    return tlv_set_partition_generation(&partition, generation);
}
