// Identity of ports, from VPD read through configuration space or sysfs, and
// their grouping into adapters.
#include "lib/utils/linux/qsu_device.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <sys/file.h>

#include "lib/utils/byteorder.h"
#include "tests/unit/support/fake_platform.h"

namespace {

// A serial number is 24 digits or the maker's "S....R......" form, and is
// taken only from "SN" and "VE" fields of read-only resources within the VPD.
TEST(QsuSerial, FormAndPlaceInTheVpd)
{
    using namespace std::string_literals;
    std::pair<const char *, bool> texts[] = {{"123456789012345678901234", true}, {"12345678901234567890123", false},
                                             {"12345678901234567890123X", false}, {"SABCDRXYZ123", true},
                                             {"SABCDXXYZ123", false}, {"SABCDRXYZ12", false}, {"", false}};
    for (auto [text, passes] : texts)
        EXPECT_EQ(qsu_is_quillstone_serial(text), passes) << text;
    const std::string ro = "\x90\x0f\x00SN\x0cSCCCCRDDDDDD"s; // a read-only resource
    const std::string digits = "123456789012345678901234";
    std::pair<std::string, std::string> vpds[] = {
        // A writable resource and a small one are stepped over.
        {"\x91\x0f\x00SN\x0cSAAAARBBBBBB\x0axy"s + ro + "\x78", "SCCCCRDDDDDD"},
        {"\x78" + ro, ""},         // nothing after the end tag
        {ro.substr(0, 17), ""},    // a field running past the buffer
        {"\x90\x39\x00PN\x0cSAAAARBBBBBBVE\x18"s + digits + "EC\x0cSEEEERFFFFFF\x78", digits},
        {"\x90\x2a\x00V1\x18"s + digits + "YA\x0cSAAAARBBBBBB\x78", ""},
        // Both fields valid: the first one found is the serial.
        {"\x90\x2a\x00SN\x0cSAAAARBBBBBBVE\x18"s + digits + "\x78", "SAAAARBBBBBB"},
    };
    for (const auto &[vpd, serial] : vpds) {
        std::vector<uint8_t> bytes(vpd.begin(), vpd.end()); // exactly sized for the sanitizer
        qsu_device dev{};
        get_qs_serial_vpd(&dev, bytes.data(), bytes.size());
        EXPECT_EQ(dev.serial_number, serial);
    }
}

TEST(QsuPciAddr, ParsesAndPacks)
{
    std::pair<const char *, uint32_t> cases[] = { // a domain beyond 16 bits keeps its port listed
        {"0000:03:00.1", 0x00000301}, {"0001:81:1f.7", 0x000181FF}, {"03:00.0", 0xFFFFFFFF},
        {"0000:03:20.0", 0xFFFFFFFF}, {"0000:03:00.8", 0xFFFFFFFF}, {"10000:e1:00.0", 0x0000E100}};
    for (auto [text, packed] : cases) {
        qsu_device dev{};
        std::strcpy(dev.pci_addr, text);
        EXPECT_EQ(qsu_parse_pci_addr(&dev), packed) << text;
    }
}

// Ports without a serial number share an adapter only with the other
// functions of their PCI device (same domain, bus and device number).
TEST(QsuGrouping, PortsWithEqualSerialsShareAnAdapter)
{
    struct Case {
        std::vector<std::pair<const char *, const char *>> ports; // serial, PCI address, in PCI order
        std::vector<int> master;                                  // index of each port's master
    } cases[] = {
        {{{"A", "0000:03:00.0"}, {"", "0000:04:00.0"}, {"A", "0000:05:00.0"}, {"A", "0000:05:00.1"}},
         {0, 1, 0, 0}},
        {{{"", "0000:03:00.0"}, {"B", "0000:03:00.1"}, {"", "0000:03:00.2"}, {"", "0000:03:01.0"},
          {"B", "0000:04:00.0"}, {"C", "0000:04:00.1"}, {"", "0000:04:00.2"}, {"", "0001:03:00.3"},
          {"", "10000:04:00.1"}}, // a domain beyond 16 bits is a domain of its own
         {0, 1, 0, 3, 1, 5, 6, 7, 8}},
        {{}, {}},
    };
    for (const Case &c : cases) {
        int n = static_cast<int>(c.ports.size());
        std::vector<qsu_device> devs(c.ports.size() + 1); // nothing beyond the count is touched
        for (int i = 0; i < n; ++i) {
            std::strcpy(devs[i].serial_number, c.ports[i].first);
            std::strcpy(devs[i].pci_addr, c.ports[i].second);
        }
        qsu_group_devices(devs.data(), n);
        EXPECT_EQ(devs[n].master_port, nullptr);
        for (int i = 0; i < n; ++i) {
            SCOPED_TRACE(i);
            ASSERT_EQ(devs[i].master_port, &devs[c.master[i]]);
            EXPECT_EQ(qsu_maybe_vf(&devs[i]), c.ports[i].first[0] == '\0');
            // A master lists exactly its group, in array order; others list nothing.
            std::vector<int> listed, expected;
            for (qsu_sll *node = devs[i].ports.head; node; node = node->next)
                listed.push_back(static_cast<int>(qsu_device_from_node(node) - devs.data()));
            for (int j = 0; j < n; ++j)
                if (c.master[i] == i && c.master[j] == i)
                    expected.push_back(j);
            EXPECT_EQ(listed, expected);
            if (c.master[i] == i) {
                EXPECT_EQ(devs[i].ports_count, static_cast<int>(expected.size()));
            }
        }
    }
}

const std::string CONFIG = "/sys/class/net/eth0/device/config";
constexpr size_t VPD_CAP = 0x50;

// A PCI function whose VPD capability, second in the list, answers an
// address write only after being polled a few times, as the hardware does,
// and only through the descriptor locked last.  Every write to it is an address write.
class ConfigSpacePlatform : public FakePlatform {
public:
    std::string vpd;
    int polls_to_complete = 3, polls = -1, address_writes = 0, locked_fd = -1, read_errno = 0, sysfs_reads_ok = 0;

    ConfigSpacePlatform()
    {
        std::string cfg(256, '\0');
        cfg[0x06] = 0x10, cfg[0x34] = 0x40, cfg[0x40] = 0x01, cfg[0x41] = VPD_CAP, cfg[VPD_CAP] = 0x03;
        add_file(CONFIG, cfg);
    }
    ssize_t read(int fd, void *buf, size_t count) override
    {
        if (fd == locked_fd && polls >= 0 && ++polls > polls_to_complete) {
            std::string &cfg = node(CONFIG).content;
            unsigned addr = load_le16(reinterpret_cast<const uint8_t *>(&cfg[VPD_CAP + 2]));
            for (unsigned i = 0; i < 4; ++i)
                cfg[VPD_CAP + 4 + i] = addr + i < vpd.size() ? vpd[addr + i] : '\xff';
            cfg[VPD_CAP + 3] = static_cast<char>(cfg[VPD_CAP + 3] | 0x80);
            polls = -1;
        }
        // A sysfs "vpd" read (configuration reads are smaller) past the
        // first ones that succeed.
        if (read_errno && count > 4 && sysfs_reads_ok-- <= 0)
            return errno = read_errno, -1;
        // sysfs hands out at most a page per read.
        return FakePlatform::read(fd, buf, std::min<size_t>(count, 4096));
    }
    ssize_t write(int fd, const void *buf, size_t count) override
    {
        EXPECT_EQ(fd, locked_fd) << "VPD address written without the lock";
        ++address_writes, polls = 0;
        return FakePlatform::write(fd, buf, count);
    }
    int flock(int fd, int operation) override
    {
        locked_fd = operation == LOCK_EX ? fd : -1;
        return FakePlatform::flock(fd, operation);
    }
};

// The VPD read, checking that nothing stays open or locked.
std::string read_vpd(ConfigSpacePlatform &fake, int rc = 0)
{
    ScopedPlatform scoped(fake);
    qsu_device dev{};
    std::strcpy(dev.netif_name, "eth0");
    uint8_t *data = nullptr;
    size_t len = 0;
    EXPECT_EQ(qsu_device_get_vpd(&dev, &data, &len), rc);
    std::string text = data ? std::string(reinterpret_cast<char *>(data), len) : "";
    std::free(data);
    EXPECT_EQ(fake.open_descriptors(), 0u);
    EXPECT_EQ(fake.locked_fd, -1);
    return text;
}

TEST(QsuVpd, ConfigSpaceReadStopsAtEndTagElseFallsBackToSysfs)
{
    // A small resource, a large identifier string whose tag sits where its
    // length bytes are only half read, a read-only resource, another small
    // one, then the end tag; whatever follows must not be returned.
    std::string body = std::string("\x0d" "abcde", 6) + std::string("\x82\x05\x00" "ABCDE", 8) +
                       std::string("\x90\x07\x00" "SN\x04" "1234", 10) + "\x0a" "xy" "\x78";
    ConfigSpacePlatform fake;
    fake.vpd = body + std::string(64, '\x78');
    fake.add_file("/sys/class/net/eth0/device/vpd", "from sysfs");
    EXPECT_EQ(read_vpd(fake), body);
    // Tags are stepped over one per word, so the end tag is seen one word
    // after the word that holds it.
    EXPECT_EQ(fake.address_writes, 8);

    fake.node(CONFIG).content[0x41] = 0x40; // a capability list running in a circle
    EXPECT_EQ(read_vpd(fake), "from sysfs");
    // The sysfs file is read whole, in more than one step; a failing read is
    // an error, not an empty VPD.
    fake.node(CONFIG).content[0x41] = 0;
    const std::string big(65536 + 100, 's');
    fake.add_file("/sys/class/net/eth0/device/vpd", big);
    EXPECT_EQ(read_vpd(fake), big);
    fake.read_errno = EIO;
    EXPECT_EQ(read_vpd(fake, EIO), "");
    // A read failing after data ends the VPD there (the 32 KiB window of
    // older kernels, past the EEPROM).
    fake.read_errno = ETIMEDOUT;
    fake.sysfs_reads_ok = 1;
    EXPECT_EQ(read_vpd(fake), big.substr(0, 4096));
}

} // namespace
