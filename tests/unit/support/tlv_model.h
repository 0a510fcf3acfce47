// A plain model of TLV contents for the property tests, and their seeds.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "lib/tlv/tlv_partition.h"
#include "lib/utils/byteorder.h"

struct TlvModelItem {
    uint32_t tag;
    std::vector<uint8_t> value;
};
using TlvModelSegment = std::vector<TlvModelItem>;

// Word offset of item `index` in its segment (END for index = size()), and the segment's words.
inline size_t tlv_model_offset(const TlvModelSegment &segment, size_t index)
{
    size_t words = 0;
    for (size_t i = 0; i < index; i++)
        words += 2 + (segment[i].value.size() + 3) / 4;
    return words;
}
inline size_t tlv_model_words(const TlvModelSegment &s) { return tlv_model_offset(s, s.size()) + 1; }

// The segments back to back in little-endian words, then 0xFF up to `size` bytes.
inline std::vector<uint8_t> tlv_model_image(const std::vector<TlvModelSegment> &segments, size_t size)
{
    std::vector<uint8_t> image(size, 0xFF);
    size_t at = 0;
    for (const auto &segment : segments) {
        for (const auto &item : segment) {
            const size_t padded = (item.value.size() + 3) / 4 * 4;
            store_le32(&image[at], item.tag);
            store_le32(&image[at + 4], static_cast<uint32_t>(item.value.size()));
            std::fill_n(image.begin() + at + 8, padded, 0);
            std::ranges::copy(item.value, image.begin() + at + 8);
            at += 8 + padded;
        }
        store_le32(&image[at], 0xEEEEEEEE);
        at += 4;
    }
    return image;
}

// A dynamic configuration holding `items` at `generation`, then 0xFF up to `size` bytes if that is longer.
inline std::vector<uint8_t> partition_image(const TlvModelSegment &items, uint32_t generation, size_t size)
{
    TlvModelSegment all = {{TLV_TAG_PARTITION_HEADER, std::vector<uint8_t>(12)}};
    all.insert(all.end(), items.begin(), items.end());
    all.push_back({TLV_TAG_PARTITION_TRAILER, std::vector<uint8_t>(8)});
    const size_t len = 4 * tlv_model_words(all);
    std::vector<uint8_t> image = tlv_model_image({all}, std::max(size, len));
    store_le32(&image[8], NVRAM_PARTITION_TYPE_DYNAMIC_CONFIG); // preset 0
    store_le32(&image[12], generation);
    store_le32(&image[16], static_cast<uint32_t>(len));
    store_le32(&image[len - 12], generation);
    uint32_t sum = 0;
    for (size_t at = 0; at < len; at += 4)
        sum += load_le32(&image[at]);
    store_le32(&image[len - 8], -sum);
    return image;
}

inline std::vector<uint8_t> random_bytes(std::mt19937 &rng, size_t len)
{
    std::vector<uint8_t> bytes(len);
    std::ranges::generate(bytes, [&] { return static_cast<uint8_t>(rng()); });
    return bytes;
}

// Index of the item that starts `word` words into the segment (size() for END), or npos.
inline size_t tlv_model_index(const TlvModelSegment &segment, size_t word)
{
    for (size_t i = 0; i <= segment.size(); i++)
        if (tlv_model_offset(segment, i) == word)
            return i;
    return std::string::npos;
}

// A random edit at item `at` (END at size(), npos for none): 0 insert, 1 append, 2 modify (a third of
// the time keeping the word count), 3 delete, 4 update or append.
struct TlvModelEdit { int op; size_t index; uint32_t tag; std::vector<uint8_t> value; };
inline TlvModelEdit tlv_model_pick(std::mt19937 &rng, const TlvModelSegment &items, size_t at)
{
    TlvModelEdit e{static_cast<int>(rng() % 5), at, static_cast<uint32_t>(1 + rng() % 5), random_bytes(rng, rng() % 24)};
    if (e.op == 1 || e.op == 4)
        e.index = e.op == 1 ? items.size() : std::ranges::find(items, e.tag, &TlvModelItem::tag) - items.begin();
    if (e.op == 2 && at < items.size() && rng() % 3 == 0)
        e.value = random_bytes(rng, (items[at].value.size() + 3) / 4 * 4);
    return e;
}

// Applies the edit to the model; false when the library must refuse it (no item, or END, to work on).
inline bool tlv_model_apply(TlvModelSegment &items, const TlvModelEdit &e)
{
    if (e.index > items.size() || (e.index == items.size() && (e.op == 2 || e.op == 3)))
        return false;
    if (e.op == 3)
        items.erase(items.begin() + e.index);
    else if (e.op == 2 || (e.op == 4 && e.index < items.size()))
        items[e.index].value = e.value;
    else
        items.insert(items.begin() + e.index, {e.tag, e.value});
    return true;
}

// QS_PROPERTY_SEEDS (default 12) consecutive seeds from QS_PROPERTY_SEED (default 1).
inline std::vector<uint32_t> property_seeds()
{
    const char *count = std::getenv("QS_PROPERTY_SEEDS"), *first = std::getenv("QS_PROPERTY_SEED");
    std::vector<uint32_t> seeds(count != nullptr && *count != '\0' ? std::stoul(count) : 12);
    std::iota(seeds.begin(), seeds.end(), first != nullptr && *first != '\0' ? std::stoul(first) : 1);
    return seeds;
}
