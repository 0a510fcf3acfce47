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
#include <unistd.h>

#include "lab/lab.h"
#include "lab/lab_image.h"
#include "lab/lab_pci_config.h"
#include "lab/lab_platform.h"
#include "lab/lab_presets.h"
#include "lab/lab_shell.h"
#include "lab/lab_vpd.h"
#include "lib/utils/byteorder.h"
#include "lib/utils/firmware.h"

namespace {

lab::Adapter preset_adapter(const std::string &preset)
{
    lab::LabState state = lab::make_host(lab::HostKind::linux_host, true);
    lab::add_preset_adapter(state, preset, 0);
    return state.adapters[0];
}

// A lab in a temporary directory, opened.
struct LabDir {
    std::string dir;
    std::unique_ptr<lab::Lab> lab;

    explicit LabDir(lab::LabState state)
    {
        char name[] = "/tmp/qslab-unit-XXXXXX";
        dir = mkdtemp(name);
        lab::Lab::create(dir, state);
        lab = std::make_unique<lab::Lab>(dir);
    }
    ~LabDir() { std::filesystem::remove_all(dir); }
};

lab::LabState linux_with(const std::string &preset)
{
    lab::LabState state = lab::make_host(lab::HostKind::linux_host, true);
    lab::add_preset_adapter(state, preset, 2);
    return state;
}

uint16_t read16(lab::PciConfigSpace &space, size_t offset)
{
    uint8_t b[2];
    EXPECT_EQ(space.read(offset, b, 2), 2u);
    return load_le16(b);
}

size_t find_vpd_capability(lab::PciConfigSpace &space)
{
    if (!(read16(space, 0x06) & 0x10))
        return 0;
    uint8_t pos;
    space.read(0x34, &pos, 1);
    while (pos) {
        uint8_t cap[2];
        space.read(pos, cap, 2);
        if (cap[0] == 3)
            return pos;
        pos = cap[1];
    }
    return 0;
}

} // namespace

TEST(LabPciConfig, VpdDataIsReadyOnlyAfterTheConfiguredPolls)
{
    lab::Adapter adapter = preset_adapter("dogwood2");
    std::vector<uint8_t> vpd = lab::build_vpd(adapter.vpd);
    for (int polls : {1, 3, 126}) {
        SCOPED_TRACE(polls);
        adapter.config.vpd_polls = polls;
        lab::PciConfigSpace space(adapter, 0);
        size_t cap = find_vpd_capability(space);
        ASSERT_NE(cap, 0u);
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

TEST(LabPciConfig, CapabilityListVariants)
{
    lab::Adapter adapter = preset_adapter("cedar");
    lab::PciConfigSpace with(adapter, 1);
    EXPECT_EQ(read16(with, 0x00), 0x1B7E);
    EXPECT_EQ(read16(with, 0x02), 0x0903);
    EXPECT_EQ(read16(with, 0x2C), 0x1014);
    EXPECT_NE(find_vpd_capability(with), 0u);

    adapter.config.vpd_capability = false;
    lab::PciConfigSpace without_vpd(adapter, 0);
    EXPECT_EQ(find_vpd_capability(without_vpd), 0u);
    EXPECT_TRUE(read16(without_vpd, 0x06) & 0x10);

    adapter.config.capability_list = false;
    lab::PciConfigSpace no_list(adapter, 0);
    EXPECT_FALSE(read16(no_list, 0x06) & 0x10);
    // Ids are read-only.
    uint8_t junk[2] = {0xAA, 0xBB};
    no_list.write(0, junk, 2);
    EXPECT_EQ(read16(no_list, 0x00), 0x1B7E);
}

TEST(LabVpd, PresetImagesAreWellFormedWithAcceptedSerials)
{
    for (const char *preset : {"alder", "alder-0710", "birch", "cedar", "dogwood", "dogwood2", "oem"}) {
        SCOPED_TRACE(preset);
        std::vector<uint8_t> vpd = lab::build_vpd(preset_adapter(preset).vpd);
        ASSERT_EQ(vpd.back(), 0x78);
        ASSERT_EQ(vpd[0], 0x82);
        size_t ro = 3 + load_le16(&vpd[1]);
        ASSERT_EQ(vpd[ro], 0x90);
        size_t end = ro + 3 + load_le16(&vpd[ro + 1]);
        ASSERT_EQ(end, vpd.size() - 1);
        // Fields fill the resource exactly; RV's first byte zeroes the sum.
        bool serial_ok = false, rv_ok = false;
        for (size_t p = ro + 3; p < end;) {
            std::string key(vpd.begin() + static_cast<long>(p), vpd.begin() + static_cast<long>(p) + 2);
            size_t len = vpd[p + 2];
            std::string value(vpd.begin() + static_cast<long>(p) + 3, vpd.begin() + static_cast<long>(p + 3 + len));
            if (key == "RV") {
                uint8_t sum = 0;
                for (size_t i = 0; i <= p + 3; ++i)
                    sum = static_cast<uint8_t>(sum + vpd[i]);
                rv_ok = sum == 0;
            }
            bool digits = value.size() == 24 && value.find_first_not_of("0123456789") == std::string::npos;
            bool sr = value.size() == 12 && value[0] == 'S' && value[5] == 'R';
            if ((key == "SN" || key == "VE") && (digits || sr))
                serial_ok = true;
            p += 3 + len;
            ASSERT_LE(p, end);
        }
        EXPECT_TRUE(serial_ok);
        EXPECT_TRUE(rv_ok);
    }
}

TEST(LabPlatform, MapsOnlyTheHostPrefixes)
{
    LabDir d(linux_with("dogwood2"));
    lab::LabPlatform p(*d.lab);
    const std::string &root = d.lab->root();
    EXPECT_EQ(p.map_path("/sys/class/net"), root + "/sys/class/net");
    EXPECT_EQ(p.map_path("//proc//net/vlan/"), root + "/proc/net/vlan");
    EXPECT_EQ(p.map_path("/dev"), root + "/dev");
    EXPECT_EQ(p.map_path("/var/lib/qsutils/x.dat"), root + "/var/lib/qsutils/x.dat");
    for (const char *unmapped : {"/dev/null", "/var/lib/dpkg", "/system", "/tmp/image.dat", "sys/x"})
        EXPECT_EQ(p.map_path(unmapped), std::nullopt) << unmapped;
}

TEST(LabPlatform, EmulatedDescriptorsNeverCollideAndClose)
{
    LabDir d(linux_with("dogwood2"));
    lab::LabPlatform lab_platform(*d.lab);
    Platform &p = lab_platform;
    int sock = p.socket(AF_INET, SOCK_STREAM, 0);
    int config = p.open("/sys/class/net/eth1/device/config", O_RDWR | O_SYNC);
    int plain = p.open("/sys/bus/pci/devices/0000:03:00.1/vendor", O_RDONLY);
    ASSERT_GE(sock, 0);
    ASSERT_GE(config, 0);
    ASSERT_GE(plain, 0);
    EXPECT_NE(sock, config);
    EXPECT_NE(config, plain);
    char text[16] = {};
    EXPECT_EQ(p.read(plain, text, sizeof text - 1), 7);
    EXPECT_STREQ(text, "0x1b7e\n");
    uint8_t id[2];
    ASSERT_EQ(p.lseek(config, 2, SEEK_SET), 2);
    ASSERT_EQ(p.read(config, id, 2), 2);
    EXPECT_EQ(load_le16(id), 0x0B03);
    for (int fd : {sock, config, plain})
        EXPECT_EQ(p.close(fd), 0);
    EXPECT_EQ(p.close(config), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(LabNetdev, AnswersAsTheKernelAndDriversDo)
{
    lab::LabState state = linux_with("dogwood2");
    LabDir d(state);
    lab::LabPlatform lab_platform(*d.lab);
    Platform &p = lab_platform;
    int sock = p.socket(AF_INET, SOCK_DGRAM, 0);
    auto drvinfo = [&](const char *name, ethtool_drvinfo &info) {
        std::memset(&info, 0, sizeof info);
        info.cmd = ETHTOOL_GDRVINFO;
        ifreq ifr{};
        std::strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
        ifr.ifr_data = reinterpret_cast<char *>(&info);
        errno = 0;
        return p.ioctl(sock, SIOCETHTOOL, &ifr);
    };
    ethtool_drvinfo info;
    ASSERT_EQ(drvinfo("eth1", info), 0);
    EXPECT_STREQ(info.driver, "qsc");
    EXPECT_STREQ(info.bus_info, "0000:03:00.1");
    ASSERT_EQ(drvinfo("eno1", info), 0);
    EXPECT_STREQ(info.driver, "e1000e");
    EXPECT_EQ(drvinfo("lo", info), -1);
    EXPECT_EQ(errno, EOPNOTSUPP);
    EXPECT_EQ(drvinfo("eth9", info), -1);
    EXPECT_EQ(errno, ENODEV);

    ifreq ifr{};
    std::strcpy(ifr.ifr_name, "eth0");
    ASSERT_EQ(p.ioctl(sock, SIOCGIFHWADDR, &ifr), 0);
    EXPECT_EQ(0, std::memcmp(ifr.ifr_hwaddr.sa_data, "\x00\x1B\x7E\x5A\x10\x00", 6));
    ASSERT_EQ(p.ioctl(sock, SIOCGIFFLAGS, &ifr), 0);
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags & ~IFF_UP);
    ASSERT_EQ(p.ioctl(sock, SIOCSIFFLAGS, &ifr), 0);
    ASSERT_EQ(p.ioctl(sock, SIOCGIFFLAGS, &ifr), 0);
    EXPECT_FALSE(ifr.ifr_flags & IFF_UP);
    EXPECT_FALSE(d.lab->state().adapters[0].ports[0].up);

    // Unprivileged: no flag changes, a read-only and shortened config space.
    d.lab->state().host.euid = 1000;
    EXPECT_EQ(p.ioctl(sock, SIOCSIFFLAGS, &ifr), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(p.open("/sys/class/net/eth0/device/config", O_RDWR), -1);
    EXPECT_EQ(errno, EACCES);
    int config = p.open("/sys/class/net/eth0/device/config", O_RDONLY);
    uint8_t buf[256];
    EXPECT_EQ(p.read(config, buf, sizeof buf), 64);
    EXPECT_EQ(p.open("/sys/class/net/eth0/device/vpd", O_RDONLY), -1);
    EXPECT_EQ(errno, EACCES);
    std::vector<std::string> events = d.lab->events().finish("end");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_NE(events[0].find("interface eth0 down"), std::string::npos);
}

TEST(LabShell, AnswersOnlyTheProductsCommands)
{
    lab::LabState state = lab::make_host(lab::HostKind::esx, true);
    LabDir d(state);
    std::string out;
    EXPECT_EQ(lab::run_shell_command(*d.lab, "grep qsc_control /proc/devices", out), 0);
    EXPECT_EQ(out, "245 qsc_control\n");
    EXPECT_EQ(lab::run_shell_command(*d.lab,
                                     "vmkload_mod -l | grep -q '^qsc\\b.*\\(\\bYes\\|[0-9]\\)[[:blank:]]*$'", out),
              0);
    EXPECT_EQ(lab::run_shell_command(*d.lab, "modprobe mtdchar >/dev/null 2>&1", out), 0);
    EXPECT_TRUE(lab::module_loaded(d.lab->state().host, "mtdchar"));
    EXPECT_EQ(lab::run_shell_command(*d.lab, "rm -rf /", out), 127 << 8);
    std::vector<std::string> events = d.lab->events().finish("end");
    ASSERT_EQ(events.size(), 3u);
    EXPECT_NE(events[0].find("module mtdchar loaded"), std::string::npos);
    EXPECT_NE(events[1].find("unknown command failed: rm -rf /"), std::string::npos);
}

TEST(LabImage, PlainAndIpxeImagesParseAsQsupdateReadsThem)
{
    lab::PlainImageRequest request;
    request.type = lab::parse_image_type("mcfw");
    request.subtype = 45;
    request.version = {4, 7, 2, 1010};
    request.extra = {1, 2, 3, 4};
    request.code_size = 1000;
    std::vector<uint8_t> image = lab::build_plain_image(request);
    ASSERT_EQ(image.size(), 40u + 1000u + 4u);
    EXPECT_EQ(load_le32(&image[8]), 3u);
    EXPECT_EQ(load_le16(&image[38]), 1010);
    EXPECT_EQ(image[30], 3);
    qsupdate_image_t parsed{};
    EXPECT_EQ(init_image_from_buffer(image.data(), image.size(), &parsed), 0);
    image[100] ^= 1;
    EXPECT_EQ(init_image_from_buffer(image.data(), image.size(), &parsed), -1);

    std::vector<uint8_t> rom = lab::build_ipxe_image(2048);
    ASSERT_EQ(rom.size(), 2048u);
    EXPECT_EQ(rom[0], 0x55);
    EXPECT_EQ(rom[1], 0xAA);
    EXPECT_EQ(rom[2], 4);
    EXPECT_THROW(lab::parse_version("1.2.3", 0x10000), std::runtime_error);
    EXPECT_THROW(lab::parse_image_type("flash"), std::runtime_error);
}
