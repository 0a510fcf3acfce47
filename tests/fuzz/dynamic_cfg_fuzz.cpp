// The dynamic configuration as a port opens it from flash bytes: the BD20
// segment walk and the Birch header.  Whatever the bytes, the open leaves
// a configuration that records a version it is given and a string it is
// given, and a Birch buffer that goes to flash order and back unchanged
// but for its checksum
// and is accepted when read again.
#include <cstring>
#include <string>
#include <vector>

#include "lib/utils/linux/dynamic_cfg_bd20.h"
#include "lib/utils/linux/dynamic_cfg_birch.h"
#include "lib/utils/linux/dynamic_cfg_internal.h"
#include "lib/utils/linux/qsu_device.h"
#include "lib/utils/linux/vpd.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/fuzz_target.h"

namespace {

const image_type_t kTypes[] = {IMAGE_TYPE_PHY, IMAGE_TYPE_BOOTROM, IMAGE_TYPE_MCFW, IMAGE_TYPE_FPGA,
                               IMAGE_TYPE_FPGA_BACKUP, IMAGE_TYPE_FCFW, IMAGE_TYPE_CPLD,
                               IMAGE_TYPE_MUMFW, IMAGE_TYPE_UEFIROM, IMAGE_TYPE_BUNDLE};
const uint32_t kDevices[] = {0x1B7E0803, 0x1B7E0903, 0x1B7E0A03, 0x1B7E0B03};

firmware_version get_version(dynamic_cfg_context *ctx, image_type_t type)
{
    return ctx->part->is_bd20 ? bd20_dynamic_cfg_get_version(ctx, type) : birch_dynamic_cfg_get_version(ctx, type);
}

bool same(firmware_version l, firmware_version r)
{
    return l.a == r.a && l.b == r.b && l.c == r.c && l.d == r.d;
}

} // namespace

QS_FUZZ_TARGET(dynamic_cfg)
{
    FuzzInput in(data, size);
    const uint8_t setup = in.byte();
    const image_type_t type = kTypes[in.byte() % std::size(kTypes)];
    const firmware_version version{static_cast<uint16_t>(in.word()), static_cast<uint16_t>(in.word()), 1, 2};
    const uint32_t subtype = in.word();
    const char key1 = static_cast<char>('A' + in.byte() % 26);
    const char key2 = static_cast<char>('0' + in.byte() % 10);
    const std::string text(in.byte() % 40, 'x');
    std::vector<uint32_t> words = in.rest_words();

    qsu_device dev{};
    dev.pci_device_id = kDevices[setup % 4];
    dev.port_index = (setup >> 2) % 4;
    dynamic_cfg_part part{};
    part.is_bd20 = is_bd20_device(&dev);
    part.buffer = reinterpret_cast<uint8_t *>(words.data());
    part.buffer_size = in.rest_size();
    dynamic_cfg_context ctx{&dev, &part};
    // As the open does: decode or rebuild, then give the port a record.
    if (prepare_dynamic_config(&part) != 0)
        return;
    const uint8_t *vpd = dyn_vpd_buffer(&ctx);
    if (!vpd || !vpd_is_valid(vpd, dyn_vpd_available_len(&ctx)))
        reset_dyn_vpd(&ctx);
    for (image_type_t t : kTypes)
        get_version(&ctx, t);

    const bool set_subtype = setup & 0x10;
    int rc = part.is_bd20 ? bd20_dynamic_cfg_set_version(&ctx, type, subtype, version, set_subtype)
                          : birch_dynamic_cfg_set_version(&ctx, type, subtype, version, set_subtype);
    if (rc == 0)
        FUZZ_CHECK(same(get_version(&ctx, type), version));
    rc = dynamic_cfg_set_string(&ctx, key1, key2, setup & 0x20 ? nullptr : text.c_str());
    char got[64];
    const int len = dynamic_cfg_get_string(&ctx, key1, key2, got, sizeof got);
    if (rc == 0 && setup & 0x20)
        FUZZ_CHECK(len == -1);
    else if (rc == 0)
        FUZZ_CHECK(len == static_cast<int>(text.size()) && text == got);

    if (part.is_bd20) {
        FUZZ_CHECK(bd20_validate_dynamic_config(&part));
        return;
    }
    std::vector<uint32_t> host = words;
    birch_dynamic_cfg_to_flash_order(&part);
    std::vector<uint32_t> flash = words;
    birch_dynamic_cfg_to_host_order(&part);
    // Only the checksum byte, closed for the flash, may differ.
    constexpr size_t csum = offsetof(birch_mc_dynamic_config_hdr_t, csum);
    reinterpret_cast<uint8_t *>(host.data())[csum] = part.buffer[csum];
    FUZZ_CHECK(words == host);
    dynamic_cfg_part reread = part;
    reread.buffer = reinterpret_cast<uint8_t *>(flash.data());
    FUZZ_CHECK(birch_decode_dynamic_config(&reread));
    FUZZ_CHECK(std::memcmp(flash.data(), host.data(), part.buffer_size) == 0);
}
