#include "lab/model/lab_image.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "lib/utils/byteorder.h"
#include "lib/utils/crc32.h"

namespace lab {

namespace {

constexpr uint32_t IMAGE_MAGIC = 0x0106F1A5;
constexpr uint32_t HEADER_SIZE = PLAIN_HEADER_SIZE;
constexpr uint32_t HEADER_VERSION = 4;

// Code bytes that differ from image to image in a repeatable way.
void fill_pattern(uint8_t *out, size_t len, uint32_t seed)
{
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < len; ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = static_cast<uint8_t>(x >> 16);
    }
}

struct TypeName {
    const char *name;
    uint32_t type;
};

const TypeName TYPE_NAMES[] = {
    {"phy", 0},   {"bootrom", 2}, {"mcfw", 3},  {"fpga", 6},     {"fpgadiag", 7},
    {"fcfw", 8},  {"cpld", 10},   {"mumfw", 11}, {"uefirom", 12}, {"bundle", 13},
};

} // namespace

std::vector<uint8_t> build_plain_image(const PlainImageRequest &request)
{
    std::vector<uint8_t> image(HEADER_SIZE + request.code_size + 4, 0);
    uint8_t *h = image.data();
    store_le32(h + 0, IMAGE_MAGIC);
    store_le32(h + 4, HEADER_VERSION);
    store_le32(h + 8, request.type);
    store_le32(h + 12, request.subtype);
    store_le32(h + 16, static_cast<uint32_t>(request.code_size));
    store_le32(h + 20, HEADER_SIZE);
    h[26] = request.extra[0];
    h[27] = request.extra[1];
    h[30] = request.extra[2];
    h[31] = request.extra[3];
    for (size_t i = 0; i < 4; ++i)
        store_le16(h + 32 + 2 * i, request.version[i]);
    uint32_t seed = request.type << 24 ^ request.subtype << 16 ^ request.version[0] << 12 ^ request.version[1] << 8 ^
                    request.version[2] << 4 ^ request.version[3];
    fill_pattern(h + HEADER_SIZE, request.code_size, seed);
    std::copy_n(h, std::min<size_t>(HEADER_SIZE, request.code_size), h + HEADER_SIZE);
    if (request.code_size >= CODE_MIN_WHOLE)
        store_le32(h + HEADER_SIZE + request.code_size - 4,
                   crc32_partial(h + HEADER_SIZE, request.code_size - 4, 0));
    uint32_t crc = crc32_partial(h, HEADER_SIZE + request.code_size, 0);
    store_le32(h + HEADER_SIZE + request.code_size, crc);
    return image;
}

bool read_plain_header(std::span<const uint8_t> data, PlainImageHeader &header)
{
    if (data.size() < HEADER_SIZE || load_le32(data.data()) != IMAGE_MAGIC)
        return false;
    const uint8_t *v = data.data() + 32;
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", load_le16(v), load_le16(v + 2), load_le16(v + 4),
                  load_le16(v + 6));
    header = {load_le32(data.data() + 8), load_le32(data.data() + 12), text};
    return true;
}

std::string plain_image_version(const std::vector<uint8_t> &data)
{
    PlainImageHeader header;
    return read_plain_header(data, header) ? header.version : "";
}

std::vector<uint8_t> build_ipxe_image(size_t size)
{
    // A PCI expansion ROM: signature, its length in 512-byte units, and
    // bytes that add up to zero (the last byte balances the sum).
    constexpr size_t unit = 512, max_units = 255;
    if (size == 0 || size % unit != 0 || size / unit > max_units)
        throw std::runtime_error("an iPXE image is 512 to " + std::to_string(max_units * unit) +
                                 " bytes, a multiple of 512");
    std::vector<uint8_t> image(size);
    fill_pattern(image.data(), image.size(), 0x1BE);
    image[0] = 0x55;
    image[1] = 0xAA;
    image[2] = static_cast<uint8_t>(size / unit);
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < size; ++i)
        sum = static_cast<uint8_t>(sum + image[i]);
    image[size - 1] = static_cast<uint8_t>(-sum);
    return image;
}

uint32_t parse_image_type(const std::string &text)
{
    std::string lower;
    for (char c : text)
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const TypeName &t : TYPE_NAMES)
        if (lower == t.name)
            return t.type;
    unsigned long value;
    if (!parse_unsigned(text, 0xFFFFFFFFul, value))
        throw std::runtime_error("bad image type \"" + text + "\"");
    return static_cast<uint32_t>(value);
}

bool parse_unsigned(const std::string &text, unsigned long max, unsigned long &value)
{
    size_t used = 0;
    try {
        value = std::stoul(text, &used, 0);
    } catch (const std::exception &) {
        return false;
    }
    return used == text.size() && value <= max;
}

std::array<unsigned, 4> parse_version(const std::string &text, unsigned limit)
{
    std::array<unsigned, 4> v{};
    char tail;
    if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &v[0], &v[1], &v[2], &v[3], &tail) != 4 ||
        text.find_first_not_of("0123456789.") != std::string::npos)
        throw std::runtime_error("bad version \"" + text + "\" (A.B.C.D)");
    for (unsigned n : v)
        if (n >= limit)
            throw std::runtime_error("version number too large in \"" + text + "\"");
    return v;
}

bool whole_code_at(std::span<const uint8_t> partition, size_t at, PlainImageHeader &header)
{
    if (at > partition.size() || !read_plain_header(partition.subspan(at), header))
        return false;
    const uint64_t length = load_le32(partition.data() + at + 16);
    if (length < CODE_MIN_WHOLE || length > partition.size() - at)
        return false;
    const uint8_t *code = partition.data() + at;
    return crc32_partial(code, length - 4, 0) == load_le32(code + length - 4);
}

} // namespace lab
