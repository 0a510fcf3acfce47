#include "app/qsupdate/phy_flash_mode.h"

#include <cerrno>

#include <fcntl.h>

#include "lib/platform/fd_guard.h"
#include "lib/platform/platform.h"
#include "lib/utils/linux/qsu_device.h"
#include "lib/utils/netif.h"

int set_phy_flash_mode(const qsu_device *dev, bool on)
{
    char path[SYSFS_PATH_LEN];
    FdGuard fd(platform().open(pci_attr_path(path, dev->pci_addr, "phy_flash_cfg"), O_WRONLY));
    if (!fd.valid())
        return -1;
    const char value = on ? '1' : '0';
    ssize_t n = platform().write(fd.get(), &value, 1);
    if (n == 1)
        return 0;
    if (n >= 0)
        errno = EIO;
    return -1; // the guard's close keeps the write's errno
}
