// The backends behind the NV access layer, as it and its tests see them.
#pragma once

#include "lib/utils/linux/nv.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string_view>

#include <libintl.h>

// The first generation's boards: 0x0703 has no MTD partitions, 0x0710 only
// its boot ROM and boot ROM configuration; neither has a management
// controller to ask.
constexpr uint32_t ADAPTER_WITHOUT_MTD = 0x1B7E0703;
constexpr uint32_t ADAPTER_WITH_BOOTROM_MTD_ONLY = 0x1B7E0710;

// -1 with errno set, as every backend operation fails.
inline int nv_fail(int err)
{
    errno = err;
    return -1;
}

// Where the erase of a write ends: whole blocks of `erase_size` bytes from
// the start, as far as the image's last block (one block more when the
// image does not end on a block boundary) or, with a full erase, the whole
// partition; an erase size of 0 erases the whole partition at once.
inline uint64_t nv_erase_end(uint64_t len, uint64_t erase_size, uint64_t part_size, bool full_erase)
{
    if (erase_size == 0 || full_erase)
        return part_size;
    const uint64_t erase_len = std::min(len + erase_size - 1, part_size);
    return std::min((erase_len + erase_size - 1) / erase_size * erase_size, part_size);
}

// A progress report, when the caller asked for them.
inline void nv_report(progress_fn progress, const char *status, uint64_t pc)
{
    if (progress)
        progress(gettext(status), static_cast<int>(pc));
}

// Reads back what a write left and compares it with what was meant: the
// image, then erased bytes as far as the backend's erase went.  0, or -1
// with EIO after the backend's own message for a failed write.
int nv_check_written(nv_context *ctx, const void *buf, uint32_t len, bool full_erase);

// MTD devices.
int mtd_open(nv_context *ctx, qsu_device *dev, nv_part_type type, unsigned subtype);
// Closes the context's device, looks the partition up again and reopens
// it: after a write the sizes are fresh and the data is read from flash.
int mtd_reopen(nv_context *ctx);
ssize_t mtd_read(nv_context *ctx, void *buf, size_t len, uint32_t offset);
int mtd_write_all(nv_context *ctx, const void *buf, uint32_t len, bool full_erase,
                  progress_fn progress);
// Builds the partition's MTD name into ctx->u.mtd.part_name; -1 with ENOENT
// when the port has no MTD partition of that kind and subtype.
int mtd_part_name(nv_context *ctx, const qsu_device *dev, nv_part_type type, unsigned subtype);
// Looks part_name up in "/proc/mtd": its device number, with part_size,
// erase_size and is_eeprom filled; -1 with ENOENT when it is not listed.
int mtd_find(nv_context *ctx, unsigned *number);
// One "/proc/mtd" device line, mtdN: SIZE ERASESIZE "NAME" (sizes in
// hexadecimal); false, with the outputs partly written, when it is not one.
// The name is a view into the line.
bool parse_mtd_line(std::string_view s, uint32_t *number, uint32_t *size, uint32_t *erase_size,
                    std::string_view *name);
// True when the partition is listed in "/proc/mtd".
bool mtd_exists(const qsu_device *dev, nv_part_type type, unsigned subtype);

// Management-controller commands.
int mcdi_char_open(nv_context *ctx, qsu_device *dev, nv_part_type type, unsigned subtype);
int mcdi_sock_open(nv_context *ctx, qsu_device *dev, nv_part_type type, unsigned subtype);
ssize_t mcdi_read(nv_context *ctx, void *buf, size_t len, uint32_t offset);
int mcdi_write_all(nv_context *ctx, const void *buf, uint32_t len, bool full_erase,
                   progress_fn progress);
bool mcdi_char_exists(qsu_device *dev, nv_part_type type, unsigned subtype);
bool mcdi_sock_exists(qsu_device *dev, nv_part_type type, unsigned subtype);
