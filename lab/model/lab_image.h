// Firmware image files for tests and rehearsals: plain reflash images
// (header, code, CRC-32 trailer) and raw iPXE boot ROMs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace lab {

struct PlainImageRequest {
    uint32_t type = 0;
    uint32_t subtype = 0;
    std::array<uint16_t, 4> version{};
    std::array<uint8_t, 4> extra{};
    size_t code_size = 4096;
};

// The code begins with a copy of the header, as firmware carries its own
// identity, and ends with a CRC-32 of the rest of it, as firmware checks
// itself: what a partition holds after an update that wrote the code alone
// still says which image it is, and whether all of it is there.
std::vector<uint8_t> build_plain_image(const PlainImageRequest &request);
// A plain image's header, and the shortest code that carries both the
// header's copy and the CRC.
constexpr size_t PLAIN_HEADER_SIZE = 40;
constexpr size_t CODE_MIN_WHOLE = PLAIN_HEADER_SIZE + 4;
// A valid expansion ROM of `size` bytes (a multiple of 512, at most 255
// units); throws on other sizes.
std::vector<uint8_t> build_ipxe_image(size_t size);

// What the header of a plain image says of it.
struct PlainImageHeader {
    uint32_t type = 0;
    uint32_t subtype = 0;
    std::string version; // "A.B.C.D"
};

// The header at the start of `data`; false when no plain image header
// starts there.
bool read_plain_header(std::span<const uint8_t> data, PlainImageHeader &header);

// Whether the code of an image from build_plain_image lies whole at `at`
// in a partition's bytes: its header's copy first, its CRC at its end; the
// header found is left in `header`.
bool whole_code_at(std::span<const uint8_t> partition, size_t at, PlainImageHeader &header);

// The version "A.B.C.D" in the header of a plain image at the start of
// `data`, or "" when no plain image starts there.
std::string plain_image_version(const std::vector<uint8_t> &data);

// "3", "0x3" or a type name such as "mcfw" or "bootrom"; throws on others.
uint32_t parse_image_type(const std::string &text);
// A whole decimal, octal or 0x-hexadecimal number no larger than max.
bool parse_unsigned(const std::string &text, unsigned long max, unsigned long &value);
// "A.B.C.D" with each number below `limit`; throws on others.
std::array<unsigned, 4> parse_version(const std::string &text, unsigned limit);

} // namespace lab
