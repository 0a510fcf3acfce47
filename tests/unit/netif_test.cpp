// Interface helpers, the OEM table and the driver checks at start-up.
#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "lib/utils/dell_devices.h"
#include "lib/utils/linux/qsu_device.h"
#include "lib/utils/netif.h"
#include "tests/unit/support/fake_platform.h"

namespace {

struct MacCase {
    const char *text;
    const char *normalised; // null: rejected
};

class MacAddress : public ::testing::TestWithParam<MacCase> {};

TEST_P(MacAddress, NormalisesToTheInterfaceForm)
{
    char mac[18];
    errno = 0;
    char *result = normalise_mac_addr(GetParam().text, mac);
    if (GetParam().normalised) {
        ASSERT_EQ(result, mac);
        EXPECT_STREQ(mac, GetParam().normalised);
    } else {
        EXPECT_EQ(result, nullptr);
        EXPECT_EQ(errno, EINVAL);
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, MacAddress,
                         ::testing::Values(MacCase{"0:1b:2:3C:4:5", "00-1B-02-3C-04-05"},
                                           MacCase{"00-0f-53-01-02-03", "00-0F-53-01-02-03"},
                                           MacCase{"000F53010203", "00-0F-53-01-02-03"},
                                           MacCase{"00:0f:53:01:02:03:", "00-0F-53-01-02-03"},
                                           MacCase{"a-b:c-d:e-f", "0A-0B-0C-0D-0E-0F"},
                                           MacCase{"00:11:22:33:44:55:66", nullptr},
                                           MacCase{"00:11:22:33:44:5g", nullptr},
                                           MacCase{"00:11:22:33:44", nullptr},
                                           MacCase{"eth0", nullptr},
                                           MacCase{"", nullptr},
                                           MacCase{":00:11:22:33:44:55", nullptr}));

TEST(SysfsPaths, AreBuiltFromAddressOrInterface)
{
    char buf[SYSFS_PATH_LEN];
    EXPECT_STREQ(pci_attr_path(buf, "0000:03:00.1", "vendor"), "/sys/bus/pci/devices/0000:03:00.1/vendor");
    EXPECT_STREQ(netif_attr_path(buf, "eth0123456789abcdefgh", "device/vpd"),
                 "/sys/class/net/eth0123456789abc/device/vpd");
}

qsu_device port(uint32_t ids, uint32_t subsystem)
{
    qsu_device dev{};
    dev.pci_device_id = ids;
    dev.pci_subsystem_id = subsystem;
    dev.master_port = &dev;
    return dev;
}

TEST(DellDevices, OnlyTheMasterPortOfAKnownAdapterAnswers)
{
    qsu_device master = port(0x1B7E0B03, 0x1B7E802C);
    master.master_port = &master;
    const dell_device *slot = get_dell_device(&master);
    ASSERT_NE(slot, nullptr);
    EXPECT_STREQ(slot->display_name, "Halcyonpath Y3522-25G Adapter");

    qsu_device second = port(0x1B7E0B03, 0x1B7E802C);
    second.master_port = &master;
    EXPECT_EQ(get_dell_device(&second), nullptr);

    qsu_device other_subsystem = port(0x1B7E0B03, 0x1B7E802D);
    other_subsystem.master_port = &other_subsystem;
    EXPECT_EQ(get_dell_device(&other_subsystem), nullptr);

    // Empty slots match nothing, not even an all-zero port.
    qsu_device zero = port(0, 0);
    zero.master_port = &zero;
    EXPECT_EQ(get_dell_device(&zero), nullptr);
}

TEST(DellDevices, VersionShowsThreeNumbers)
{
    EXPECT_STREQ(get_version_for_dell({1, 2, 3, 4}, true), "v1.2.3");
    EXPECT_STREQ(get_version_for_dell({65535, 65535, 65535, 65535}, false), "65535.65535.65535");
}

struct InitCase {
    const char *name;
    void (*setup)(FakePlatform &);
    int result;
    int esxi;
    const char *err;
};

const char *const not_loaded = "The Duskhollow network adapter driver (qsc) is not loaded.\n"
                               "You must install and load the driver before running this utility.\n";

class DriverCheck : public ::testing::TestWithParam<InitCase> {};

TEST_P(DriverCheck, FindsTheDriverOnEachHost)
{
    FakePlatform host;
    GetParam().setup(host);
    ScopedPlatform scoped(host);
    run_on_esxi = 7;
    testing::internal::CaptureStderr();
    int rc = qsu_device_init();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), GetParam().err);
    EXPECT_EQ(rc, GetParam().result);
    EXPECT_EQ(run_on_esxi, GetParam().esxi);
}

int esx_module_status(const std::string &command, std::string &)
{
    return command.rfind("vmkload_mod -l | grep -q '^qsc\\b", 0) == 0 ? 0 : 1 << 8;
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, DriverCheck,
    ::testing::Values(
        InitCase{"linux", [](FakePlatform &h) { h.add_dir("/sys/bus/pci/drivers/qsc"); }, 0, 0, ""},
        InitCase{"linux_without_driver", [](FakePlatform &) {}, -1, 0, not_loaded},
        InitCase{"esxi",
                 [](FakePlatform &h) {
                     h.sysname = "VMkernel";
                     h.add_file("/dev/qsc_control", "");
                 },
                 0, 1, ""},
        InitCase{"esxi_without_control_device",
                 [](FakePlatform &h) {
                     h.sysname = "VMkernel";
                     h.add_dir("/sys/bus/pci/drivers/qsc");
                 },
                 -1, 1, not_loaded},
        InitCase{"esx_console",
                 [](FakePlatform &h) {
                     h.add_dir("/proc/vmware");
                     h.command_handler = esx_module_status;
                 },
                 0, 0, ""},
        InitCase{"esx_console_without_module",
                 [](FakePlatform &h) {
                     h.add_dir("/proc/vmware");
                     h.add_dir("/sys/bus/pci/drivers/qsc");
                     h.command_handler = [](const std::string &, std::string &) { return 1 << 8; };
                 },
                 -1, 0, not_loaded},
        InitCase{"esx_console_not_root",
                 [](FakePlatform &h) {
                     h.add_dir("/proc/vmware");
                     h.euid = 500;
                     h.command_handler = esx_module_status;
                 },
                 -1, 0, "You must run this utility as root.\n"}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
