// One fuzz target per parser of untrusted bytes; FUZZ_CHECK aborts on a wrong result, not only a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using fuzz_fn = void (*)(const uint8_t *data, size_t size);

// Registers a target for the replay; true, to initialise a static.
bool fuzz_register(const char *name, fuzz_fn fn);

[[noreturn]] inline void fuzz_fail(const char *expr, const char *file, int line)
{
    std::fprintf(stderr, "%s:%d: fuzz invariant broken: %s\n", file, line, expr);
    std::abort();
}

#define FUZZ_CHECK(expr) ((expr) ? static_cast<void>(0) : fuzz_fail(#expr, __FILE__, __LINE__))

// With libFuzzer the body is the fuzzer's entry; otherwise it is registered for the replay.
#ifdef QS_LIBFUZZER
#define QS_FUZZ_ENTRY(name)                                                   \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)  \
    {                                                                         \
        name##_fuzz(data, size);                                              \
        return 0;                                                             \
    }
#else
#define QS_FUZZ_ENTRY(name) [[maybe_unused]] static const bool name##_registered = fuzz_register(#name, name##_fuzz);
#endif
#define QS_FUZZ_TARGET(name)                                                  \
    static void name##_fuzz(const uint8_t *data, size_t size);               \
    QS_FUZZ_ENTRY(name)                                                       \
    static void name##_fuzz(const uint8_t *data, size_t size)
