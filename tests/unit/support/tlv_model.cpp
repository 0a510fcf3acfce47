#include "tests/unit/support/tlv_model.h"

#include <cstdlib>
#include <string>

namespace {

void put_le32(std::vector<uint8_t> &out, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

size_t item_words(const TlvModelItem &item)
{
    return 2 + (item.value.size() + 3) / 4;
}

uint32_t env_number(const char *name, uint32_t fallback)
{
    const char *text = std::getenv(name);
    return text != nullptr && *text != '\0' ? static_cast<uint32_t>(std::stoul(text)) : fallback;
}

} // namespace

size_t tlv_model_words(const TlvModelSegment &segment)
{
    return tlv_model_offset(segment, segment.size()) + 1;
}

size_t tlv_model_words(const std::vector<TlvModelSegment> &segments)
{
    size_t words = 0;
    for (const auto &segment : segments)
        words += tlv_model_words(segment);
    return words;
}

size_t tlv_model_offset(const TlvModelSegment &segment, size_t index)
{
    size_t words = 0;
    for (size_t i = 0; i < index; i++)
        words += item_words(segment[i]);
    return words;
}

std::vector<uint8_t> tlv_model_image(const std::vector<TlvModelSegment> &segments, size_t size)
{
    std::vector<uint8_t> image(size, 0xFF);
    size_t at = 0;
    for (const auto &segment : segments) {
        for (const auto &item : segment) {
            put_le32(image, at, item.tag);
            put_le32(image, at + 4, static_cast<uint32_t>(item.value.size()));
            size_t padded = 4 * (item_words(item) - 2);
            for (size_t i = 0; i < padded; i++)
                image[at + 8 + i] = i < item.value.size() ? item.value[i] : 0;
            at += 4 * item_words(item);
        }
        put_le32(image, at, 0xEEEEEEEE);
        at += 4;
    }
    return image;
}

std::vector<uint8_t> random_bytes(std::mt19937 &rng, size_t len)
{
    std::vector<uint8_t> bytes(len);
    for (auto &b : bytes)
        b = static_cast<uint8_t>(rng());
    return bytes;
}

std::vector<uint32_t> property_seeds()
{
    uint32_t count = env_number("QS_PROPERTY_SEEDS", 12);
    uint32_t first = env_number("QS_PROPERTY_SEED", 1);
    std::vector<uint32_t> seeds;
    for (uint32_t i = 0; i < count; i++)
        seeds.push_back(first + i);
    return seeds;
}
