// The type selectors and the board test.
#include "app/qsupdate/matching.h"

#include <gtest/gtest.h>

#include <cstring>

#include "app/qsupdate/options.h"
#include "app/qsupdate/registry.h"
#include "lib/utils/linux/qsu_device.h"

// Without an image each selector takes exactly its own type's default rows.
TEST(Matching, WithoutAnImageTheTypeSelectorsChooseTheDefaults)
{
    const struct { int selector; unsigned type; } selectors[] = {
        {OPTION_PHY, IMAGE_TYPE_PHY},         {OPTION_BOOTROM, IMAGE_TYPE_BOOTROM},
        {OPTION_MC, IMAGE_TYPE_MCFW},         {OPTION_FPGA, IMAGE_TYPE_FPGA},
        {OPTION_FPGADIAG, IMAGE_TYPE_FPGA_BACKUP}, {OPTION_FC, IMAGE_TYPE_FCFW},
        {OPTION_CPLD, IMAGE_TYPE_CPLD},       {OPTION_MUM, IMAGE_TYPE_MUMFW},
        {OPTION_UEFI, IMAGE_TYPE_UEFIROM},    {OPTION_BUNDLE, IMAGE_TYPE_BUNDLE},
    };
    int total = 0;
    for (int options : {OPTION_FORCE | OPTION_YES, 0})
        for (int i = 0; i < FIRMWARE_OPS_COUNT; ++i) {
            qsupdate_image_t *out = nullptr;
            EXPECT_FALSE(match_firmware(nullptr, i, nullptr, options, &out)) << i;
            for (const auto &s : selectors) {
                const bool matched = match_firmware(nullptr, i, nullptr, s.selector | options, &out);
                EXPECT_EQ(matched, all_firmware_ops[i]->type == s.type) << i << " " << s.type;
                EXPECT_EQ(out, matched ? &default_images[i] : nullptr);
                total += matched;
            }
        }
    EXPECT_EQ(total, 2 * FIRMWARE_OPS_COUNT);
}

TEST(Matching, PortsOnOneBoardShareDomainAndBus)
{
    auto port = [](const char *addr) {
        qsu_device d{};
        std::strncpy(d.pci_addr, addr, sizeof d.pci_addr - 1);
        return d;
    };
    const struct { const char *a, *b; bool same; } cases[] = {
        {"0000:03:00.0", "0000:03:00.1", true},   {"0000:03:00.0", "0000:04:00.0", false},
        {"0000:03:00.0", "0001:03:00.0", false},  {"0000:03:00.0", "0000:03:1f.7", true},
        {"0000:03:00.0", "not an address", false}, {"bad", "bad", false},
    };
    for (const auto &c : cases) {
        qsu_device a = port(c.a), b = port(c.b);
        EXPECT_EQ(qsu_device_same_board(&a, &b), c.same) << c.a << " " << c.b;
    }
}
