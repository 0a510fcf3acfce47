// The lab's emulations, checked against how the kernel and the devices
// behave: a lab that answered too kindly would hide faults of qsupdate.
#include <cstring>
#include <map>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/sysmacros.h>

#include "lab/host/lab_pci_config.h"
#include "lab/model/lab_vpd.h"
#include "lib/utils/byteorder.h"
#include "tests/lab/support/lab_fixture.h"

namespace {

// errno of an interface ioctl, 0 for success; the answer is left in ifr.
int ifreq_ioctl(Platform &p, int fd, unsigned long request, const char *ifname, ifreq &ifr, void *data = nullptr)
{
    ifr = {};
    std::strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
    ifr.ifr_data = static_cast<char *>(data);
    return error_of(p.ioctl(fd, request, &ifr));
}

// Port 1 alone shows a partition, as mtd4 (after mtd0 to mtd3, the two
// partitions each port shows).
lab::LabState flash_host(std::vector<std::string> modules)
{
    lab::LabState state = lab_host(lab::HostKind::linux_host, {{"dogwood2", 2}});
    state.host.modules_loaded.insert(state.host.modules_loaded.end(), modules.begin(), modules.end());
    auto partition = [](const char *id, unsigned kind, uint32_t size, uint32_t erase_size, bool all,
                        std::vector<unsigned> ports = {}) {
        lab::Partition p;
        std::tie(p.id, p.kind, p.size, p.erase_size, p.mtd_all_ports, p.mtd_ports) =
            std::tuple(id, kind, size, erase_size, all, ports);
        return p;
    };
    state.adapters[0].partitions = {partition("a1-mcfw-00", 0, 16384, 4096, true),
                                    partition("a1-exp_rom_cfg-00", 4, 256, 1, true),
                                    partition("a1-dynamic_cfg-00", 1, 8192, 4096, false, {1})};
    return state;
}

} // namespace

// The VPD capability is found by walking the list, not first in it.  Data is
// ready only after the configured polls; a write request (flag set with the
// address) completes when the device clears the flag, and only a writable
// EEPROM keeps it.  Nothing answers past the end of the EEPROM, and a read
// counts as locked only when it was both asked for and collected under the
// exclusive lock.  Locks are per open file, as flock's are.
TEST(LabPciConfig, VpdHandshakeAndLocks)
{
    lab::Adapter adapter = lab_host(lab::HostKind::linux_host, {{"dogwood2", 2}}).adapters[0];
    adapter.vpd_eeprom_size = 256;
    for (auto [polls, writable] : {std::pair{1, true}, {3, false}, {126, true}}) {
        SCOPED_TRACE(polls);
        adapter.config.vpd_polls = polls;
        lab::Eeprom eeprom{lab::eeprom_contents(adapter), writable};
        const std::vector<uint8_t> before = eeprom.bytes;
        lab::PciConfigSpace space(adapter, 0, eeprom);
        auto read16 = [&](size_t offset, bool exclusive = true) {
            uint8_t b[2];
            EXPECT_EQ(space.read(offset, b, 2, exclusive), 2u);
            return load_le16(b);
        };
        EXPECT_TRUE(read16(0x06) & 0x10);
        uint8_t cap = 0, header[2] = {};
        space.read(0x34, &cap, 1);
        while (cap && space.read(cap, header, 2) == 2 && header[0] != 3)
            cap = header[1];
        ASSERT_GT(cap, 0x40u) << "the VPD capability should not be the first in the list";
        auto request = [&](uint16_t address, bool ask_locked = true, bool collect_locked = true) {
            uint8_t b[2];
            store_le16(b, address);
            space.write(cap + 2, b, 2, ask_locked);
            for (int i = 1; i < polls; ++i)
                EXPECT_EQ(read16(cap + 2), address) << "done early at poll " << i;
            return read16(cap + 2, collect_locked);
        };
        for (uint16_t address : {0, 4, 24}) {
            ASSERT_EQ(request(address), 0x8000 | address);
            uint8_t data[4];
            space.read(cap + 4, data, 4);
            EXPECT_EQ(0, std::memcmp(data, &before[address], 4));
        }
        const uint8_t data[4] = {0xDE, 0xAD, 0xBE, 0xEF};
        space.write(cap + 4, data, 4, true);
        EXPECT_EQ(request(0x8000 | 8), 8);
        EXPECT_EQ(eeprom.written, writable);
        EXPECT_EQ(std::vector<uint8_t>(eeprom.bytes.begin() + 8, eeprom.bytes.begin() + 12),
                  std::vector<uint8_t>(writable ? data : &before[8], writable ? data + 4 : &before[12]));
        EXPECT_EQ(request(256), 256);
        for (int i = 0; i < 200; ++i)
            ASSERT_EQ(read16(cap + 2), 256);
        EXPECT_EQ(request(252, false), 0x8000 | 252);
        EXPECT_EQ(request(248, true, false), 0x8000 | 248);
        EXPECT_EQ(std::tuple(space.vpd_reads(), space.vpd_reads_unlocked(), space.vpd_writes()),
                  std::tuple(5u, 2u, 1u));
        int a, b; // two open files
        for (auto [owner, operation, err] : {std::tuple{&a, LOCK_SH, 0}, {&b, LOCK_SH, 0},
                                             {&b, LOCK_EX | LOCK_NB, EWOULDBLOCK}, {&a, LOCK_UN, 0},
                                             {&b, LOCK_EX, 0}, {&a, LOCK_SH, EDEADLK}}) // it would wait forever
            EXPECT_EQ(space.lock(owner, operation), err) << operation;
        EXPECT_TRUE(space.holds_exclusive(&b));
    }
}

// Drivers and sockets answer as on Linux, or as a fault makes them; the
// 32 KiB VPD window of older kernels reads a page at a time, short at the
// end of the EEPROM and with a timeout past it; unprivileged users are
// refused what Linux refuses.
TEST(LabHost, AnswersAsLinuxAndItsDriversDo)
{
    lab::LabState state = lab_host(lab::HostKind::linux_host, {{"dogwood2", 2}});
    std::tie(state.adapters[0].vpd_eeprom_size, state.adapters[0].vpd_sysfs_size) = std::pair(6144, 32768);
    state.faults = {{"eth0", "ioctl", "SIOCGIFHWADDR", 2, ENODEV, std::nullopt}};
    InProcessLab host(state);
    Platform &p = host.platform();
    int sock = p.socket(AF_INET, SOCK_DGRAM, 0);
    ifreq ifr;
    for (auto [ifname, err, driver] : {std::tuple{"eth1", 0, "qsc at 0000:03:00.1"},
                                       {"eno1", 0, "brindle at 0000:00:19.0"}, {"lo", EOPNOTSUPP, ""},
                                       {"eth9", ENODEV, ""}}) {
        ethtool_drvinfo info{};
        info.cmd = ETHTOOL_GDRVINFO;
        ASSERT_EQ(ifreq_ioctl(p, sock, SIOCETHTOOL, ifname, ifr, &info), err) << ifname;
        EXPECT_EQ(err ? "" : std::string(info.driver) + " at " + info.bus_info, driver);
    }
    ASSERT_EQ(ifreq_ioctl(p, sock, SIOCGIFHWADDR, "eth0", ifr), 0);
    EXPECT_EQ(0, std::memcmp(ifr.ifr_hwaddr.sa_data, "\x00\x1B\x7E\x5A\x10\x00", 6));
    EXPECT_EQ(ifreq_ioctl(p, sock, SIOCGIFHWADDR, "eth0", ifr), ENODEV);
    const struct {
        int type, protocol, error;
    } sockets[] = {
        {SOCK_STREAM, 0, 0},         {SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP, 0}, {SOCK_SEQPACKET, 0, ESOCKTNOSUPPORT},
        {SOCK_DGRAM, IPPROTO_UDP, 0}, {SOCK_STREAM, IPPROTO_UDP, EPROTONOSUPPORT},  {SOCK_DGRAM, IPPROTO_ICMP, EACCES},
        {SOCK_RAW, IPPROTO_ICMP, 0}, {SOCK_DGRAM, IPPROTO_TCP, EPROTONOSUPPORT},    {12, 0, EINVAL},
        {SOCK_RAW, 0, EPROTONOSUPPORT}, {SOCK_STREAM | 0x100, 0, EINVAL},
    };
    for (const auto &c : sockets)
        EXPECT_EQ(error_of(p.socket(AF_INET, c.type, c.protocol)), c.error) << c.type << " " << c.protocol;

    const char *vpd = "/sys/class/net/eth0/device/vpd";
    struct stat st;
    ASSERT_EQ(p.stat(vpd, &st), 0);
    EXPECT_EQ(st.st_size, 32768);
    int fd = p.open(vpd, O_RDONLY);
    std::vector<uint8_t> buf(65536);
    for (long expected : {4096L, 2048L})
        EXPECT_EQ(p.read(fd, buf.data(), buf.size()), expected);
    EXPECT_EQ(error_of(p.read(fd, buf.data(), buf.size())), ETIMEDOUT);
    EXPECT_EQ(p.lseek(fd, 32768, SEEK_SET), 32768);
    EXPECT_EQ(p.read(fd, buf.data(), buf.size()), 0);

    host.lab().state().host.euid = 1000;
    EXPECT_EQ(open_error(p, "/sys/class/net/eth0/device/config", O_RDWR), EACCES);
    EXPECT_EQ(open_error(p, vpd, O_RDONLY), EACCES);
    EXPECT_EQ(error_of(p.mkdir("/dev", 0755)), EEXIST);
    EXPECT_EQ(error_of(p.socket(AF_INET, SOCK_RAW, IPPROTO_ICMP)), EPERM);
}

// An exclusive create finds any name taken, a device node of the
// description included; O_NOFOLLOW refuses a link even when it leads to an
// emulated file, which would otherwise take the write.  Files are root's
// but those an unprivileged user made, who makes them only where others
// may write.
TEST(LabFakeRoot, ExclusiveCreateNoFollowAndOwnersAsTheKernel)
{
    lab::LabState state = lab_host(lab::HostKind::linux_host, {{"dogwood2", 1}});
    state.nodes.push_back({"/var/lib/qsutils/dev_mtd0", false, 90, 0, 0600});
    InProcessLab host(state);
    Platform &p = host.platform();
    p.mkdir("/var/lib/qsutils", 0755);
    const std::string link = host.lab().root() + "/var/lib/qsutils/planted.dat";
    ASSERT_EQ(symlink((host.lab().root() + "/sys/bus/pci/devices/0000:03:00.0/phy_flash_cfg").c_str(), link.c_str()), 0);
    const int create = O_WRONLY | O_CREAT;
    EXPECT_EQ(open_error(p, "/var/lib/qsutils/planted.dat", create | O_NOFOLLOW), ELOOP);
    EXPECT_EQ(open_error(p, "/var/lib/qsutils/planted.dat", create | O_EXCL), EEXIST);
    EXPECT_EQ(open_error(p, "/var/lib/qsutils/dev_mtd0", create | O_EXCL), EEXIST);
    EXPECT_EQ(open_error(p, "/var/lib/qsutils/new.dat", create | O_EXCL | O_NOFOLLOW), 0);
    EXPECT_EQ(open_error(p, "/var/lib/qsutils/new.dat", create | O_EXCL), EEXIST);

    struct stat st;
    host.lab().state().host.euid = 1000;
    EXPECT_EQ(open_error(p, "/var/lib/qsutils/mine.dat", create), EACCES);
    ASSERT_EQ(p.close(p.open("/run/lock/mine", create, 0600)), 0);
    for (auto [path, uid] : {std::pair{"/var/lib/qsutils/new.dat", 0u}, {"/run/lock/mine", 1000u}}) {
        ASSERT_EQ(p.stat(path, &st), 0);
        EXPECT_EQ(st.st_uid, uid) << path;
    }
    EXPECT_EQ(open_error(p, "/run/lock/mine", O_RDWR), 0);
    host.lab().state().host.euid = 1001;
    EXPECT_EQ(open_error(p, "/run/lock/mine", O_RDWR), EACCES);
}

// Nodes appear when their module is loaded and the device manager's delay
// has passed on the virtual clock.  Nodes made by hand reach the devices
// whenever the driver is there: numbers decide.
TEST(LabFlash, NodesFollowTheModuleAndTheDelay)
{
    enum Module { loaded, loadable, absent };
    const struct {
        Module module;
        int delay_s;
        bool at_start, after_modprobe, after_delay;
    } cases[] = {{loaded, 3, true, true, true},       {loaded, -1, false, false, false},
                 {loadable, 0, false, true, true},    {loadable, 3, false, false, true},
                 {loadable, -1, false, false, false}, {absent, 0, false, false, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "module " << c.module << ", delay " << c.delay_s);
        lab::LabState state = flash_host(c.module == loaded ? std::vector<std::string>{"mtdchar"}
                                                            : std::vector<std::string>{});
        state.host.mtd_node_delay_s = c.delay_s;
        if (c.module == absent)
            state.host.modules_available.clear();
        InProcessLab host(state);
        Platform &p = host.platform();
        struct stat st;
        auto present = [&] { return p.stat("/dev/mtd4", &st) == 0; };
        EXPECT_EQ(open_error(p, "/dev/mtd4", O_RDWR), c.at_start ? 0 : ENOENT);
        EXPECT_EQ(open_error(p, "/dev/mtd4ro", O_RDWR), c.at_start ? EACCES : ENOENT);
        EXPECT_EQ(p.system("modprobe mtdchar >/dev/null 2>&1"), c.module == absent ? 1 << 8 : 0);
        EXPECT_EQ(read_file(host.lab().root() + "/proc/devices").find(" 90 mtd\n") != std::string::npos,
                  c.module != absent);
        EXPECT_EQ(present(), c.after_modprobe);
        p.sleep_us(2999999);
        EXPECT_EQ(present(), c.after_modprobe);
        p.sleep_us(1);
        ASSERT_EQ(present(), c.after_delay);
        if (c.after_delay) { // a character device of its number; mtdblock is not loaded
            EXPECT_EQ(std::tuple(st.st_mode & S_IFMT, st.st_rdev), std::tuple(mode_t{S_IFCHR}, makedev(90, 8)));
            EXPECT_EQ(p.stat("/dev/mtdblock4", &st), -1);
        }
        ASSERT_EQ(p.mkdir("/var/lib/qsutils", 0755), 0);
        for (auto [minor, flags, err] : {std::tuple{8u, O_RDWR, 0}, {9u, O_RDWR, EACCES}, {9u, O_RDONLY, 0},
                                         {18u, O_RDONLY, ENODEV}}) {
            const std::string path = "/var/lib/qsutils/mtd_" + std::to_string(minor) + "_" + std::to_string(flags);
            ASSERT_EQ(p.mknod(path.c_str(), S_IFCHR | 0600, makedev(90, minor)), 0);
            EXPECT_EQ(open_error(p, path, flags), c.module == absent ? ENXIO : err) << path;
        }
        host.lab().save("end");
        using LoadTimes = std::map<std::string, uint64_t>;
        EXPECT_EQ(lab::load_state(host.lab().dir() + "/lab.json").host.modules_loaded_at_us,
                  (c.module == loadable ? LoadTimes{{"mtdchar", 0}} : LoadTimes{}));
    }
}
