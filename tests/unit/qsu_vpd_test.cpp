#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <sys/file.h>

#include "lib/utils/linux/qsu_device.h"
#include "tests/unit/support/fake_platform.h"

namespace {

const std::string CONFIG = "/sys/class/net/eth0/device/config";
const std::string SYSFS_VPD = "/sys/class/net/eth0/device/vpd";
constexpr size_t VPD_CAP = 0x50;

// A PCI function whose VPD capability answers an address write only after
// being polled a few times, as the hardware does.  Every write to its
// configuration space is an address write.
class ConfigSpacePlatform : public FakePlatform {
public:
    std::string vpd;            // the device's VPD memory
    int polls_to_complete = 3;  // -1: never completes
    bool locked = false;
    int address_writes = 0;

    explicit ConfigSpacePlatform(bool has_vpd_cap = true)
    {
        std::string cfg(256, '\0');
        cfg[0x06] = 0x10; // capability list present
        cfg[0x34] = 0x40;
        cfg[0x40] = 0x01, cfg[0x41] = VPD_CAP; // power management first
        cfg[VPD_CAP] = has_vpd_cap ? 0x03 : 0x05;
        add_file(CONFIG, cfg);
    }
    int open(const char *path, int flags, mode_t mode) override
    {
        int fd = FakePlatform::open(path, flags, mode);
        if (fd >= 0 && path == CONFIG)
            config_fd_ = fd;
        return fd;
    }
    ssize_t read(int fd, void *buf, size_t count) override
    {
        if (fd == config_fd_) {
            EXPECT_TRUE(locked) << "configuration space read without the lock";
            if (pending_ && polls_to_complete >= 0 && ++polls_ > polls_to_complete)
                complete();
        }
        return FakePlatform::read(fd, buf, count);
    }
    ssize_t write(int fd, const void *buf, size_t count) override
    {
        ssize_t put = FakePlatform::write(fd, buf, count);
        if (fd == config_fd_) {
            EXPECT_TRUE(locked) << "VPD address written without the lock";
            ++address_writes;
            pending_ = true;
            polls_ = 0;
        }
        return put;
    }
    int flock(int fd, int operation) override
    {
        if (fd == config_fd_)
            locked = operation == LOCK_EX;
        return FakePlatform::flock(fd, operation);
    }

private:
    void complete()
    {
        std::string &cfg = node(CONFIG).content;
        unsigned addr = static_cast<uint8_t>(cfg[VPD_CAP + 2]) |
                        (static_cast<uint8_t>(cfg[VPD_CAP + 3]) << 8);
        for (unsigned i = 0; i < 4; ++i)
            cfg[VPD_CAP + 4 + i] = addr + i < vpd.size() ? vpd[addr + i] : '\xff';
        cfg[VPD_CAP + 3] = static_cast<char>(cfg[VPD_CAP + 3] | 0x80);
        pending_ = false;
    }

    int config_fd_ = -1;
    bool pending_ = false;
    int polls_ = 0;
};

// The return code and the VPD read, checking that nothing stays open or locked.
std::pair<int, std::string> read_vpd(ConfigSpacePlatform &fake)
{
    ScopedPlatform scoped(fake);
    qsu_device dev{};
    std::strcpy(dev.netif_name, "eth0");
    uint8_t *data = nullptr;
    size_t len = 0;
    int rc = qsu_device_get_vpd(&dev, &data, &len);
    std::string text = rc == 0 ? std::string(reinterpret_cast<char *>(data), len) : "";
    std::free(data);
    EXPECT_EQ(fake.open_descriptors(), 0u);
    EXPECT_FALSE(fake.locked);
    return {rc, text};
}

TEST(QsuVpd, ConfigSpaceReadStopsAtEndTag)
{
    // A small resource, a large identifier string whose tag sits where its
    // length bytes are only half read, a read-only resource, another small
    // one, then the end tag; whatever follows must not be returned.
    std::string body = std::string("\x0d" "abcde", 6) + std::string("\x82\x05\x00" "ABCDE", 8) +
                       std::string("\x90\x07\x00" "SN\x04" "1234", 10) +
                       std::string("\x0a" "xy", 3) + "\x78";
    ConfigSpacePlatform fake;
    fake.vpd = body + std::string(64, '\x78');
    fake.add_file(SYSFS_VPD, "from sysfs");
    EXPECT_EQ(read_vpd(fake), std::make_pair(0, body));
    // Tags are stepped over one per word, so the end tag is seen one word
    // after the word that holds it.
    EXPECT_EQ(fake.address_writes, 8);

    // Without an end tag the whole 32768-byte window is the VPD.
    fake.vpd = std::string(32767, '\0') + "\x42";
    EXPECT_EQ(read_vpd(fake), std::make_pair(0, fake.vpd));
}

TEST(QsuVpd, FallsBackToSysfsFile)
{
    struct Case {
        const char *name;
        bool config_file, vpd_cap, completes, sysfs_file;
        int rc;
        size_t messages;
    } cases[] = {
        {"no completion", true, true, false, true, 0, 0},
        {"no VPD capability", true, false, true, true, 0, 0},
        {"neither file", false, true, true, false, ENOENT, 2},
    };
    const std::string big(65536 + 100, 's'); // more than one read step
    for (const Case &c : cases) {
        ConfigSpacePlatform fake(c.vpd_cap);
        fake.vpd = "\x78";
        fake.polls_to_complete = c.completes ? 0 : -1;
        if (!c.config_file)
            fake.remove(CONFIG);
        if (c.sysfs_file)
            fake.add_file(SYSFS_VPD, big);
        testing::internal::CaptureStderr();
        EXPECT_EQ(read_vpd(fake), std::make_pair(c.rc, c.rc ? "" : big)) << c.name;
        std::string err = testing::internal::GetCapturedStderr();
        size_t messages = 0;
        for (size_t at = 0; (at = err.find("insufficient permissions", at)) != std::string::npos; ++at)
            ++messages;
        EXPECT_EQ(messages, c.messages) << c.name;
        // A device that never completes is given exactly 126 polls of 1 ms.
        if (!c.completes) {
            EXPECT_EQ(fake.slept_us, 126000u) << c.name;
        }
    }
}

} // namespace
