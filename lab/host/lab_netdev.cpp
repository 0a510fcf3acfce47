#include "lab/host/lab_netdev.h"

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string>

#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <net/if_arp.h>

#include "lab/controller/lab_mc_reset.h"
#include "lab/wire/lab_wire.h"
#include "lib/utils/byteorder.h"

namespace lab {

namespace {

int fail(int err)
{
    errno = err;
    return -1;
}

std::string hex32(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

template <size_t N>
void copy_field(char (&dst)[N], const std::string &src)
{
    std::memset(dst, 0, N);
    std::memcpy(dst, src.data(), std::min(src.size(), N - 1));
}

struct Netdev {
    PortRef port;
    Interface *other = nullptr;
    bool exists() const { return port.port || other; }
    bool up() const { return port.port ? port.port->up : other->up; }
    const std::string &mac() const { return port.port ? port.port->mac : other->mac; }
    const std::string &name() const { return port.port ? port.port->ifname : other->ifname; }
};

Netdev lookup(Lab &lab, const char *name, size_t max_len)
{
    std::string ifname(name, strnlen(name, max_len));
    Netdev dev;
    dev.port = find_port(lab.state(), ifname);
    if (!dev.port.port)
        dev.other = find_interface(lab.state(), ifname);
    return dev;
}

bool privileged(Lab &lab)
{
    return lab.state().host.euid == 0;
}

// The adapter's management controller restarts; the log says what it runs.
void reset_controller(Lab &lab, const Adapter &adapter)
{
    const std::string line = mc::reset_controller(lab, static_cast<size_t>(&adapter - lab.state().adapters.data()));
    if (!line.empty())
        lab.events().record(line);
}

int ethtool(Lab &lab, const Netdev &dev, void *data)
{
    uint32_t cmd;
    std::memcpy(&cmd, data, sizeof cmd);
    if (cmd == ETHTOOL_GDRVINFO) {
        ethtool_drvinfo info;
        std::memset(&info, 0, sizeof info);
        info.cmd = ETHTOOL_GDRVINFO;
        if (dev.port.port) {
            copy_field(info.driver, "qsc");
            copy_field(info.version, lab.state().host.driver_version);
            copy_field(info.fw_version, dev.port.adapter->firmware_version);
            copy_field(info.bus_info, dev.port.port->pci_addr);
        } else {
            // Without a get_drvinfo operation or a parent device the kernel
            // has nothing to say (the loopback).
            if (!dev.other->has_drvinfo)
                return fail(EOPNOTSUPP);
            copy_field(info.driver, dev.other->driver);
            copy_field(info.version, dev.other->version);
            copy_field(info.bus_info, dev.other->bus_info);
        }
        std::memcpy(data, &info, sizeof info);
        return 0;
    }
    if (cmd == ETHTOOL_RESET) {
        if (!privileged(lab))
            return fail(EPERM);
        if (!dev.port.port)
            return fail(EOPNOTSUPP);
        ethtool_value value;
        std::memcpy(&value, data, sizeof value);
        lab.events().record("ethtool reset of " + dev.name() + " (flags " + hex32(value.data) + ")");
        if (value.data & (ETH_RESET_MGMT | ETH_RESET_MGMT << ETH_RESET_SHARED_SHIFT))
            reset_controller(lab, *dev.port.adapter);
        value.data = 0; // the driver clears the bits of what it has reset
        std::memcpy(data, &value, sizeof value);
        return 0;
    }
    return fail(EOPNOTSUPP);
}

int set_flags(Lab &lab, const Netdev &dev, short flags)
{
    if (!privileged(lab))
        return fail(EPERM);
    bool up = (flags & IFF_UP) != 0;
    if (up == dev.up())
        return 0;
    (dev.port.port ? dev.port.port->up : dev.other->up) = up;
    lab.events().record("interface " + dev.name() + (up ? " up" : " down"));
    return 0;
}

// A fault of the table striking this interface operation, as errno.
int injected(Lab &lab, const std::string &ifname, const char *operation, unsigned long request)
{
    const Fault *fault = lab.faults().strike({{ifname}, operation, request});
    return fault ? fault->error : 0;
}

int kpx_command(Lab &lab, const PortRef &ref, uint16_t cmd, wire::Body &u)
{
    const Adapter &a = *ref.adapter;
    bool known = cmd == wire::CMD_DEVICE_IDS || cmd == wire::CMD_MCDI_REQUEST ||
                 cmd == wire::CMD_MCDI_REQUEST2 || cmd == wire::CMD_RESET_FLAGS ||
                 cmd == wire::CMD_CPLD || cmd == wire::CMD_KVE_RESET;
    // The driver refuses commands it does not know as operations it does
    // not support.
    if (!known)
        return fail(EOPNOTSUPP);
    // Without a management controller, or with the pass-through switched
    // off, the driver carries no MCDI at all.
    ManagementController *mc = nullptr;
    if (cmd == wire::CMD_MCDI_REQUEST || cmd == wire::CMD_MCDI_REQUEST2) {
        mc = lab.controller(static_cast<size_t>(ref.adapter - lab.state().adapters.data()));
        if (!mc || !lab.state().host.mcdi_available)
            return fail(EOPNOTSUPP);
    }
    if (int err = injected(lab, ref.port->ifname, "command", cmd))
        return fail(err);
    switch (cmd) {
    case wire::CMD_DEVICE_IDS: {
        wire::DeviceIds &ids = u.device_ids;
        ids.vendor_id = host_to_le16(a.vendor_id);
        ids.device_id = host_to_le16(a.device_id);
        ids.subsys_vendor_id = host_to_le16(a.subsystem_vendor_id);
        ids.subsys_device_id = host_to_le16(a.subsystem_device_id);
        ids.phy_type = host_to_le32(static_cast<uint32_t>(ref.port->phy_type));
        ids.port_num = static_cast<uint8_t>(ref.port_num);
        parse_mac(ref.port->mac, ids.perm_addr);
        return 0;
    }
    case wire::CMD_MCDI_REQUEST:
        mc->serve(ref.port->ifname, u.mcdi_request);
        return 0;
    case wire::CMD_MCDI_REQUEST2:
        mc->serve(ref.port->ifname, u.mcdi_request2);
        return 0;
    case wire::CMD_RESET_FLAGS:
        lab.events().record("controller reset through " + ref.port->ifname + " (flags " +
                            hex32(le32_to_host(u.word.value)) + ")");
        reset_controller(lab, a);
        return 0;
    case wire::CMD_CPLD:
        lab.events().record("CPLD programming through " + ref.port->ifname + " (update " +
                            hex32(le32_to_host(u.word.value)) + ")");
        return 0;
    default: // CMD_KVE_RESET
        lab.events().record("KVE reset through " + ref.port->ifname + " (flags " +
                            hex32(le32_to_host(u.word.value)) + ")");
        return 0;
    }
}

} // namespace

int netdev_ioctl(Lab &lab, unsigned long request, void *arg, const char *bound)
{
    auto *ifr = static_cast<ifreq *>(arg);
    if (request != SIOCETHTOOL && request != SIOCGIFHWADDR && request != SIOCGIFFLAGS &&
        request != SIOCSIFFLAGS && request != wire::SIOCKPX)
        return fail(ENOTTY);
    // The kernel ends the name at its sixteenth byte whatever the caller
    // put there; an interface node ignores it.
    Netdev dev = bound ? lookup(lab, bound, IFNAMSIZ) : lookup(lab, ifr->ifr_name, IFNAMSIZ - 1);
    if (!dev.exists())
        return fail(ENODEV);
    // An ethtool request is known to the fault table by its command too.
    unsigned long site = request;
    if (request == SIOCETHTOOL && ifr->ifr_data) {
        uint32_t cmd;
        std::memcpy(&cmd, ifr->ifr_data, sizeof cmd);
        site = ethtool_request(cmd);
    }
    if (int err = injected(lab, dev.name(), "ioctl", site))
        return fail(err);

    switch (request) {
    case SIOCETHTOOL:
        return ethtool(lab, dev, ifr->ifr_data);
    case SIOCGIFHWADDR:
        std::memset(&ifr->ifr_hwaddr, 0, sizeof ifr->ifr_hwaddr);
        ifr->ifr_hwaddr.sa_family =
            dev.other && dev.other->kind == "loopback" ? ARPHRD_LOOPBACK : ARPHRD_ETHER;
        parse_mac(dev.mac(), reinterpret_cast<uint8_t *>(ifr->ifr_hwaddr.sa_data));
        return 0;
    case SIOCGIFFLAGS:
        if (dev.other && dev.other->kind == "loopback")
            ifr->ifr_flags = static_cast<short>(IFF_LOOPBACK | (dev.up() ? IFF_UP | IFF_RUNNING : 0));
        else
            ifr->ifr_flags = static_cast<short>(IFF_BROADCAST | IFF_MULTICAST |
                                                (dev.up() ? IFF_UP | IFF_RUNNING : 0));
        return 0;
    case SIOCSIFFLAGS:
        return set_flags(lab, dev, ifr->ifr_flags);
    default: // SIOCKPX: only the adapter's driver implements it
        if (!dev.port.port)
            return fail(EOPNOTSUPP);
        if (!privileged(lab))
            return fail(EPERM);
        auto *sock_ioc = reinterpret_cast<wire::SocketIoctl *>(ifr->ifr_data);
        return kpx_command(lab, dev.port, le16_to_host(sock_ioc->cmd), sock_ioc->u);
    }
}

int control_device_ioctl(Lab &lab, unsigned long request, void *arg)
{
    if (request != wire::SIOCKPX)
        return fail(ENOTTY);
    auto *ioc = static_cast<wire::ControlIoctl *>(arg);
    PortRef ref = find_port(lab.state(), std::string(ioc->if_name, strnlen(ioc->if_name, sizeof ioc->if_name)));
    if (!ref.port)
        return fail(ENODEV);
    return kpx_command(lab, ref, le16_to_host(ioc->cmd), ioc->u);
}

} // namespace lab
