#include "app/qsupdate/mc_followups.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/socket.h>

#include "app/qsupdate/nv_fwops.h"
#include "lib/platform/fd_guard.h"
#include "lib/platform/platform.h"
#include "lib/utils/byteorder.h"
#include "lib/utils/i18n.h"
#include "lib/utils/linux/kpx.h"
#include "lib/utils/linux/nv.h"
#include "lib/utils/linux/qsu_device.h"
#include "lib/utils/netif.h"

namespace {

// Every bit: the whole controller.
constexpr uint32_t RESET_ALL_FLAGS = 0xFFFFFFFF;
constexpr unsigned long CPLD_SETTLE_US = 1000000;
constexpr unsigned long CPLD_DONE_US = 10000;
constexpr unsigned long MC_READY_US = 5000000;

static_assert(sizeof(qsu_device::netif_name) == IFNAMSIZ);
static_assert(sizeof(kpx_ioctl::if_name) == IFNAMSIZ);

// The driver's private command on a socket, naming the port's interface.
int sock_command(int fd, const qsu_device *dev, uint16_t cmd, uint32_t word)
{
    kpx_sock_ioctl ioc;
    std::memset(&ioc, 0, sizeof ioc);
    ioc.cmd = host_to_le16(cmd);
    // Every command used here takes one word, in the same place.
    ioc.u.reset_flags.flags = host_to_le32(word);
    struct ifreq ifr;
    ifreq_for(ifr, dev->netif_name);
    ifr.ifr_data = reinterpret_cast<char *>(&ioc);
    return platform().ioctl(fd, SIOCKPX, &ifr);
}

int esxi_reset(const qsu_device *dev)
{
    FdGuard fd(platform().open(QSC_CONTROL_DEVICE, O_RDWR));
    if (!fd.valid())
        return -1;
    kpx_ioctl ioc;
    std::memset(&ioc, 0, sizeof ioc);
    std::strncpy(ioc.if_name, dev->netif_name, sizeof ioc.if_name);
    ioc.cmd = host_to_le16(KPX_CMD_RESET_FLAGS);
    ioc.u.reset_flags.flags = host_to_le32(RESET_ALL_FLAGS);
    return platform().ioctl(fd.get(), SIOCKPX, &ioc) < 0 ? -1 : 0;
}

int ethtool_reset(int fd, const qsu_device *dev)
{
    ethtool_value value;
    std::memset(&value, 0, sizeof value);
    value.cmd = ETHTOOL_RESET;
    value.data = ETH_RESET_ALL;
    struct ifreq ifr;
    ifreq_for(ifr, dev->netif_name);
    ifr.ifr_data = reinterpret_cast<char *>(&value);
    return platform().ioctl(fd, SIOCETHTOOL, &ifr);
}

int reset_controller(const qsu_device *dev)
{
    if (run_on_esxi)
        return esxi_reset(dev);
    FdGuard fd(platform().socket(AF_INET, SOCK_STREAM, 0));
    if (!fd.valid())
        return -1;
    if (ethtool_reset(fd.get(), dev) == 0)
        return 0;
    // Drivers without the ethtool reset still take their private command.
    if (errno != EOPNOTSUPP && errno != ENOSYS && errno != ENODEV)
        return -1;
    return sock_command(fd.get(), dev, KPX_CMD_RESET_FLAGS, RESET_ALL_FLAGS) < 0 ? -1 : 0;
}

// After a reset, even one that reports failure, the controller may run
// other firmware and the driver may register its devices anew: what they
// said of the partitions is asked again.
int forgetting_answers(int rc)
{
    nv_forget_answers();
    return rc;
}

} // namespace

int mc_reset(nv_fw_context *ctx, progress_fn progress)
{
    nv_fw_report(progress, N_("Resetting adapter"), 0);
    return forgetting_answers(reset_controller(ctx->dev));
}

int mc_cpld_program(nv_fw_context *ctx, progress_fn progress)
{
    FdGuard fd(platform().socket(AF_INET, SOCK_STREAM, 0));
    if (!fd.valid())
        return -1;
    nv_fw_report(progress, N_("Programming CPLD"), 0);
    platform().sleep_us(CPLD_SETTLE_US);
    if (forgetting_answers(sock_command(fd.get(), ctx->dev, KPX_CMD_CPLD, 0)) < 0)
        return -1;
    nv_fw_report(progress, N_("Programming CPLD"), 100);
    platform().sleep_us(CPLD_DONE_US);
    return 0;
}

int mc_kve_reset(nv_fw_context *ctx, progress_fn progress)
{
    FdGuard fd(platform().socket(AF_INET, SOCK_STREAM, 0));
    if (!fd.valid())
        return -1;
    nv_fw_report(progress, N_("Resetting KVE"), 0);
    return forgetting_answers(sock_command(fd.get(), ctx->dev, KPX_CMD_KVE_RESET, 0)) < 0 ? -1 : 0;
}

int mc_wait_ready()
{
    platform().sleep_us(MC_READY_US);
    return 0;
}
