#include "app/qsupdate/interface_flags.h"

#include <cerrno>
#include <cstring>

#include <net/if.h>
#include <sys/ioctl.h>

#include "lib/platform/platform.h"

namespace {

ifreq named_request(const char *ifname)
{
    ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::strncpy(ifr.ifr_name, ifname, sizeof ifr.ifr_name);
    return ifr;
}

} // namespace

int get_if_flags(int sock, const char *ifname)
{
    ifreq ifr = named_request(ifname);
    if (platform().ioctl(sock, SIOCGIFFLAGS, &ifr) < 0)
        return -1;
    // The field is 16 bits wide: a negative value cannot be told from a
    // failure by the caller, so it is one.
    if (ifr.ifr_flags < 0) {
        errno = EIO;
        return -1;
    }
    return ifr.ifr_flags;
}

int set_if_flags(int sock, const char *ifname, int flags)
{
    ifreq ifr = named_request(ifname);
    ifr.ifr_flags = static_cast<short>(flags);
    return platform().ioctl(sock, SIOCSIFFLAGS, &ifr);
}
