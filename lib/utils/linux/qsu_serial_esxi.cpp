// The serial number on ESXi, which has no PCI VPD access of its own: the
// adapter keeps a copy of its VPD in the static configuration partition,
// read through the management controller.
#include <cstdint>
#include <cstdio>
#include <new>
#include <vector>

#include <libintl.h>

#include "lib/tlv/tlv_partition.h"
#include "lib/utils/byteorder.h"
#include "lib/utils/linux/nv.h"
#include "lib/utils/linux/qsu_device.h"
#include "lib/utils/linux/qsu_device_internal.h"

namespace {

// Birch: a header whose words at bytes 8 and 12 place the VPD.
struct static_cfg_header {
    uint32_t head[2]; // not needed here
    uint32_t static_vpd_offset;
    uint32_t static_vpd_length;
};
static_assert(sizeof(static_cfg_header) == 16);
static_assert(offsetof(static_cfg_header, static_vpd_offset) == 8);
static_assert(offsetof(static_cfg_header, static_vpd_length) == 12);

// Cedar: one TLV item of VPD per port.
constexpr uint32_t TLV_TAG_PF_STATIC_VPD = 0x00030000;

// A VPD region that does not lie inside what was read is not trusted.
void serial_from_region(qsu_device *dev, const uint8_t *part, size_t part_size, uint64_t offset, uint64_t length)
{
    if (offset > part_size || length > part_size - offset)
        return;
    get_qs_serial_vpd(dev, part + offset, static_cast<size_t>(length));
}

void birch_serial(qsu_device *dev, const uint8_t *part, size_t part_size)
{
    if (part_size < sizeof(static_cfg_header))
        return;
    serial_from_region(dev, part, part_size, load_le32(part + offsetof(static_cfg_header, static_vpd_offset)),
                       load_le32(part + offsetof(static_cfg_header, static_vpd_length)));
}

void cedar_serial(qsu_device *dev, uint32_t *part, size_t part_size)
{
    nvram_partition_t partition;
    if (tlv_init_partition_from_buffer(&partition, part, part_size) != 0)
        return;
    if (tlv_find(&partition.tlv_cursor, TLV_TAG_PF_STATIC_VPD + dev->port_index) != TLV_OK)
        return;
    const uint8_t *start = reinterpret_cast<const uint8_t *>(part);
    serial_from_region(dev, start, part_size, static_cast<uint64_t>(tlv_value(&partition.tlv_cursor) - start),
                       tlv_length(&partition.tlv_cursor));
}

} // namespace

void get_qs_serial_static_cfg(qsu_device *dev, uint32_t *part, size_t part_size)
{
    if (qsu_device_type(dev) == QSU_DEVICE_TYPE_BIRCH)
        birch_serial(dev, reinterpret_cast<const uint8_t *>(part), part_size);
    else
        cedar_serial(dev, part, part_size);
}

void get_qs_serial_esxi(qsu_device *dev)
{
    uint32_t type = qsu_device_type(dev);
    if (type != QSU_DEVICE_TYPE_BIRCH && type != QSU_DEVICE_TYPE_CEDAR) {
        std::fprintf(stderr, gettext("%s(): unsupported device type.\n"), "get_qs_serial_esxi");
        return;
    }
    nv_init();
    nv_context *ctx = nv_open(dev, NV_PART_STATIC_CFG, 0);
    if (!ctx)
        return;
    // Whole words, so that a TLV partition can be walked in place.
    const size_t size = nv_part_size(ctx);
    std::vector<uint32_t> words;
    try {
        words.assign((size + 3) / 4, 0);
    } catch (const std::bad_alloc &) {
        nv_close(ctx);
        return;
    }
    if (nv_read_all(ctx, words.data()) == 0)
        get_qs_serial_static_cfg(dev, words.data(), size);
    nv_close(ctx);
}
