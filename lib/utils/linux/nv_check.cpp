// A write is checked by reading the partition back.  Flash that does not
// take a bit, or a device that drops a chunk it said it wrote, is found
// here, before the version is recorded and the adapter is reset into it.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <libintl.h>

#include "lib/utils/linux/nv_backends.h"

namespace {

// Where the bytes the write meant to leave end: behind the image, the
// erased ones up to where the erase went (an MTD block device has that
// range written with erased bytes; an EEPROM is not erased).
uint64_t meant_end(const nv_context *ctx, uint32_t len, bool full_erase)
{
    if (ctx->ops == &nv_ops_mtd)
        return ctx->u.mtd.is_eeprom ? len : nv_erase_end(len, ctx->u.mtd.erase_size, ctx->part_size, full_erase);
    return nv_erase_end(len, ctx->u.mcdi.erase_size, ctx->part_size, full_erase);
}

int report_mismatch(const nv_context *ctx)
{
    if (ctx->ops == &nv_ops_mtd)
        std::fprintf(stderr, "%s %s\n", gettext("Failed to write partition"), ctx->u.mtd.part_name);
    else
        std::fprintf(stderr, gettext("Failed to write NVRAM sector: %s\n"), std::strerror(EIO));
    return nv_fail(EIO);
}

} // namespace

int nv_check_written(nv_context *ctx, const void *buf, uint32_t len, bool full_erase)
{
    uint64_t compared = len;
    if (ctx->ops != &nv_ops_mtd && ctx->compared_len)
        compared = std::min<uint64_t>(ctx->compared_len, len);
    const uint64_t end = ctx->ops != &nv_ops_mtd && compared < len ? compared : meant_end(ctx, len, full_erase);
    std::vector<uint8_t> back(end);
    if (nv_read(ctx, back.data(), back.size(), 0) != static_cast<ssize_t>(back.size()))
        return report_mismatch(ctx);
    const auto *meant = static_cast<const uint8_t *>(buf);
    const bool same = std::equal(back.begin(), back.begin() + static_cast<long>(compared), meant) &&
                      std::all_of(back.begin() + static_cast<long>(std::min<uint64_t>(compared, end)), back.end(),
                                  [&](uint8_t b) { return b == 0xFF; });
    return same ? 0 : report_mismatch(ctx);
}
