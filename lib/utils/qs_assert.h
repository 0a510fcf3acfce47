// Always-on assertion for internal invariants: it stays in release builds
// and names the source file and function that broke the invariant.
#pragma once

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void qs_assert_fail(const char *expr, const char *file, int line, const char *func)
{
    std::fflush(stdout);
    std::fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", file, line, func, expr);
    std::abort();
}

#define QS_ASSERT(expr) \
    ((expr) ? static_cast<void>(0) : qs_assert_fail(#expr, __FILE__, __LINE__, __func__))
