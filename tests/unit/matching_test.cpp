// Which rows an image goes with, and the board test.
#include "app/qsupdate/matching.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "app/qsupdate/options.h"
#include "app/qsupdate/registry.h"
#include "lib/utils/linux/qsu_device.h"
#include "tests/unit/support/image_builder.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The rows an image matches, as (type, subtype) pairs, in registry order.
std::vector<std::pair<unsigned, unsigned>> matched_rows(qsupdate_image_t *image, int types)
{
    std::vector<std::pair<unsigned, unsigned>> rows;
    for (int i = 0; i < FIRMWARE_OPS_COUNT; ++i) {
        qsupdate_image_t *out = nullptr;
        if (match_firmware(nullptr, i, image, types, &out)) {
            EXPECT_EQ(out, image ? image : &default_images[i]);
            rows.emplace_back(all_firmware_ops[i]->type, all_firmware_ops[i]->subtype);
        } else {
            EXPECT_EQ(out, nullptr);
        }
    }
    return rows;
}

qsupdate_image_t plain(Bytes &bytes, uint32_t type, uint32_t subtype, firmware_version v)
{
    bytes = build_plain_image({v});
    store_le32(&bytes[8], type);
    store_le32(&bytes[12], subtype);
    const uint32_t crc = crc32_partial(bytes.data(), bytes.size() - 4, 0);
    store_le32(&bytes[bytes.size() - 4], crc);
    qsupdate_image_t image{};
    EXPECT_EQ(init_image_from_buffer(bytes.data(), bytes.size(), &image), 0);
    return image;
}

TEST(Matching, UserImagesGoWithTheirRowOnlyAndIpxeWithTheLastTwoBootRoms)
{
    Bytes bytes;
    qsupdate_image_t bootrom6 = plain(bytes, IMAGE_TYPE_BOOTROM, 6, {6, 2, 0, 1});
    using Rows = std::vector<std::pair<unsigned, unsigned>>;
    EXPECT_EQ(matched_rows(&bootrom6, OPTION_ALL_FIRMWARE_TYPES), (Rows{{IMAGE_TYPE_BOOTROM, 6}}));
    // The type selectors play no part once there is an image.
    EXPECT_EQ(matched_rows(&bootrom6, 0), (Rows{{IMAGE_TYPE_BOOTROM, 6}}));

    Bytes rom = build_ipxe_rom(2);
    qsupdate_image_t ipxe{};
    ASSERT_EQ(init_ipxe_image_from_buffer(rom.data(), rom.size(), &ipxe), 0);
    EXPECT_EQ(matched_rows(&ipxe, 0), (Rows{{IMAGE_TYPE_BOOTROM, 6}, {IMAGE_TYPE_BOOTROM, 7}}));
    EXPECT_EQ(le32_to_host(ipxe.reflash_header->ih_subtype), 7u); // the last row it went with
    std::free(ipxe.reflash_header);

    // A boot ROM that is not iPXE never changes rows.
    qsupdate_image_t other = plain(bytes, IMAGE_TYPE_BOOTROM, 2, {9, 9, 9, 9998});
    EXPECT_EQ(matched_rows(&other, 0), (Rows{{IMAGE_TYPE_BOOTROM, 2}}));
}

TEST(Matching, WithoutAnImageTheTypeSelectorsChooseTheDefaults)
{
    const struct { int selector; unsigned type; } selectors[] = {
        {OPTION_PHY, IMAGE_TYPE_PHY},         {OPTION_BOOTROM, IMAGE_TYPE_BOOTROM},
        {OPTION_MC, IMAGE_TYPE_MCFW},         {OPTION_FPGA, IMAGE_TYPE_FPGA},
        {OPTION_FPGADIAG, IMAGE_TYPE_FPGA_BACKUP}, {OPTION_FC, IMAGE_TYPE_FCFW},
        {OPTION_CPLD, IMAGE_TYPE_CPLD},       {OPTION_MUM, IMAGE_TYPE_MUMFW},
        {OPTION_UEFI, IMAGE_TYPE_UEFIROM},    {OPTION_BUNDLE, IMAGE_TYPE_BUNDLE},
    };
    size_t total = 0;
    for (const auto &s : selectors) {
        auto rows = matched_rows(nullptr, s.selector);
        EXPECT_FALSE(rows.empty()) << s.type;
        for (const auto &[type, subtype] : rows)
            EXPECT_EQ(type, s.type) << subtype;
        total += rows.size();
    }
    EXPECT_EQ(total, static_cast<size_t>(FIRMWARE_OPS_COUNT));
    EXPECT_TRUE(matched_rows(nullptr, OPTION_FORCE | OPTION_YES).empty());
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

TEST(Matching, EraseImageCarriesOnlyASubtypeAndAVersion)
{
    populate_erase_image(7, {7, 4, 1, 1003});
    EXPECT_EQ(erase_image.format, IMAGE_FORMAT_UNSIGNED);
    EXPECT_EQ(erase_image.image_code_len, 0u);
    EXPECT_EQ(erase_image.raw_image_len, 4u);
    EXPECT_EQ(le32_to_host(erase_image.reflash_header->ih_subtype), 7u);
    EXPECT_EQ(le32_to_host(erase_image.reflash_header->ih_type), 0u);
    EXPECT_EQ(compare_versions(get_image_version(&erase_image), {7, 4, 1, 1003}), 0);
    populate_erase_image(6, {6, 2, 0, 1});
    EXPECT_EQ(le32_to_host(erase_image.reflash_header->ih_subtype), 6u);
}

} // namespace
