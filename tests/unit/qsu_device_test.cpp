#include "lib/utils/linux/qsu_device.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>

#include "tests/unit/support/fake_platform.h"

namespace {

TEST(QsuSerial, SerialNumberTest)
{
    std::pair<const char *, bool> cases[] = {
        {"123456789012345678901234", true}, {"12345678901234567890123", false},
        {"12345678901234567890123X", false}, {"SABCDRXYZ123", true},
        {"SABCDXXYZ123", false}, {"SABCDRXYZ12", false}, {"", false},
    };
    for (auto [text, passes] : cases)
        EXPECT_EQ(qsu_is_quillstone_serial(text), passes) << text;
}

std::string field(const char *keyword, const std::string &data)
{
    return std::string(keyword, 2) + static_cast<char>(data.size()) + data;
}

std::string resource(uint8_t tag, const std::string &data)
{
    std::string r(1, static_cast<char>(tag));
    if (tag & 0x80) {
        r += static_cast<char>(data.size() & 0xFF);
        r += static_cast<char>(data.size() >> 8);
    }
    return r + data;
}

std::string serial_of(const std::string &vpd)
{
    // Exactly sized, so that a read past the end is caught.
    std::vector<uint8_t> bytes(vpd.begin(), vpd.end());
    qsu_device dev{};
    get_qs_serial_vpd(&dev, bytes.data(), bytes.size());
    return dev.serial_number;
}

TEST(QsuSerial, ExtractedFromReadOnlyFields)
{
    const std::string ve = "012345678901234567890123";
    const std::string id = resource(0x82, "Duskhollow adapter");
    // A 10-character SN fails the test; the VE after it is taken.
    EXPECT_EQ(serial_of(id + resource(0x90, field("PN", "X") + field("SN", "0123456789") +
                                                field("VE", ve)) + "\x78"),
              ve);
    // Only read-only resources are searched: a writable one and a small
    // resource are stepped over.
    EXPECT_EQ(serial_of(resource(0x91, field("SN", "SAAAARBBBBBB")) + resource(0x0A, "xy") +
                        resource(0x90, field("SN", "SCCCCRDDDDDD")) + "\x78"),
              "SCCCCRDDDDDD");
    // Nothing after the end tag, and a field running past the buffer is
    // not read.
    EXPECT_EQ(serial_of("\x78" + resource(0x90, field("SN", "SCCCCRDDDDDD"))), "");
    std::string cut = resource(0x90, field("SN", "SCCCCRDDDDDD"));
    EXPECT_EQ(serial_of(cut.substr(0, cut.size() - 1)), "");
}

TEST(QsuPciAddr, ParsesAndPacks)
{
    std::pair<const char *, uint32_t> cases[] = {
        {"0000:03:00.1", 0x00000301}, {"0001:81:1f.7", 0x000181FF},
        {"03:00.0", 0xFFFFFFFF},      {"0000:03:20.0", 0xFFFFFFFF},
    };
    for (auto [text, packed] : cases) {
        qsu_device dev{};
        std::strcpy(dev.pci_addr, text);
        EXPECT_EQ(qsu_parse_pci_addr(&dev), packed) << text;
    }
}

// A host whose interfaces answer ethtool (unless drvinfo_errno) and the
// hardware address ioctl.
struct Netif {
    std::string driver, bus_info;
    uint8_t mac[6];
    int drvinfo_errno = 0;
};

class QsuEnum : public ::testing::Test {
protected:
    void SetUp() override
    {
        add_linux_driver(fake);
        fake.ioctl_handler = [this](const std::string &, unsigned long request, void *arg) {
            auto *ifr = static_cast<ifreq *>(arg);
            const Netif &n = netifs[ifr->ifr_name];
            if (request == SIOCGIFHWADDR) {
                std::memcpy(ifr->ifr_hwaddr.sa_data, n.mac, 6);
                return 0;
            }
            if (n.drvinfo_errno) {
                errno = n.drvinfo_errno;
                return -1;
            }
            auto *info = reinterpret_cast<ethtool_drvinfo *>(ifr->ifr_data);
            std::strcpy(info->driver, n.driver.c_str());
            std::strcpy(info->bus_info, n.bus_info.c_str());
            return 0;
        };
    }

    void add_port(const std::string &name, Netif netif, const std::string &vpd = "")
    {
        netifs[name] = netif;
        fake.add_file("/sys/class/net/" + name + "/device/vpd", vpd);
        std::string dir = "/sys/bus/pci/devices/" + netif.bus_info + "/";
        fake.add_file(dir + "vendor", "0x1b7e\n");
        fake.add_file(dir + "subsystem_vendor", "0x1b7e\n");
        fake.add_file(dir + "device", "0x0903\n");
        fake.add_file(dir + "subsystem_device", "32812\n"); // decimal 0x802c
    }

    FakePlatform fake;
    ScopedPlatform scoped{fake};
    std::map<std::string, Netif> netifs;
};

TEST_F(QsuEnum, LinuxPortsSortedIdentifiedAndGrouped)
{
    const std::string serial = "SAAAARBBBBBB";
    std::string vpd = resource(0x90, field("SN", serial)) + "\x78";
    add_port("eth0", {"qsc", "0000:03:00.1", {0, 0x0f, 0x53, 1, 2, 0xab}}, vpd);
    add_port("eth1", {"qsc", "0000:03:00.0", {0, 0x0f, 0x53, 1, 2, 0xaa}}, vpd);
    add_port("eth0.5", {"qsc", "0000:03:00.1", {}});
    fake.add_file("/proc/net/vlan/eth0.5", "");
    add_port("eth2", {"e1000e", "0000:00:19.0", {}});
    add_port("bonding_masters", {"", "", {}, ENODEV});
    fake.add_file("/sys/bus/pci/devices/0000:03:00.1/phy_type", "0x11\n");

    testing::internal::CaptureStderr();
    qsu_device *devs = nullptr;
    ASSERT_EQ(qsu_device_enum(&devs), 2);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "Failed to open /sys/class/net/eth1/device/config, you may have "
                  "insufficient permissions.\n"),
              std::string::npos);
    EXPECT_STREQ(devs[0].netif_name, "eth1");
    EXPECT_STREQ(devs[1].netif_name, "eth0");
    EXPECT_STREQ(devs[0].mac_addr, "00-0F-53-01-02-AA");
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(devs[i].port_index, static_cast<uint32_t>(i));
        EXPECT_EQ(devs[i].pci_device_id, 0x1B7E0903u);
        EXPECT_EQ(devs[i].pci_subsystem_id, 0x1B7E802Cu);
        EXPECT_EQ(devs[i].serial_number, serial);
        EXPECT_EQ(devs[i].master_port, &devs[0]);
    }
    EXPECT_EQ(devs[0].phy_type, -1);
    EXPECT_EQ(devs[1].phy_type, 0x11);
    EXPECT_EQ(devs[0].ports_count, 2);
    EXPECT_EQ(fake.open_descriptors(), 0u);
    std::free(devs);
}

TEST_F(QsuEnum, UnusableInterfaceFailsEnumeration)
{
    add_port("eth0", {"qsc", "03:00.0", {}}); // no domain in bus_info
    qsu_device *devs = nullptr;
    EXPECT_EQ(qsu_device_enum(&devs), -1);
    EXPECT_EQ(errno, EINVAL);
    netifs["eth0"].drvinfo_errno = EPERM; // only ENODEV, EINVAL, EOPNOTSUPP skip
    EXPECT_EQ(qsu_device_enum(&devs), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(fake.open_descriptors(), 0u);
}

} // namespace
