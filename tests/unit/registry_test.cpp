#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <string>

#include "app/qsupdate/nv_fwops.h"
#include "app/qsupdate/registry.h"
#include "lib/utils/linux/qsu_device.h"
#include "tests/unit/support/expected_registry.h"

using match_fn = bool (*)(const firmware_ops *, qsu_device *);

TEST(Registry, RowsMatchTheCatalogue)
{
    const std::vector<ExpectedRow> &expected = expected_registry();
    ASSERT_EQ(expected.size(), size_t(FIRMWARE_OPS_COUNT));
    for (int i = 0; i < FIRMWARE_OPS_COUNT; i++) {
        SCOPED_TRACE("row " + std::to_string(i));
        const firmware_ops *row = all_firmware_ops[i];
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->type, expected[i].type);
        EXPECT_EQ(row->subtype, expected[i].subtype);
        EXPECT_EQ(row->flags, expected[i].flags);
        EXPECT_STREQ(row->subtype_name_user, expected[i].name);
        EXPECT_EQ(row->default_image.image_data, nullptr);
        EXPECT_EQ(row->default_image.image_size, 0u);
        EXPECT_EQ(row->open, &nv_fw_open);
        EXPECT_EQ(row->close, &nv_fw_close);
        EXPECT_EQ(row->get_version, &nv_fw_get_version);
        EXPECT_EQ(row->read_image, &nv_fw_read_image);
        EXPECT_EQ(row->write_image, &nv_fw_write_image);
        const match_fn expected_match = i == 2   ? &tern_match_device
                                        : i == 3 ? &qst1001b_match_device
                                                 : &nv_fw_match_device;
        EXPECT_EQ(row->match_device, expected_match);
    }
}

TEST(Registry, RowCountsPerType)
{
    std::map<unsigned, int> counts;
    for (const firmware_ops *row : all_firmware_ops)
        counts[row->type]++;
    const std::map<unsigned, int> expected = {
        {IMAGE_TYPE_PHY, 4},    {IMAGE_TYPE_BOOTROM, 6}, {IMAGE_TYPE_MCFW, 36},
        {IMAGE_TYPE_FPGA, 8},   {IMAGE_TYPE_FPGA_BACKUP, 6}, {IMAGE_TYPE_FCFW, 2},
        {IMAGE_TYPE_CPLD, 1},   {IMAGE_TYPE_MUMFW, 15},  {IMAGE_TYPE_UEFIROM, 1},
        {IMAGE_TYPE_BUNDLE, 2},
    };
    EXPECT_EQ(counts, expected);
}

struct PhyPort {
    uint32_t pci_device_id;
    uint32_t port_index;
    bool tern;
    bool may_delegate; // qst1001b asks the NV layer
};

class PhyMatch : public testing::TestWithParam<PhyPort> {};

TEST_P(PhyMatch, Qsl1021OnPortZeroOnly)
{
    const PhyPort &p = GetParam();
    qsu_device dev{};
    dev.pci_device_id = p.pci_device_id;
    dev.port_index = p.port_index;
    const firmware_ops *row3 = all_firmware_ops[3];

    EXPECT_EQ(tern_match_device(all_firmware_ops[2], &dev), p.tern);
    errno = 0;
    const bool nv_answer = nv_fw_match_device(row3, &dev);
    const int nv_errno = errno;
    errno = 0;
    const bool qst = qst1001b_match_device(row3, &dev);
    if (p.may_delegate) {
        EXPECT_EQ(qst, nv_answer);
        EXPECT_EQ(errno, nv_errno);
    } else {
        EXPECT_FALSE(qst);
        EXPECT_EQ(errno, 0) << "port 0 of the QSL1021 board needs no NV access";
    }
}

INSTANTIATE_TEST_SUITE_P(Ports, PhyMatch,
                         testing::Values(PhyPort{0x1B7E0813, 0, true, false},
                                         PhyPort{0x1B7E0813, 1, false, true},
                                         PhyPort{0x1B7E0813, 8, false, true},
                                         PhyPort{0x1B7E0A03, 0, false, true},
                                         PhyPort{0x1B7F0813, 0, false, true}));

TEST(Registry, TypeNames)
{
    const char *const user[] = {"PHY firmware", nullptr, "Boot ROM", "controller firmware",
                                nullptr, nullptr, "FPGA bitfile", "Diagnostic FPGA bitfile",
                                "KVE firmware", nullptr, "CPLD bitfile", "MUM firmware",
                                "UEFI ROM", "Bundle firmware"};
    const char *const short_names[] = {"PHY", nullptr, "BOOTROM", "MCPU", nullptr,
                                       nullptr, "FPGA", "FPGADIAG", "FCPU", nullptr,
                                       "CPLD", "MUM", "UEFI"};
    static_assert(std::size(user) == FIRMWARE_TYPE_NAME_USER_COUNT);
    static_assert(std::size(short_names) == FIRMWARE_TYPE_NAMES_COUNT);
    for (int t = 0; t < FIRMWARE_TYPE_NAME_USER_COUNT; t++) {
        SCOPED_TRACE("type " + std::to_string(t));
        EXPECT_STREQ(firmware_type_name_user[t], user[t]);
        if (t < FIRMWARE_TYPE_NAMES_COUNT) {
            EXPECT_STREQ(firmware_type_names[t], short_names[t]);
        }
    }
    // Every type a row uses has a name to print.
    for (const firmware_ops *row : all_firmware_ops)
        EXPECT_NE(firmware_type_name_user[row->type], nullptr) << row->type;
}
