#include "lib/utils/linux/nv.h"

#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include "lib/utils/linux/kpx.h"
#include "tests/unit/support/fake_platform.h"

namespace {

// An ESX service console whose driver registered major 245: the control
// node is kept only when it is exactly character device 245:1.
TEST(NvInit, ServiceConsoleControlNode)
{
    struct Case {
        bool exists;
        mode_t mode;
        dev_t rdev;
        bool kept;
    } cases[] = {
        {false, 0, 0, false},
        {true, S_IFCHR | 0644, makedev(245, 1), true},
        {true, S_IFCHR | 0644, makedev(10, 1), false},
        {true, S_IFCHR | 0644, makedev(245, 0), false},
        {true, S_IFREG | 0644, makedev(245, 1), false},
    };
    for (const Case &c : cases) {
        FakePlatform fake;
        ScopedPlatform scoped(fake);
        fake.add_dir("/proc/vmware");
        fake.add_dir("/dev");
        fake.command_handler = [](const std::string &command, std::string &out) {
            out = command == "grep qsc_control /proc/devices" ? "245 qsc_control\n" : "";
            return 0;
        };
        if (c.exists) {
            fake.add_file(QSC_CONTROL_DEVICE, "");
            fake.node(QSC_CONTROL_DEVICE).mode = c.mode;
            fake.node(QSC_CONTROL_DEVICE).rdev = c.rdev;
        }
        nv_use_char_dev = false;
        EXPECT_EQ(nv_init(), 0);
        EXPECT_TRUE(nv_use_char_dev);
        FakePlatform::Node &node = fake.node(QSC_CONTROL_DEVICE);
        EXPECT_EQ(node.mode, c.kept ? c.mode : (S_IFCHR | 0600)) << c.mode;
        EXPECT_EQ(node.rdev, makedev(245, 1)) << c.mode;

        fake.command_handler = [](const std::string &, std::string &) { return 0; };
        EXPECT_EXIT(nv_init(), testing::ExitedWithCode(1),
                    "^failed to find qsc_control in /proc/devices; is driver loaded\\?\n$");
    }
}

} // namespace
