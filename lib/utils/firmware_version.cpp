#include "lib/utils/firmware_version.h"

#include <libintl.h>

#include <cstdio>

#include "lib/utils/byteorder.h"
#include "lib/utils/firmware.h"

bool version_is_null(firmware_version v)
{
    return v.a == 0 && v.b == 0 && v.c == 0 && v.d == 0;
}

bool version_is_ipxe(firmware_version v)
{
    return v.a == IPXE_VERSION.a && v.b == IPXE_VERSION.b && v.c == IPXE_VERSION.c &&
           v.d == IPXE_VERSION.d;
}

// A no-image record may carry no header at all, so it is checked first.
static const image_header_t *header_of(const qsupdate_image_t *image)
{
    if (image == nullptr || image->format == IMAGE_FORMAT_NO_IMAGE)
        return nullptr;
    return image->reflash_header;
}

firmware_version get_image_version(const qsupdate_image_t *image)
{
    const image_header_t *h = header_of(image);
    if (h == nullptr)
        return {};
    return {le16_to_host(h->ih_code_version_a), le16_to_host(h->ih_code_version_b),
            le16_to_host(h->ih_code_version_c), le16_to_host(h->ih_code_version_d)};
}

firmware_version get_image_extra_version(const qsupdate_image_t *image)
{
    const image_header_t *h = header_of(image);
    if (h == nullptr)
        return {};
    return {h->ih_extra_version_a, h->ih_extra_version_b, h->ih_extra_version_c,
            h->ih_extra_version_d};
}

int compare_versions(firmware_version left, firmware_version right)
{
    if (left.a != right.a)
        return int(left.a) - int(right.a);
    if (left.b != right.b)
        return int(left.b) - int(right.b);
    if (left.c != right.c)
        return int(left.c) - int(right.c);
    return int(left.d) - int(right.d);
}

char *version_string(char *buf, firmware_version ver, bool with_v)
{
    if (version_is_null(ver))
        snprintf(buf, VERSION_STRING_LEN, "%s", gettext("unknown"));
    else
        snprintf(buf, VERSION_STRING_LEN, "%s%u.%u.%u.%u", with_v ? "v" : "", unsigned(ver.a),
                 unsigned(ver.b), unsigned(ver.c), unsigned(ver.d));
    return buf;
}
