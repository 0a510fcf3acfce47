#include "app/qsupdate/backup_file.h"

#include <cerrno>
#include <cstdio>
#include <memory>

#include <fcntl.h>
#include <libintl.h>

#include "app/qsupdate/registry.h"
#include "lib/platform/fd_guard.h"
#include "lib/platform/platform.h"
#include "lib/utils/byteorder.h"
#include "lib/utils/crc32.h"
#include "lib/utils/linux/qsu_device.h"
#include "lib/utils/qs_assert.h"

namespace {

struct ImageFree {
    void operator()(qsupdate_image_t *image) const { qsupdate_image_free(image); }
};

void set_image_version(qsupdate_image_t *image, firmware_version v)
{
    QS_ASSERT(image->reflash_header);
    image_header_t *h = image->reflash_header;
    h->ih_code_version_a = host_to_le16(v.a);
    h->ih_code_version_b = host_to_le16(v.b);
    h->ih_code_version_c = host_to_le16(v.c);
    h->ih_code_version_d = host_to_le16(v.d);
}

int write_whole(int fd, const void *data, size_t len)
{
    ssize_t n = platform().write(fd, data, len);
    if (n == static_cast<ssize_t>(len))
        return 0;
    if (n >= 0)
        errno = ENOSPC; // a short write on a regular file: the disk is full
    return -1;
}

// Writes header, code and their checksum into a file made for the purpose.
int write_backup(const char *name, const qsupdate_image_t *old)
{
    if (old->format != IMAGE_FORMAT_UNSIGNED) {
        errno = EINVAL;
        return -1;
    }
    uint32_t crc = crc32_partial(old->reflash_header, old->reflash_header_len, 0);
    crc = crc32_partial(old->image_code, old->image_code_len, crc);
    uint8_t trailer[IMAGE_TRAILER_SIZE];
    store_le32(trailer, crc);
    // Never through a link, never over what someone put there: the
    // directory is root's, but the name is easy to guess.
    FdGuard fd(platform().open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.valid())
        return -1;
    if (write_whole(fd.get(), old->reflash_header, old->reflash_header_len) < 0 ||
        write_whole(fd.get(), old->image_code, old->image_code_len) < 0 ||
        write_whole(fd.get(), trailer, sizeof trailer) < 0 || platform().close(fd.release()) < 0) {
        // A partial file would only stand in the way of the next backup.
        int err = errno;
        fd.reset();
        platform().unlink(name);
        errno = err;
        return -1;
    }
    return 0;
}

} // namespace

void backup_file_name(char *buf, const firmware_ops *ops, firmware_version installed)
{
    char version[VERSION_STRING_LEN];
    if (version_is_null(installed))
        std::snprintf(version, sizeof version, "old");
    else
        version_string(version, installed, false);
    std::snprintf(buf, BACKUP_NAME_LEN, "%s/%s_%d_%d_v%s.dat", BACKUP_DIR, firmware_type_short_name(ops->type),
                  static_cast<int>(ops->type), static_cast<int>(ops->subtype), version);
}

int save_firmware(qsu_device *dev, const firmware_ops *ops, void *handle, firmware_version installed,
                  print_fn out, progress_fn progress)
{
    const char *type_name = gettext(firmware_type_user_name(ops->type));
    out(gettext("%1$s: reading old %2$s\n"), dev->netif_name, type_name);
    std::unique_ptr<qsupdate_image_t, ImageFree> old(ops->read_image(handle, progress));
    if (!old)
        return -1;
    set_image_version(old.get(), installed);
    progress(gettext("Complete"), 100);

    char name[BACKUP_NAME_LEN];
    backup_file_name(name, ops, installed);
    out(gettext("%1$s: saving old %2$s to %3$s\n"), dev->netif_name, type_name, name);
    platform().mkdir(BACKUP_DIR, 0755); // an existing directory is fine, and a missing one fails the open
    return write_backup(name, old.get());
}
