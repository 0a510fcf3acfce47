// Image files for tests: plain reflash images (header, code, CRC trailer) and iPXE boot ROMs.
#pragma once

#include <algorithm>
#include <array>
#include <numeric>
#include <vector>

#include "lib/utils/byteorder.h"
#include "lib/utils/crc32.h"
#include "lib/utils/firmware.h"
#include "lib/utils/firmware_version.h"

struct ImageRecipe {
    firmware_version version = {1, 2, 3, 4};
    std::array<uint8_t, 4> extra = {0, 0, 0, 0}; // header bytes 26, 27, 30 and 31
    uint32_t header_size = IMAGE_HEADER_SIZE; // a shorter header keeps the fields that fit
    std::vector<uint8_t> code = {0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x02, 0x03};
};

inline std::vector<uint8_t> build_plain_image(const ImageRecipe &recipe = {})
{
    std::vector<uint8_t> image(std::max(recipe.header_size, IMAGE_HEADER_SIZE), 0x5A);
    const uint32_t words[] = {IMAGE_HEADER_MAGIC, 4, 3, 7, uint32_t(recipe.code.size()), recipe.header_size, 0, 0};
    for (size_t i = 0; i < std::size(words); i++)
        store_le32(&image[4 * i], words[i]);
    const uint16_t version[] = {recipe.version.a, recipe.version.b, recipe.version.c, recipe.version.d};
    for (size_t i = 0; i < 4; i++) {
        image[(i < 2 ? 26 : 28) + i] = recipe.extra[i];
        store_le16(&image[32 + 2 * i], version[i]);
    }
    image.resize(recipe.header_size);
    image.insert(image.end(), recipe.code.begin(), recipe.code.end());
    const uint32_t crc = crc32_partial(image.data(), image.size(), 0);
    image.resize(image.size() + IMAGE_TRAILER_SIZE);
    store_le32(&image[image.size() - IMAGE_TRAILER_SIZE], crc);
    return image;
}

// A PCI expansion ROM of `units` 512-byte blocks whose bytes sum to zero.
inline std::vector<uint8_t> build_ipxe_rom(uint8_t units = 1)
{
    std::vector<uint8_t> rom(units * 512u);
    for (size_t i = 0; i < rom.size(); i++)
        rom[i] = static_cast<uint8_t>(i * 7 + 3);
    rom[0] = 0x55, rom[1] = 0xAA, rom[2] = units;
    rom.back() = static_cast<uint8_t>(-std::accumulate(rom.begin(), rom.end() - 1, 0));
    return rom;
}
