// Adapter names as a user gives them: MAC addresses and interfaces.
#include <cerrno>
#include <cstring>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <linux/ethtool.h>
#include <net/if.h>

#include "lib/utils/linux/qsu_device.h"
#include "lib/utils/netif.h"
#include "tests/unit/support/fake_platform.h"

namespace {

// Any separator or none, one digit or two per byte; nothing else.
TEST(MacAddress, NormalisesToTheInterfaceForm)
{
    const std::pair<const char *, const char *> cases[] = { // normalised form, null: rejected
        {"0:1b:2:3C:4:5", "00-1B-02-3C-04-05"}, {"00-0f-53-01-02-03", "00-0F-53-01-02-03"},
        {"000F53010203", "00-0F-53-01-02-03"},  {"00:0f:53:01:02:03:", "00-0F-53-01-02-03"},
        {"a-b:c-d:e-f", "0A-0B-0C-0D-0E-0F"},   {"00:11:22:33:44:55:66", nullptr},
        {"00:11:22:33:44:5g", nullptr},         {"00:11:22:33:44", nullptr},
        {"eth0", nullptr},                      {"", nullptr},
        {":00:11:22:33:44:55", nullptr}};
    for (auto [text, normalised] : cases) {
        char mac[18];
        errno = 0;
        char *result = normalise_mac_addr(text, mac);
        EXPECT_EQ(result, normalised ? mac : nullptr) << text;
        if (normalised)
            EXPECT_STREQ(mac, normalised);
        else
            EXPECT_EQ(errno, EINVAL) << text;
    }
}

// Only names an interface can have are asked about (the kernel reads 15 characters); none reaches another node.
TEST(NetifIsOurs, OnlyTheExactDriverNameAndAPossibleInterfaceName)
{
    const std::map<std::string, std::string> drivers = {
        {"eth0", "qsc"}, {"eth1", "qscvf"}, {"eth2", "qs"},
        {"vmnic0123456789", "qsc"}, {"../dev/vmnic1", "qsc"}, {".", "qsc"}, {"..", "qsc"}, {"", "qsc"}};
    FakePlatform host;
    for (const auto &d : drivers)
        host.add_file("/dev/" + d.first, "");
    host.ioctl_handler = [&](const std::string &path, unsigned long, void *arg) {
        auto *ifr = static_cast<struct ifreq *>(arg);
        std::string name = path.empty() ? std::string(ifr->ifr_name, strnlen(ifr->ifr_name, IFNAMSIZ - 1))
                                        : path.substr(5);
        auto it = drivers.find(name);
        if (it == drivers.end()) {
            errno = ENODEV;
            return -1;
        }
        std::strcpy(reinterpret_cast<ethtool_drvinfo *>(ifr->ifr_data)->driver, it->second.c_str());
        return 0;
    };
    ScopedPlatform scoped(host);
    const struct { const char *name; bool ours; } cases[] = {
        {"eth0", true}, {"eth1", false}, {"eth2", false}, {"vmnic0123456789", true},
        {"vmnic0123456789a", false},    // one character too many for an interface
        {"vmnic0123456789abcd", false}, // and too many for a device node path
        {"../dev/vmnic1", false}, {".", false}, {"..", false}, {"", false}, {"typo", false}};
    for (int esxi : {0, 1}) {
        run_on_esxi = esxi;
        for (const auto &c : cases) {
            errno = EIO;
            EXPECT_EQ(netif_is_ours(c.name), c.ours) << c.name << " esxi " << esxi;
            EXPECT_EQ(errno, 0) << c.name << " esxi " << esxi;
        }
        ethtool_drvinfo info;
        EXPECT_EQ(netif_get_drvinfo(&info, "typo"), -1);
        EXPECT_EQ(errno, esxi ? ENOENT : ENODEV);
    }
    run_on_esxi = 0;
}

} // namespace
