// A target's parameters from the front of an input; the rest is the bytes under test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

class FuzzInput {
public:
    FuzzInput(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    // Zero once the input is used up.
    uint8_t byte() { return size_ == 0 ? 0 : (--size_, *data_++); }
    uint32_t word()
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= static_cast<uint32_t>(byte()) << (8 * i);
        return v;
    }
    // The next `n` bytes (fewer at the input's end; *size says), then the rest, word-aligned.
    std::vector<uint32_t> take_words(size_t n, size_t *size)
    {
        *size = n < size_ ? n : size_;
        std::vector<uint32_t> words((*size + 3) / 4);
        if (*size != 0)
            std::memcpy(words.data(), data_, *size);
        data_ += *size, size_ -= *size;
        return words;
    }
    std::vector<uint32_t> rest_words() const
    {
        size_t n;
        return FuzzInput(*this).take_words(size_, &n);
    }
    const uint8_t *rest() const { return data_; }
    size_t rest_size() const { return size_; }

private:
    const uint8_t *data_;
    size_t size_;
};
