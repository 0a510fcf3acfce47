#include <cerrno>
#include <cstdio>
#include <cstring>

#include <libintl.h>

#include "lib/platform/platform.h"
#include "lib/utils/linux/qsu_device.h"

int run_on_esxi = 0;

namespace {

bool esx_driver_loaded()
{
    return platform().system("vmkload_mod -l | grep -q '^qsc\\b.*\\(\\bYes\\|[0-9]\\)[[:blank:]]*$'") == 0;
}

} // namespace

int qsu_device_init()
{
    run_on_esxi = 0;
    bool present;
    if (platform_exists("/proc/vmware")) {
        // ESX service console.
        if (platform().geteuid() != 0) {
            std::fputs(gettext("You must run this utility as root.\n"), stderr);
            errno = EPERM;
            return -1;
        }
        present = esx_driver_loaded();
    } else {
        struct utsname name;
        if (platform().uname(&name) == 0 && std::strcmp(name.sysname, "VMkernel") == 0) {
            run_on_esxi = 1;
            present = platform_exists("/dev/qsc_control");
        } else {
            present = platform_exists("/sys/bus/pci/drivers/qsc");
        }
    }
    if (!present) {
        std::fprintf(stderr, gettext("The %s network adapter driver (qsc) is not loaded.\n"
                            "You must install and load the driver before running this utility.\n"),
                    "Duskhollow");
        errno = ENODEV;
        return -1;
    }
    return 0;
}
