// The lab's emulations, checked against how the kernel and the devices
// behave: a lab that answered too kindly would hide faults of qsupdate.
#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/socket.h>

#include "lab/lab.h"
#include "lab/lab_pci_config.h"
#include "lab/lab_platform.h"
#include "lab/lab_presets.h"
#include "lab/lab_vpd.h"
#include "lib/utils/byteorder.h"

namespace {

lab::LabState linux_with_dogwood2()
{
    lab::LabState state = lab::make_host(lab::HostKind::linux_host, true);
    lab::add_preset_adapter(state, "dogwood2", 2);
    return state;
}

uint16_t read16(lab::PciConfigSpace &space, size_t offset)
{
    uint8_t b[2];
    EXPECT_EQ(space.read(offset, b, 2), 2u);
    return load_le16(b);
}

} // namespace

TEST(LabPciConfig, VpdDataIsReadyOnlyAfterTheConfiguredPolls)
{
    lab::Adapter adapter = linux_with_dogwood2().adapters[0];
    std::vector<uint8_t> vpd = lab::build_vpd(adapter.vpd);
    for (int polls : {1, 3, 126}) {
        SCOPED_TRACE(polls);
        adapter.config.vpd_polls = polls;
        lab::PciConfigSpace space(adapter, 0);
        ASSERT_TRUE(read16(space, 0x06) & 0x10);
        uint8_t cap = 0, header[2] = {};
        space.read(0x34, &cap, 1);
        while (cap && space.read(cap, header, 2) == 2 && header[0] != 3)
            cap = header[1];
        ASSERT_GT(cap, 0x40u) << "the VPD capability should not be the first in the list";
        for (uint16_t addr : {0, 4, 24}) {
            uint8_t a[2];
            store_le16(a, addr);
            space.write(cap + 2, a, 2);
            for (int i = 1; i < polls; ++i)
                ASSERT_EQ(read16(space, cap + 2), addr) << "flag set early at poll " << i;
            ASSERT_EQ(read16(space, cap + 2), 0x8000 | addr);
            uint8_t data[4];
            space.read(cap + 4, data, 4);
            EXPECT_EQ(0, std::memcmp(data, &vpd[addr], 4));
        }
        EXPECT_EQ(space.vpd_reads(), 3u);
    }
}

TEST(LabNetdev, AnswersAsTheKernelAndDriversDo)
{
    char name[] = "/tmp/qslab-unit-XXXXXX";
    std::string dir = mkdtemp(name);
    lab::Lab::create(dir, linux_with_dogwood2());
    lab::Lab lab(dir);
    lab::LabPlatform lab_platform(lab);
    Platform &p = lab_platform;
    int sock = p.socket(AF_INET, SOCK_DGRAM, 0);
    ethtool_drvinfo info;
    auto drvinfo = [&](const char *ifname) {
        std::memset(&info, 0, sizeof info);
        info.cmd = ETHTOOL_GDRVINFO;
        ifreq ifr{};
        std::strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
        ifr.ifr_data = reinterpret_cast<char *>(&info);
        errno = 0;
        return p.ioctl(sock, SIOCETHTOOL, &ifr) == 0 ? 0 : errno;
    };
    ASSERT_EQ(drvinfo("eth1"), 0);
    EXPECT_STREQ(info.driver, "qsc");
    EXPECT_STREQ(info.bus_info, "0000:03:00.1");
    ASSERT_EQ(drvinfo("eno1"), 0);
    EXPECT_STREQ(info.driver, "brindle");
    EXPECT_EQ(drvinfo("lo"), EOPNOTSUPP);
    EXPECT_EQ(drvinfo("eth9"), ENODEV);

    ifreq ifr{};
    std::strcpy(ifr.ifr_name, "eth0");
    ASSERT_EQ(p.ioctl(sock, SIOCGIFHWADDR, &ifr), 0);
    EXPECT_EQ(0, std::memcmp(ifr.ifr_hwaddr.sa_data, "\x00\x1B\x7E\x5A\x10\x00", 6));

    // A node is only a number: ENXIO while no driver holds it, ENODEV from mtdchar without that MTD.
    lab.state().nodes.push_back({"/dev/mtd3", false, 90, 6, 0600});
    for (int err : {ENXIO, ENODEV}) {
        EXPECT_EQ(p.open("/dev/mtd3", O_RDWR) == -1 ? errno : 0, err);
        lab.state().host.modules_loaded.push_back("mtdchar");
    }

    // Unprivileged: no writable config space, no VPD file.
    lab.state().host.euid = 1000;
    EXPECT_EQ(p.open("/sys/class/net/eth0/device/config", O_RDWR), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(p.open("/sys/class/net/eth0/device/vpd", O_RDONLY), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(p.mkdir("/dev", 0755) == -1 ? errno : 0, EEXIST);
    EXPECT_EQ(p.close(sock), 0);
    std::filesystem::remove_all(dir);
}
