#include <cctype>
#include <cerrno>

#include "lib/utils/netif.h"

char *normalise_mac_addr(const char *text, char *mac)
{
    static const char hex[] = "0123456789ABCDEF";
    auto value = [](char c) {
        return std::isdigit(static_cast<unsigned char>(c))
                   ? c - '0'
                   : std::toupper(static_cast<unsigned char>(c)) - 'A' + 10;
    };
    const char *p = text;
    char *out = mac;
    for (int group = 0; group < 6; group++) {
        if (!std::isxdigit(static_cast<unsigned char>(*p))) {
            errno = EINVAL;
            return nullptr;
        }
        int byte = value(*p++);
        // One digit stands for itself with a leading zero.
        if (std::isxdigit(static_cast<unsigned char>(*p)))
            byte = byte * 16 + value(*p++);
        if (*p == ':' || *p == '-')
            p++;
        if (group)
            *out++ = '-';
        *out++ = hex[byte >> 4];
        *out++ = hex[byte & 0xF];
    }
    if (*p) {
        errno = EINVAL;
        return nullptr;
    }
    *out = '\0';
    return mac;
}
