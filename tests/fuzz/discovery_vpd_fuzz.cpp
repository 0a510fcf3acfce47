// Discovery's VPD walk never ends past the bytes read or off the end tag; a serial is empty or valid.
#include <cstring>

#include "lib/utils/linux/qsu_device.h"
#include "lib/utils/linux/qsu_device_internal.h"
#include "tests/fuzz/fuzz_target.h"

QS_FUZZ_TARGET(discovery_vpd)
{
    const auto check_serial = [](const qsu_device &dev) {
        FUZZ_CHECK(std::memchr(dev.serial_number, 0, sizeof dev.serial_number) != nullptr);
        FUZZ_CHECK(dev.serial_number[0] == 0 || qsu_is_quillstone_serial(dev.serial_number));
    };
    FuzzInput in(data, size);
    const uint8_t setup = in.byte();
    const uint8_t *vpd = in.rest();
    size_t len;
    std::vector<uint32_t> words = in.words(&len);

    // Four bytes at a time, as the configuration space hands them out.
    const auto *read = reinterpret_cast<const uint8_t *>(words.data());
    size_t next_tag = 0;
    for (size_t addr = 0; addr < words.size() * 4; addr += 4) {
        size_t vpd_len = 0;
        if (reached_vpd_end(read, addr, next_tag, vpd_len)) {
            FUZZ_CHECK(vpd_len >= 1 && vpd_len <= addr + 4 && read[vpd_len - 1] == 0x78);
            break;
        }
    }

    qsu_device dev{};
    get_qs_serial_vpd(&dev, vpd, len);
    check_serial(dev);

    qsu_device esxi{};
    esxi.pci_device_id = setup & 1 ? 0x1B7E0903 : 0x1B7E0803;
    esxi.port_index = setup >> 1;
    get_qs_serial_static_cfg(&esxi, words.data(), len);
    check_serial(esxi);
}
