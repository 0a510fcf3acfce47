#include "app/qsupdate/update_prompt.h"

#include <cstdio>
#include <cstring>

#include <libintl.h>
#include <strings.h>

namespace {

// Nine characters and the terminator.
constexpr int ANSWER_BUFFER = 10;

bool answer_is_yes(const char *line)
{
    const size_t len = std::strlen(line);
    if (len < 2 || line[len - 1] != '\n')
        return false;
    const char *yes = gettext("yes");
    const size_t typed = len - 1;
    return typed <= std::strlen(yes) && strncasecmp(line, yes, typed) == 0;
}

} // namespace

bool confirm_interface_down(const char *ifname, const char *type_name)
{
    std::fprintf(stderr, gettext("%1$s: will be disabled during %2$s update\n"), ifname, type_name);
    std::fputs(gettext("To continue, press Y then Enter\nTo skip this update, press Enter\n"), stderr);
    char line[ANSWER_BUFFER];
    if (!std::fgets(line, sizeof line, stdin))
        return false;
    return answer_is_yes(line);
}
