// The lab's emulations, checked against how the kernel and the devices
// behave: a lab that answered too kindly would hide faults of qsupdate.
#include <cerrno>
#include <cstring>

#include <sys/file.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "lab/lab_pci_config.h"
#include "lab/lab_vpd.h"
#include "lib/utils/byteorder.h"
#include "tests/lab/support/lab_fixture.h"

namespace {

lab::LabState linux_with_dogwood2() { return lab_host(lab::HostKind::linux_host, {{"dogwood2", 2}}); }

uint16_t read16(lab::PciConfigSpace &space, size_t offset, bool exclusive = true)
{
    uint8_t b[2];
    EXPECT_EQ(space.read(offset, b, 2, exclusive), 2u);
    return load_le16(b);
}

void write16(lab::PciConfigSpace &space, size_t offset, uint16_t value, bool exclusive = true)
{
    uint8_t b[2];
    store_le16(b, value);
    space.write(offset, b, 2, exclusive);
}

// Offset of the VPD capability, found by walking the list as a driver does.
size_t vpd_capability(lab::PciConfigSpace &space)
{
    EXPECT_TRUE(read16(space, 0x06) & 0x10);
    uint8_t cap = 0, header[2] = {};
    space.read(0x34, &cap, 1);
    while (cap && space.read(cap, header, 2) == 2 && header[0] != 3)
        cap = header[1];
    EXPECT_GT(cap, 0x40u) << "the VPD capability should not be the first in the list";
    return cap;
}

// errno of opening the path (closed again), 0 for success.
int open_error(Platform &p, const std::string &path, int flags)
{
    int fd = p.open(path.c_str(), flags);
    return fd < 0 ? errno : p.close(fd);
}

// errno of an interface ioctl, 0 for success.
int ifreq_ioctl(Platform &p, int fd, unsigned long request, const char *ifname, void *data = nullptr,
                ifreq *answer = nullptr)
{
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
    ifr.ifr_data = static_cast<char *>(data);
    int err = error_of(p.ioctl(fd, request, &ifr));
    if (answer)
        *answer = ifr;
    return err;
}

} // namespace

TEST(LabPciConfig, VpdDataIsReadyOnlyAfterTheConfiguredPolls)
{
    lab::Adapter adapter = linux_with_dogwood2().adapters[0];
    std::vector<uint8_t> vpd = lab::build_vpd(adapter.vpd);
    for (int polls : {1, 3, 126}) {
        SCOPED_TRACE(polls);
        adapter.config.vpd_polls = polls;
        lab::Eeprom eeprom{lab::eeprom_contents(adapter)};
        lab::PciConfigSpace space(adapter, 0, eeprom);
        size_t cap = vpd_capability(space);
        for (uint16_t addr : {0, 4, 24}) {
            write16(space, cap + 2, addr);
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

// A write request (flag set with the address) completes when the device
// clears the flag; a write-protected EEPROM keeps its bytes.  Nothing
// answers past the end of the EEPROM, and a read is counted as locked only
// when it was both asked for and collected under the exclusive lock.
TEST(LabPciConfig, VpdWritesEndOfEepromAndLocking)
{
    lab::Adapter adapter = linux_with_dogwood2().adapters[0];
    adapter.vpd_eeprom_size = 256;
    for (bool writable : {false, true}) {
        SCOPED_TRACE(writable);
        lab::Eeprom eeprom{lab::eeprom_contents(adapter), writable};
        const std::vector<uint8_t> before = eeprom.bytes;
        lab::PciConfigSpace space(adapter, 0, eeprom);
        size_t cap = vpd_capability(space);
        const uint8_t data[4] = {0xDE, 0xAD, 0xBE, 0xEF};
        space.write(cap + 4, data, 4, true);
        write16(space, cap + 2, 0x8000 | 8);
        EXPECT_EQ(read16(space, cap + 2), 0x8000 | 8) << "a write is not done at once";
        EXPECT_EQ(read16(space, cap + 2), 8);
        EXPECT_EQ(space.vpd_writes(), 1u);
        EXPECT_EQ(eeprom.written, writable);
        EXPECT_EQ(std::vector<uint8_t>(eeprom.bytes.begin() + 8, eeprom.bytes.begin() + 12),
                  writable ? std::vector<uint8_t>(data, data + 4) : std::vector<uint8_t>(&before[8], &before[12]));

        write16(space, cap + 2, 256);
        for (int i = 0; i < 200; ++i)
            ASSERT_EQ(read16(space, cap + 2), 256);
        write16(space, cap + 2, 252, false);
        read16(space, cap + 2, true);
        EXPECT_EQ(read16(space, cap + 2, true), 0x8000 | 252);
        write16(space, cap + 2, 248, true);
        read16(space, cap + 2, true);
        EXPECT_EQ(read16(space, cap + 2, false), 0x8000 | 248);
        EXPECT_EQ(space.vpd_reads(), 2u);
        EXPECT_EQ(space.vpd_reads_unlocked(), 2u);
    }
}

TEST(LabPciConfig, LocksConflictBetweenOpenFiles)
{
    lab::Adapter adapter = linux_with_dogwood2().adapters[0];
    lab::Eeprom eeprom{lab::eeprom_contents(adapter)};
    lab::PciConfigSpace space(adapter, 0, eeprom);
    int a, b;
    EXPECT_EQ(space.lock(&a, LOCK_SH), 0);
    EXPECT_EQ(space.lock(&b, LOCK_SH), 0);
    EXPECT_EQ(space.lock(&b, LOCK_EX | LOCK_NB), EWOULDBLOCK);
    EXPECT_EQ(space.lock(&a, LOCK_UN), 0);
    EXPECT_EQ(space.lock(&b, LOCK_EX), 0);
    EXPECT_TRUE(space.holds_exclusive(&b));
    EXPECT_EQ(space.lock(&a, LOCK_SH), EDEADLK) << "a blocking lock would wait forever";
}

TEST(LabVpd, ImagesWithReadWriteResourceAndEndTagMidWord)
{
    lab::Vpd vpd;
    vpd.id_string = "Board";
    vpd.fields = {{"SN", "S1407R000001"}};
    for (bool writable : {false, true})
        for (bool in_word : {false, true}) {
            SCOPED_TRACE(std::to_string(writable) + std::to_string(in_word));
            vpd.writable_fields = writable ? std::vector<lab::VpdField>{{"V1", "x"}} : std::vector<lab::VpdField>{};
            vpd.end_in_word = in_word;
            std::vector<uint8_t> image = lab::build_vpd(vpd);
            // Walk the resources: identifier, read-only, maybe read-write, end.
            std::vector<uint8_t> tags;
            size_t pos = 0;
            while (image[pos] != 0x78) {
                tags.push_back(image[pos]);
                pos += 3 + load_le16(&image[pos + 1]);
            }
            EXPECT_EQ(pos, image.size() - 1);
            EXPECT_EQ(pos % 4, in_word ? 2u : 0u);
            std::vector<uint8_t> expected = {0x82, 0x90};
            if (writable)
                expected.push_back(0x91);
            EXPECT_EQ(tags, expected);
            image.resize(4096, 0xFF);
            EXPECT_EQ(lab::vpd_length(image), pos + 1);
        }
}

TEST(LabNetdev, AnswersAsTheKernelAndDriversDo)
{
    InProcessLab host(linux_with_dogwood2());
    Platform &p = host.platform();
    int sock = p.socket(AF_INET, SOCK_DGRAM, 0);
    ethtool_drvinfo info;
    auto drvinfo = [&](const char *ifname) {
        info = {};
        info.cmd = ETHTOOL_GDRVINFO;
        return ifreq_ioctl(p, sock, SIOCETHTOOL, ifname, &info);
    };
    ASSERT_EQ(drvinfo("eth1"), 0);
    EXPECT_STREQ(info.driver, "qsc");
    EXPECT_STREQ(info.bus_info, "0000:03:00.1");
    ASSERT_EQ(drvinfo("eno1"), 0);
    EXPECT_STREQ(info.driver, "brindle");
    EXPECT_EQ(drvinfo("lo"), EOPNOTSUPP);
    EXPECT_EQ(drvinfo("eth9"), ENODEV);
    ifreq answer;
    ASSERT_EQ(ifreq_ioctl(p, sock, SIOCGIFHWADDR, "eth0", nullptr, &answer), 0);
    EXPECT_EQ(0, std::memcmp(answer.ifr_hwaddr.sa_data, "\x00\x1B\x7E\x5A\x10\x00", 6));

    // A node is only a number: ENXIO while no driver holds it, ENODEV from mtdchar without that MTD.
    host.lab().state().nodes.push_back({"/dev/mtd99", false, 90, 198, 0600});
    for (int err : {ENXIO, ENODEV}) {
        EXPECT_EQ(open_error(p, "/dev/mtd99", O_RDWR), err);
        host.lab().state().host.modules_loaded.push_back("mtdchar");
    }

    // Unprivileged: no writable config space, no VPD file.
    host.lab().state().host.euid = 1000;
    EXPECT_EQ(open_error(p, "/sys/class/net/eth0/device/config", O_RDWR), EACCES);
    EXPECT_EQ(open_error(p, "/sys/class/net/eth0/device/vpd", O_RDONLY), EACCES);
    EXPECT_EQ(error_of(p.mkdir("/dev", 0755)), EEXIST);
    EXPECT_EQ(p.close(sock), 0);
}

// Each entry counts the operations it names, on the target by any of its
// paths; a chosen occurrence fails once, "every" fails them all, and a
// write can be cut short instead.
TEST(LabFaults, StrikeTheNamedOperationOfTheNamedTarget)
{
    lab::LabState state = linux_with_dogwood2();
    const std::string fn = "/sys/bus/pci/devices/0000:03:00.0/";
    state.faults = {
        {fn + "config", "open", "", 2, EBUSY, std::nullopt},
        {fn + "vendor", "read", "", 0, EIO, std::nullopt},
        {"eth1", "ioctl", "SIOCGIFHWADDR", 1, ENODEV, std::nullopt},
        {fn + "phy_flash_cfg", "write", "", 1, 0, 1},
    };
    InProcessLab host(state);
    Platform &p = host.platform();
    const std::string config = "/sys/class/net/eth0/device/config"; // the same file by another path
    for (int expected : {0, EBUSY, 0})
        EXPECT_EQ(open_error(p, config, O_RDONLY), expected);
    char buf[16];
    int vendor = p.open((fn + "vendor").c_str(), O_RDONLY);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(error_of(p.read(vendor, buf, sizeof buf)), EIO);
    p.close(vendor);
    int device = p.open((fn + "device").c_str(), O_RDONLY);
    EXPECT_EQ(p.read(device, buf, sizeof buf), 7);
    p.close(device);

    int sock = p.socket(AF_INET, SOCK_STREAM, 0);
    for (auto [ifname, err] : {std::pair{"eth0", 0}, {"eth1", ENODEV}, {"eth1", 0}})
        EXPECT_EQ(ifreq_ioctl(p, sock, SIOCGIFHWADDR, ifname), err) << ifname;
    p.close(sock);

    int cfg = p.open((fn + "phy_flash_cfg").c_str(), O_WRONLY);
    EXPECT_EQ(p.write(cfg, "1\n", 2), 1);
    p.close(cfg);
    std::vector<std::string> logged;
    for (const std::string &line : host.lab().events().finish("end"))
        if (line.find("fault injected") != std::string::npos)
            logged.push_back(line.substr(line.find("] ") + 2));
    EXPECT_EQ(logged, (std::vector<std::string>{
                          "fault injected: open of " + config + " (occurrence 2) failed with EBUSY",
                          "fault injected: read of " + fn + "vendor (occurrence 1) failed with EIO",
                          "fault injected: read of " + fn + "vendor (occurrence 2) failed with EIO",
                          "fault injected: ioctl SIOCGIFHWADDR of eth1 (occurrence 1) failed with ENODEV",
                          "fault injected: write of " + fn + "phy_flash_cfg (occurrence 1) cut short after 1 bytes"}));
}

TEST(LabNetdev, SocketsAreMadeAsLinuxMakesThem)
{
    InProcessLab host(linux_with_dogwood2());
    struct Case {
        int domain, type, protocol, error;
    } cases[] = {
        {AF_INET, SOCK_STREAM, 0, 0},
        {AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP, 0},
        {AF_INET, SOCK_STREAM, IPPROTO_UDP, EPROTONOSUPPORT},
        {AF_INET, SOCK_DGRAM, IPPROTO_UDP, 0},
        {AF_INET, SOCK_DGRAM, IPPROTO_TCP, EPROTONOSUPPORT},
        {AF_INET, SOCK_DGRAM, IPPROTO_ICMP, EACCES},
        {AF_INET, SOCK_RAW, 0, EPROTONOSUPPORT},
        {AF_INET, SOCK_RAW, IPPROTO_ICMP, 0},
        {AF_INET, SOCK_SEQPACKET, 0, ESOCKTNOSUPPORT},
        {AF_INET, 12, 0, EINVAL},
        {AF_INET, SOCK_STREAM | 0x100, 0, EINVAL},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + " " + std::to_string(c.protocol));
        int fd = host.platform().socket(c.domain, c.type, c.protocol);
        EXPECT_EQ(fd < 0 ? errno : 0, c.error);
        if (fd >= 0)
            host.platform().close(fd);
    }
    host.lab().state().host.euid = 1000;
    EXPECT_EQ(error_of(host.platform().socket(AF_INET, SOCK_RAW, IPPROTO_ICMP)), EPERM);
}

// An ESXi interface node answers for its own interface whatever name the
// request carries; the driver refuses commands it does not know.
TEST(LabNetdev, EsxiNodesAnswerForTheirOwnInterface)
{
    InProcessLab host(lab_host(lab::HostKind::esxi, {{"dogwood2", 2}}));
    Platform &p = host.platform();
    int node = p.open("/dev/vmnic2", O_RDWR);
    ASSERT_GE(node, 0);
    ifreq answer;
    ASSERT_EQ(ifreq_ioctl(p, node, SIOCGIFHWADDR, "vmnic1", nullptr, &answer), 0);
    EXPECT_EQ(0, std::memcmp(answer.ifr_hwaddr.sa_data, "\x00\x1B\x7E\x5A\x10\x01", 6));
    EXPECT_EQ(ifreq_ioctl(p, node, SIOCGIFHWADDR, "nosuch"), 0);
    p.close(node);

    int control = p.open("/dev/qsc_control", O_RDWR);
    ASSERT_GE(control, 0);
    std::vector<uint8_t> ioc(1050, 0); // interface name, command at 16, body at 18
    std::memcpy(ioc.data(), "vmnic1", 6);
    for (auto [cmd, error] : {std::pair{0xEF22, 0}, {0xEF23, EOPNOTSUPP}, {0x1234, EOPNOTSUPP}}) {
        store_le16(&ioc[16], static_cast<uint16_t>(cmd));
        EXPECT_EQ(error_of(p.ioctl(control, 0x89F3, ioc.data())), error) << std::hex << cmd;
    }
    EXPECT_EQ(load_le16(&ioc[18]), 0x1B7E);
    EXPECT_EQ(load_le16(&ioc[20]), 0x0B03);
    EXPECT_EQ(ioc[30], 0); // port number
    EXPECT_EQ(0, std::memcmp(&ioc[31], "\x00\x1B\x7E\x5A\x10\x00", 6));
    p.close(control);
}

// The 32 KiB window of older kernels: a page per read, short at the end of
// the EEPROM, and a timeout past it; the file reads as 32768 bytes.
TEST(LabVpd, SysfsWindowOfOlderKernels)
{
    lab::LabState state = linux_with_dogwood2();
    state.adapters[0].vpd_eeprom_size = 6144;
    state.adapters[0].vpd_sysfs_size = 32768;
    InProcessLab host(state);
    Platform &p = host.platform();
    const char *path = "/sys/class/net/eth0/device/vpd";
    struct stat st;
    ASSERT_EQ(p.stat(path, &st), 0);
    EXPECT_EQ(st.st_size, 32768);
    int fd = p.open(path, O_RDONLY);
    std::vector<uint8_t> buf(65536);
    EXPECT_EQ(p.read(fd, buf.data(), buf.size()), 4096);
    EXPECT_EQ(p.read(fd, buf.data(), buf.size()), 2048);
    EXPECT_EQ(error_of(p.read(fd, buf.data(), buf.size())), ETIMEDOUT);
    EXPECT_EQ(p.lseek(fd, 32768, SEEK_SET), 32768);
    EXPECT_EQ(p.read(fd, buf.data(), buf.size()), 0);
    p.close(fd);
}
