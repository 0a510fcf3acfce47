// Interfaces as a user names them: which are ours, and which may be asked at all.
#include <cerrno>
#include <tuple>

#include <gtest/gtest.h>
#include <linux/ethtool.h>

#include "lib/utils/linux/qsu_device.h"
#include "lib/utils/netif.h"
#include "tests/lab/support/lab_fixture.h"

namespace {

// Only names an interface can have are asked about (the kernel reads 15 characters); none reaches another node.
TEST(NetifIsOurs, OnlyTheExactDriverNameAndAPossibleInterfaceName)
{
    const struct { const char *name; bool ours; } cases[] = {
        {"vmnic1", true}, {"vmnic2", false}, {"vmnic3", false}, {"vmnic1234567890", true},
        {"vmnic1234567890a", false},    // one character too many for an interface
        {"vmnic1234567890abcd", false}, // and too many for a device node path
        {"/vmnic1", false}, // "/dev//vmnic1" is vmnic1's node
        {".", false}, {"..", false}, {"", false}, {"typo", false}};
    for (lab::HostKind kind : {lab::HostKind::linux_host, lab::HostKind::esxi}) {
        // Two ports of ours; interfaces of drivers whose names begin as ours does.
        lab::LabState state = lab_host(kind, {{"dogwood2", 2}});
        state.adapters[0].ports[0].ifname = "vmnic1";
        state.adapters[0].ports[1].ifname = "vmnic1234567890";
        for (auto [ifname, driver, bus] :
             {std::tuple{"vmnic2", "qscvf", "0000:00:1a.0"}, {"vmnic3", "qs", "0000:00:1b.0"}}) {
            lab::Interface &nic = state.interfaces.emplace_back(state.interfaces.back());
            nic.ifname = ifname, nic.driver = driver, nic.bus_info = bus;
        }
        InProcessLab host(state);
        ScopedPlatform scoped(host.platform());
        run_on_esxi = kind == lab::HostKind::esxi;
        for (const auto &c : cases) {
            errno = EIO;
            EXPECT_EQ(netif_is_ours(c.name), c.ours) << c.name << " esxi " << run_on_esxi;
            EXPECT_EQ(errno, 0) << c.name << " esxi " << run_on_esxi;
        }
        ethtool_drvinfo info;
        EXPECT_EQ(netif_get_drvinfo(&info, "typo"), -1);
        EXPECT_EQ(errno, run_on_esxi ? ENOENT : ENODEV);
    }
    run_on_esxi = 0;
}

} // namespace
