#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "lib/utils/linux/qsu_device.h"

namespace {

TEST(QsuGrouping, PortsWithEqualSerialsShareAnAdapter)
{
    struct Case {
        std::vector<const char *> serials; // in PCI order
        std::vector<int> master;           // index of each port's master
    } cases[] = {
        {{"A", "", "A"}, {0, 1, 0}},
        {{"", "B", "", "B", "C"}, {0, 1, 0, 1, 4}},
        {{"A"}, {0}},
        {{}, {}},
    };
    for (const Case &c : cases) {
        std::vector<qsu_device> devs(c.serials.size() + 1);
        for (size_t i = 0; i < c.serials.size(); ++i)
            std::strcpy(devs[i].serial_number, c.serials[i]);
        for (size_t i = 0; i < c.serials.size(); ++i)
            EXPECT_FALSE(qsu_maybe_vf(&devs[i])) << "ungrouped port " << i;

        int n = static_cast<int>(c.serials.size());
        qsu_group_devices(devs.data(), n);

        for (int i = 0; i < n; ++i) {
            SCOPED_TRACE(i);
            qsu_device &dev = devs[i];
            ASSERT_EQ(dev.master_port, &devs[c.master[i]]);
            EXPECT_EQ(qsu_maybe_vf(&dev), c.serials[i][0] == '\0');
            if (c.master[i] != i) {
                EXPECT_EQ(dev.ports.head, nullptr);
                continue;
            }
            // The master's list holds exactly its group, in array order.
            std::vector<int> listed;
            for (qsu_sll *node = dev.ports.head; node; node = node->next)
                listed.push_back(static_cast<int>(qsu_device_from_node(node) - devs.data()));
            std::vector<int> expected;
            for (int j = 0; j < n; ++j)
                if (c.master[j] == i)
                    expected.push_back(j);
            EXPECT_EQ(listed, expected);
            EXPECT_EQ(dev.ports_count, static_cast<int>(expected.size()));
        }
        EXPECT_EQ(devs[n].master_port, nullptr); // nothing beyond the count
    }
}

} // namespace
