#include "app/qsupdate/backup_file.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <libintl.h>

#include "app/qsupdate/registry.h"
#include "lib/platform/host_files.h"
#include "lib/platform/platform.h"
#include "lib/utils/byteorder.h"
#include "lib/utils/crc32.h"
#include "lib/utils/linux/qsu_device.h"
#include "lib/utils/qs_assert.h"

namespace {

// Names tried for one image's backup before giving up.
constexpr unsigned BACKUP_NAME_TRIES = 100;

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

// Header, code and their checksum: a plain image that --image takes again.
int backup_bytes(const qsupdate_image_t *old, std::vector<uint8_t> &out)
{
    if (old->format != IMAGE_FORMAT_UNSIGNED) {
        errno = EINVAL;
        return -1;
    }
    const auto *header = reinterpret_cast<const uint8_t *>(old->reflash_header);
    out.assign(header, header + old->reflash_header_len);
    out.insert(out.end(), old->image_code, old->image_code + old->image_code_len);
    uint8_t trailer[IMAGE_TRAILER_SIZE];
    store_le32(trailer, crc32_partial(out.data(), out.size(), 0));
    out.insert(out.end(), trailer, trailer + sizeof trailer);
    return 0;
}

// Saves the bytes under the first of "<base>.dat", "<base>-2.dat", ... that
// is free, or that already holds these very bytes (the same image saved by
// an earlier run or by another port): never over a different file.  The
// name used is left in `name`; *reused says that it was there already.
int save_bytes(const std::string &base, const std::vector<uint8_t> &bytes, std::string &name, bool *reused)
{
    for (unsigned n = 1; n <= BACKUP_NAME_TRIES; ++n) {
        // Appended piece by piece: g++ 12 takes "-" + std::to_string(n)
        // for an overlapping copy when it optimises.
        name = base;
        if (n > 1)
            name.append("-").append(std::to_string(n));
        name.append(".dat");
        std::vector<uint8_t> found;
        if (read_whole_file(name.c_str(), bytes.size(), found) == 0) {
            if (found == bytes) {
                *reused = true;
                return 0;
            }
            continue;
        }
        if (errno != ENOENT)
            continue; // a link, a larger file, something unreadable: not ours to touch
        // Never through a link, never over what someone put there meanwhile.
        if (write_file_durably(name.c_str(), file_creation::exclusive, 0644, {bytes}) == 0)
            return 0;
        if (errno != EEXIST)
            return -1;
    }
    errno = EEXIST;
    return -1;
}

} // namespace

void backup_file_name(char *buf, const firmware_ops *ops, firmware_version installed)
{
    char version[VERSION_STRING_LEN];
    if (version_is_null(installed))
        std::snprintf(version, sizeof version, "old");
    else
        version_string(version, installed, false);
    std::snprintf(buf, BACKUP_NAME_LEN, "%s/%s_%d_%d_v%s", BACKUP_DIR, firmware_type_short_name(ops->type),
                  static_cast<int>(ops->type), static_cast<int>(ops->subtype), version);
}

int save_firmware(qsu_device *dev, const firmware_ops *ops, void *handle, firmware_version installed,
                  print_fn out, progress_fn progress, std::string &saved)
{
    const char *type_name = gettext(firmware_type_user_name(ops->type));
    out(gettext("%1$s: reading old %2$s\n"), dev->netif_name, type_name);
    std::unique_ptr<qsupdate_image_t, ImageFree> old(ops->read_image(handle, progress));
    if (!old)
        return -1;
    set_image_version(old.get(), installed);
    progress(gettext("Complete"), 100);

    std::vector<uint8_t> bytes;
    if (backup_bytes(old.get(), bytes) < 0)
        return -1;
    char base[BACKUP_NAME_LEN];
    backup_file_name(base, ops, installed);
    platform().mkdir(BACKUP_DIR, 0755); // an existing directory is fine, and a missing one fails the save
    bool reused = false;
    const int rc = save_bytes(base, bytes, saved, &reused);
    if (rc == 0 && reused)
        out(gettext("%1$s: old %2$s is already saved in %3$s\n"), dev->netif_name, type_name, saved.c_str());
    else if (rc == 0)
        out(gettext("%1$s: saving old %2$s to %3$s\n"), dev->netif_name, type_name, saved.c_str());
    return rc;
}
