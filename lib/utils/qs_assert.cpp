#include "lib/utils/qs_assert.h"

#include <cstdio>
#include <cstdlib>

void qs_assert_fail(const char *expr, const char *file, int line, const char *func)
{
    std::fflush(stdout);
    std::fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", file, line, func, expr);
    std::abort();
}
