// One fuzz target per parser of untrusted bytes; FUZZ_CHECK aborts on a wrong result, not only a crash.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

using fuzz_fn = void (*)(const uint8_t *data, size_t size);

// Every target linked in, by name: the replay runs them all, a fuzzer executable has one.
inline std::map<std::string, fuzz_fn> &fuzz_targets()
{
    static std::map<std::string, fuzz_fn> all;
    return all;
}

#define FUZZ_CHECK(expr)                                                                                     \
    ((expr) ? static_cast<void>(0)                                                                           \
            : (std::fprintf(stderr, "%s:%d: fuzz invariant broken: %s\n", __FILE__, __LINE__, #expr), std::abort()))

#define QS_FUZZ_TARGET(name)                                                                                   \
    static void name##_fuzz(const uint8_t *data, size_t size);                                                \
    [[maybe_unused]] static const bool name##_registered = fuzz_targets().emplace(#name, name##_fuzz).second; \
    static void name##_fuzz(const uint8_t *data, size_t size)

#ifdef QS_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_targets().begin()->second(data, size);
    return 0;
}
#endif

// A target's parameters from the front of an input; the rest is the bytes under test.
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
    // The next `n` bytes, all the rest by default, word-aligned; *taken says how many there were.
    std::vector<uint32_t> words(size_t *taken, size_t n = SIZE_MAX)
    {
        *taken = std::min(n, size_);
        std::vector<uint32_t> words((*taken + 3) / 4);
        std::copy_n(data_, *taken, reinterpret_cast<uint8_t *>(words.data()));
        data_ += *taken, size_ -= *taken;
        return words;
    }
    const uint8_t *rest() const { return data_; }
    size_t rest_size() const { return size_; }

private:
    const uint8_t *data_;
    size_t size_;
};
