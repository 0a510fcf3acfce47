// Interface helpers, byte order and the OEM device table.
#include <cerrno>
#include <cstring>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <linux/ethtool.h>
#include <net/if.h>

#include "lib/utils/byteorder.h"
#include "lib/utils/dell_devices.h"
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

// The adapter's layouts put the least significant byte first on any host:
// every helper's result lies in memory so, and reads back from it.
TEST(ByteOrder, LeastSignificantByteFirstInMemoryOnAnyHost)
{
    const uint8_t le16[] = {0x34, 0x12, 0xCD, 0xAB}, le32[] = {0x78, 0x56, 0x34, 0x12, 0xF0, 0xDE, 0xBC, 0x9A};
    uint16_t w16[2] = {host_to_le16(0x1234), host_to_le16(0xABCD)}, a16[2] = {0x1234, 0xABCD};
    uint32_t w32[2] = {host_to_le32(0x12345678), host_to_le32(0x9ABCDEF0)}, a32[2] = {0x12345678, 0x9ABCDEF0};
    byteorder_native_to_le_16(a16, 2); // the array forms convert every element, and back
    byteorder_native_to_le_32(a32, 2);
    uint8_t stored[12];
    store_le16(stored, 0x1234), store_le16(stored + 2, 0xABCD);
    store_le32(stored + 4, 0x12345678), store_le32(stored + 8, 0x9ABCDEF0);
    for (const void *bytes : std::initializer_list<const void *>{w16, a16, stored})
        EXPECT_EQ(std::memcmp(bytes, le16, 4), 0);
    for (const void *bytes : std::initializer_list<const void *>{w32, a32, stored + 4})
        EXPECT_EQ(std::memcmp(bytes, le32, 8), 0);
    byteorder_le_to_native_16(a16, 2);
    byteorder_le_to_native_32(a32, 2);
    EXPECT_EQ((std::vector<uint32_t>{le16_to_host(w16[1]), le32_to_host(w32[1]), load_le16(le16 + 2),
                                     load_le32(le32 + 4), a16[0], a16[1], a32[0], a32[1]}),
              (std::vector<uint32_t>{0xABCD, 0x9ABCDEF0, 0xABCD, 0x9ABCDEF0, 0x1234, 0xABCD, 0x12345678, 0x9ABCDEF0}));
}

TEST(SysfsPaths, AreBuiltFromAddressOrInterface)
{
    char buf[SYSFS_PATH_LEN];
    EXPECT_STREQ(pci_attr_path(buf, "0000:03:00.1", "vendor"), "/sys/bus/pci/devices/0000:03:00.1/vendor");
    EXPECT_STREQ(netif_attr_path(buf, "eth0123456789abcdefgh", "device/vpd"),
                 "/sys/class/net/eth0123456789abc/device/vpd");
}

// Only the master port of a known adapter answers; the version shows three numbers.
TEST(DellDevices, KnownMasterPortsAndTheirVersions)
{
    qsu_device ports[4] = {};
    const uint32_t subsystems[4] = {0x1B7E802C, 0x1B7E802C, 0x1B7E802D, 0};
    for (int i = 0; i < 4; i++) {
        ports[i].pci_device_id = i == 3 ? 0 : 0x1B7E0B03;
        ports[i].pci_subsystem_id = subsystems[i];
        ports[i].master_port = i == 1 ? &ports[0] : &ports[i];
    }
    const dell_device *slot = get_dell_device(&ports[0]);
    ASSERT_NE(slot, nullptr);
    EXPECT_STREQ(slot->display_name, "Halcyonpath Y3522-25G Adapter");
    EXPECT_EQ(get_dell_device(&ports[1]), nullptr); // second port of that adapter
    EXPECT_EQ(get_dell_device(&ports[2]), nullptr); // other subsystem
    EXPECT_EQ(get_dell_device(&ports[3]), nullptr); // empty slots match nothing
    EXPECT_STREQ(get_version_for_dell({1, 2, 3, 4}, true), "v1.2.3");
    EXPECT_STREQ(get_version_for_dell({65535, 65535, 65535, 65535}, false), "65535.65535.65535");
}

// Interfaces as the kernel names them, each also a device node for the ESXi
// path.  The kernel reads at most 15 characters of a name, so a longer text
// reaches the interface named by its beginning.  This host answers even for
// texts no interface can have: they must not be asked about.  An interface
// that does not exist ("typo") has no node on ESXi and is ENODEV to Linux.
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
