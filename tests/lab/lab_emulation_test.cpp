// The lab's host where answering more kindly than the kernel would let a
// fault of qsupdate through.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>

#include "lab/host/lab_pci_config.h"
#include "lab/model/lab_vpd.h"
#include "lib/utils/byteorder.h"
#include "tests/lab/support/lab_fixture.h"

// Locks are per open file, as flock's are; a VPD read counts as locked only
// when it was both asked for and collected under the exclusive lock, which
// discovery's report of locked reads relies on.
TEST(LabPciConfig, VpdReadsAndLocksPerOpenFile)
{
    lab::Adapter adapter = lab_host(lab::HostKind::linux_host, {{"dogwood2", 2}}).adapters[0];
    adapter.config.vpd_polls = 1;
    lab::Eeprom eeprom{lab::eeprom_contents(adapter), false};
    lab::PciConfigSpace space(adapter, 0, eeprom);
    uint8_t cap = 0, header[2] = {};
    space.read(0x34, &cap, 1);
    while (cap && space.read(cap, header, 2) == 2 && header[0] != 3)
        cap = header[1];
    ASSERT_NE(cap, 0);
    for (auto [ask_locked, collect_locked] : {std::pair{true, true}, {false, true}, {true, false}}) {
        uint8_t b[2] = {8, 0};
        space.write(cap + 2, b, 2, ask_locked);
        ASSERT_EQ(space.read(cap + 2, b, 2, collect_locked), 2u);
        EXPECT_EQ(load_le16(b), 0x8008);
    }
    EXPECT_EQ(std::pair(space.vpd_reads(), space.vpd_reads_unlocked()), std::pair(3u, 2u));
    int a, b; // two open files
    for (auto [owner, operation, err] : {std::tuple{&a, LOCK_SH, 0}, {&b, LOCK_SH, 0},
                                         {&b, LOCK_EX | LOCK_NB, EWOULDBLOCK}, {&a, LOCK_UN, 0},
                                         {&b, LOCK_EX, 0}, {&a, LOCK_SH, EDEADLK}}) // it would wait forever
        EXPECT_EQ(space.lock(owner, operation), err) << operation;
    EXPECT_TRUE(space.holds_exclusive(&b));
}

// Sockets as Linux makes them; the 32 KiB VPD window of older kernels reads
// a page at a time, short at the end of the EEPROM, with a timeout past it.
TEST(LabHost, SocketsAndTheOldVpdWindowAsLinux)
{
    lab::LabState state = lab_host(lab::HostKind::linux_host, {{"dogwood2", 2}});
    std::tie(state.adapters[0].vpd_eeprom_size, state.adapters[0].vpd_sysfs_size) = std::pair(6144, 32768);
    InProcessLab host(state);
    Platform &p = host.platform();
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
    int fd = p.open("/sys/class/net/eth0/device/vpd", O_RDONLY);
    std::vector<uint8_t> buf(65536);
    for (long expected : {4096L, 2048L})
        EXPECT_EQ(p.read(fd, buf.data(), buf.size()), expected);
    EXPECT_EQ(error_of(p.read(fd, buf.data(), buf.size())), ETIMEDOUT);
    EXPECT_EQ(p.lseek(fd, 32768, SEEK_SET), 32768);
    EXPECT_EQ(p.read(fd, buf.data(), buf.size()), 0);
    p.close(fd);
    host.lab().state().host.euid = 1000;
    EXPECT_EQ(error_of(p.socket(AF_INET, SOCK_RAW, IPPROTO_ICMP)), EPERM);
}
