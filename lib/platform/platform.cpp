#include "lib/platform/platform.h"

namespace {
Platform *current_platform = nullptr;
}

Platform &platform()
{
    return current_platform ? *current_platform : real_platform();
}

ScopedPlatform::ScopedPlatform(Platform &replacement) : previous_(current_platform)
{
    current_platform = &replacement;
}

ScopedPlatform::~ScopedPlatform()
{
    current_platform = previous_;
}

bool platform_exists(const char *path)
{
    struct stat st;
    return platform().stat(path, &st) == 0;
}
