#include <cstdio>

#include "app/qsupdate/qsupdate.h"

void show_progress(const char *status, int pc)
{
    std::printf("[%3d%%] %-70s%c", pc, status, pc == 100 ? '\n' : '\r');
    std::fflush(stdout);
}

void hide_progress(const char *, int)
{
}

int no_printf(const char *, ...)
{
    return 0;
}
