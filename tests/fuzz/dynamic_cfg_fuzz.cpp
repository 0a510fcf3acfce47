// A configuration opened from any flash bytes: versions read, given ones recorded, strings recorded or
// refused, and a Birch buffer survives flash order and back but for its checksum.
#include <cstring>

#include "lib/utils/linux/dynamic_cfg_bd20.h"
#include "lib/utils/linux/dynamic_cfg_birch.h"
#include "lib/utils/linux/dynamic_cfg_internal.h"
#include "lib/utils/linux/qsu_device.h"
#include "lib/utils/linux/vpd.h"
#include "tests/fuzz/fuzz_target.h"

const image_type_t kTypes[] = {IMAGE_TYPE_PHY, IMAGE_TYPE_BOOTROM, IMAGE_TYPE_MCFW, IMAGE_TYPE_FPGA,
                               IMAGE_TYPE_FPGA_BACKUP, IMAGE_TYPE_FCFW, IMAGE_TYPE_CPLD, IMAGE_TYPE_MUMFW,
                               IMAGE_TYPE_UEFIROM, IMAGE_TYPE_BUNDLE};
const uint32_t kDevices[] = {0x1B7E0803, 0x1B7E0903, 0x1B7E0A03, 0x1B7E0B03};
// Setup bit: the next byte is the bundle metadata's length in 8-byte units, then the metadata.
constexpr uint8_t WITH_BUNDLE_METADATA = 0x40;

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
    dynamic_cfg_part part{};
    const size_t meta_wanted = setup & WITH_BUNDLE_METADATA ? size_t{in.byte()} * 8 : 0;
    std::vector<uint32_t> meta = in.words(&part.bundle_meta_size, meta_wanted);
    std::vector<uint32_t> words = in.words(&part.buffer_size);

    qsu_device dev{};
    dev.pci_device_id = kDevices[setup % 4];
    dev.port_index = (setup >> 2) % 4;
    part.is_bd20 = is_bd20_device(&dev);
    part.buffer = reinterpret_cast<uint8_t *>(words.data());
    // The metadata as the first version lookup would have read it.
    part.bundle_meta = part.bundle_meta_size ? reinterpret_cast<uint8_t *>(meta.data()) : nullptr;
    part.bundle_meta_read = true;
    dynamic_cfg_context ctx{&dev, nullptr};
    // What the open does once the partition is read.
    if (prepare_dynamic_config(&part) != 0)
        return;
    attach_dynamic_config(&ctx, &part);
    dev.dyn_context = &ctx;
    for (image_type_t t : kTypes)
        dynamic_cfg_get_version(&ctx, t);
    char got[64];
    dynamic_cfg_get_family(&ctx, got, sizeof got);

    const firmware_version before = dynamic_cfg_get_version(&ctx, type);
    int rc = dynamic_cfg_set_version(&ctx, type, subtype, version, setup & 0x10);
    // The bundle metadata, when it names the kind, outranks what is recorded.
    firmware_version answer;
    const bool from_metadata = part.is_bd20 && bundle_meta_get_version(&dev, type, &answer);
    if (rc == 0)
        FUZZ_CHECK(compare_versions(dynamic_cfg_get_version(&ctx, type), from_metadata ? before : version) == 0);
    rc = dynamic_cfg_set_string(&ctx, key1, key2, setup & 0x20 ? nullptr : text.c_str());
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
