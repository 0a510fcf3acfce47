#include "app/qsupdate/interface_flags.h"

#include <cerrno>

#include <net/if.h>
#include <sys/ioctl.h>

#include "lib/platform/platform.h"
#include "lib/utils/netif.h"

int get_if_flags(int sock, const char *ifname)
{
    ifreq ifr;
    ifreq_for(ifr, ifname);
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
    ifreq ifr;
    ifreq_for(ifr, ifname);
    ifr.ifr_flags = static_cast<short>(flags);
    return platform().ioctl(sock, SIOCSIFFLAGS, &ifr);
}
