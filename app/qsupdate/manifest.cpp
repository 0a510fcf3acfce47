// The manifest: the registry with the versions of the images carried.
#include <libintl.h>

#include <cstdio>

#include "app/qsupdate/qsupdate.h"
#include "app/qsupdate/registry.h"
#include "lib/utils/firmware_version.h"
#include "lib/utils/qs_assert.h"

namespace {

constexpr const char *FIRMWARE_FAMILY_VERSION = "7.7.0";

} // namespace

void show_manifest()
{
    printf("%-19s %s\n", gettext("Firmware family version:"), FIRMWARE_FAMILY_VERSION);

    for (int i = 0; i < FIRMWARE_OPS_COUNT; i++) {
        const firmware_ops *ops = all_firmware_ops[i];
        if (i == 0 || ops->type != all_firmware_ops[i - 1]->type) {
            const char *name = firmware_type_user_name(ops->type);
            QS_ASSERT(name != nullptr);
            printf("\n%s\n", gettext(name));
        }

        char version[VERSION_STRING_LEN];
        char extra[VERSION_STRING_LEN];
        const qsupdate_image_t *image = &default_images[i];
        if (image->format != IMAGE_FORMAT_NO_IMAGE) {
            version_string(version, get_image_version(image), false);
            version_string(extra, get_image_extra_version(image), false);
        } else {
            snprintf(version, sizeof(version), "%s", gettext("n/a"));
            snprintf(extra, sizeof(extra), "%s", gettext("n/a"));
        }
        printf("  %s %-2d  %s %-2d  %s %-15s  %s %-15s  %s %zu\n", gettext("type:"),
               static_cast<int>(ops->type), gettext("subtype:"), static_cast<int>(ops->subtype),
               gettext("version:"), version, gettext("extra:"), extra, gettext("size:"),
               ops->default_image.image_size);
    }
}
