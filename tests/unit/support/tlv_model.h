// A plain model of TLV contents for the property tests of the TLV, TLV
// partition and VPD code, and the seed list those tests run over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

struct TlvModelItem {
    uint32_t tag;
    std::vector<uint8_t> value;
    bool operator==(const TlvModelItem &) const = default;
};
using TlvModelSegment = std::vector<TlvModelItem>;

// Words the segment takes in a buffer, END included.
size_t tlv_model_words(const TlvModelSegment &segment);
size_t tlv_model_words(const std::vector<TlvModelSegment> &segments);
// Word offset of item `index` from the start of its segment.
size_t tlv_model_offset(const TlvModelSegment &segment, size_t index);
// The segments back to back in little-endian words, then 0xFF up to `size` bytes.
std::vector<uint8_t> tlv_model_image(const std::vector<TlvModelSegment> &segments, size_t size);

std::vector<uint8_t> random_bytes(std::mt19937 &rng, size_t len);

// Seeds for the property tests: QS_PROPERTY_SEEDS (a count, default 12)
// consecutive seeds from QS_PROPERTY_SEED (default 1).
std::vector<uint32_t> property_seeds();
