// Which rows an image or a type selector goes with, and the board test.
#include "app/qsupdate/matching.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "app/qsupdate/options.h"
#include "app/qsupdate/registry.h"
#include "lib/utils/linux/qsu_device.h"
#include "tests/unit/support/image_builder.h"

using Rows = std::vector<std::pair<unsigned, unsigned>>;

// The (type, subtype) rows a user image goes with, whatever the selectors.
Rows image_rows(qsupdate_image_t *image)
{
    Rows rows;
    for (int i = 0; i < FIRMWARE_OPS_COUNT; ++i)
        for (int types : {0, int(OPTION_ALL_FIRMWARE_TYPES)}) {
            qsupdate_image_t *out = nullptr;
            const bool matched = match_firmware(nullptr, i, image, types, &out);
            EXPECT_EQ(out, matched ? image : nullptr);
            if (matched && types == 0)
                rows.emplace_back(all_firmware_ops[i]->type, all_firmware_ops[i]->subtype);
        }
    return rows;
}

// A plain image goes with its own row; an iPXE ROM with the last two boot ROM rows, taking the last one's subtype.
TEST(Matching, UserImagesGoWithTheirRowOnlyAndIpxeWithTheLastTwoBootRoms)
{
    for (auto [subtype, version] : {std::pair{6u, firmware_version{6, 2, 0, 1}}, {2u, {9, 9, 9, 9998}}}) {
        std::vector<uint8_t> bytes = build_plain_image({version});
        store_le32(&bytes[8], IMAGE_TYPE_BOOTROM);
        store_le32(&bytes[12], subtype);
        store_le32(&bytes[bytes.size() - 4], crc32_partial(bytes.data(), bytes.size() - 4, 0));
        qsupdate_image_t image{};
        ASSERT_EQ(init_image_from_buffer(bytes.data(), bytes.size(), &image), 0);
        EXPECT_EQ(image_rows(&image), (Rows{{IMAGE_TYPE_BOOTROM, subtype}})); // 9.9.9.9998 is no iPXE version
    }
    std::vector<uint8_t> rom = build_ipxe_rom(2);
    qsupdate_image_t ipxe{};
    ASSERT_EQ(init_ipxe_image_from_buffer(rom.data(), rom.size(), &ipxe), 0);
    for (int walk : {1, 2}) // the second, another adapter's, finds the header already changed
        EXPECT_EQ(image_rows(&ipxe), (Rows{{IMAGE_TYPE_BOOTROM, 6}, {IMAGE_TYPE_BOOTROM, 7}})) << walk;
    EXPECT_EQ(le32_to_host(ipxe.reflash_header->ih_subtype), 7u);
    std::free(ipxe.reflash_header);
}

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
