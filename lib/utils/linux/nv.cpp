// Choice of the NV backend family, made once at start.
#include "lib/utils/linux/nv.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <libintl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "lib/platform/platform.h"
#include "lib/utils/linux/kpx.h"
#include "lib/utils/linux/qsu_device.h"

bool nv_use_char_dev = false;
bool nv_use_mcdi_request = true;

namespace {

constexpr unsigned QSC_CONTROL_MINOR = 1;

[[noreturn]] void exit_failure()
{
    std::fflush(stdout);
    std::exit(1);
}

// Major number of the control device, as the driver registered it.
int control_device_major()
{
    std::string output;
    if (platform().run_capture("grep qsc_control /proc/devices", output) < 0) {
        int err = errno;
        std::fprintf(stderr, "%s (%d, %s)\n", gettext("failed to open /proc/devices; are you root?"),
                     err, std::strerror(err));
        exit_failure();
    }
    int major_number;
    if (std::sscanf(output.c_str(), "%d", &major_number) != 1 || major_number < 0) {
        std::fprintf(stderr, "%s\n",
                     gettext("failed to find qsc_control in /proc/devices; is driver loaded?"));
        exit_failure();
    }
    return major_number;
}

} // namespace

int nv_init()
{
    if (!platform_exists("/proc/vmware")) {
        nv_use_char_dev = run_on_esxi != 0;
        return 0;
    }

    // ESX service console: the control device node may be missing or left
    // over from a driver that registered another major number.
    unsigned control_major = static_cast<unsigned>(control_device_major());
    struct stat st;
    if (platform().stat(QSC_CONTROL_DEVICE, &st) == 0) {
        if (S_ISCHR(st.st_mode) && major(st.st_rdev) == control_major &&
            minor(st.st_rdev) == QSC_CONTROL_MINOR) {
            nv_use_char_dev = true;
            return 0;
        }
        if (platform().unlink(QSC_CONTROL_DEVICE) != 0) {
            std::fprintf(stderr, "%s\n",
                         gettext("failed to unlink qsc_control and it's on wrong device"));
            exit_failure();
        }
    }
    if (platform().mknod(QSC_CONTROL_DEVICE, S_IFCHR | 0600,
                         makedev(control_major, QSC_CONTROL_MINOR)) != 0) {
        int err = errno;
        std::fprintf(stderr, "%s %d (%d, %s)\n",
                     gettext("ESX host detected but could not create /dev/qsc_control on major"),
                     static_cast<int>(control_major), err, std::strerror(err));
        exit_failure();
    }
    nv_use_char_dev = true;
    return 0;
}
