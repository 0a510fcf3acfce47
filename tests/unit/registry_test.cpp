#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <tuple>
#include <vector>

#include "app/qsupdate/nv_fwops.h"
#include "app/qsupdate/qsupdate.h"
#include "app/qsupdate/registry.h"
#include "lib/utils/linux/qsu_device.h"
#include "tests/unit/support/image_builder.h"

namespace {

struct ExpectedRow { unsigned type, subtype, flags; const char *name; };

// User and short name of every type number, one past the last included.
const char *const TYPE_NAMES[][2] = {
    {"PHY firmware", "PHY"}, {}, {"Boot ROM", "BOOTROM"}, {"controller firmware", "MCPU"}, {}, {},
    {"FPGA bitfile", "FPGA"}, {"Diagnostic FPGA bitfile", "FPGADIAG"}, {"KVE firmware", "FCPU"}, {},
    {"CPLD bitfile", "CPLD"}, {"MUM firmware", "MUM"}, {"UEFI ROM", "UEFI"}, {"Bundle firmware", "BUNDLE"}, {}};

// All 81 rows in walk order, written out independently of the family modules.
std::vector<ExpectedRow> expected_registry()
{
    struct Group { unsigned type, flags; const char *name; std::initializer_list<unsigned> subtypes; };
    const Group groups[] = {
        {0, 0x1, "QT2025C", {9}}, {0, 0x1, "QT2025_KR", {17}}, {0, 0x1, "Quillstone QSL1021", {10}},
        {0, 0x1, "Quillstone QST1001B", {10}},
        {3, 0xD, "Quillstone QSC1000 family", {7, 8, 13, 9, 14, 11, 16, 17, 10}},
        {3, 0xD, "Quillstone QSC1100 family", {0, 18, 20, 23, 24, 25, 26, 27, 28, 22, 29}},
        {3, 0xD, "Quillstone QSC1200 family", {31, 32, 33, 34, 35, 40}},
        {3, 0xD, "Quillstone QSC1250 family", {37, 38, 42, 43, 44, 45, 47, 46, 48, 39}},
        {2, 0x4, "Quillstone QSC1020", {1}}, {2, 0x4, "Quillstone QSL1021", {2}}, {2, 0x4, "Quillstone QSC1120", {4}},
        {2, 0x4, "Quillstone QSC1140", {5}}, {2, 0x4, "Quillstone QSC1220", {6}}, {2, 0x4, "Quillstone QSC1250", {7}},
        {6, 0x9, "timestamp peripheral", {1, 2}},
        {6, 0xD, "KVE peripheral", {4}}, {6, 0xD, "KVE peripheral A7", {5}}, {6, 0xD, "KVE peripheral A5", {6}},
        {7, 0xD, "KVE peripheral", {4}}, {7, 0xD, "KVE peripheral A7", {5}}, {7, 0xD, "KVE peripheral A5", {6}},
        {6, 0x10D, "KVE peripheral", {7}}, {6, 0x10D, "KVE peripheral A7", {9}}, {6, 0x10D, "KVE peripheral A5", {8}},
        {7, 0x10D, "KVE peripheral", {7}}, {7, 0x10D, "KVE peripheral A7", {9}}, {7, 0x10D, "KVE peripheral A5", {8}},
        {8, 0x65, "KVE controller", {1}}, {8, 0x165, "KVE controller", {2}}, {10, 0x1D, "1902 CPLD", {1}},
        {11, 0xA5, "Micro-controller", {1}},
        {11, 0xD, "Micro-controller", {2, 3, 4, 8, 5, 6, 10, 11, 12, 13, 15, 14, 16, 7}},
        {12, 0x4, "UEFI ROM", {0}}, {13, 0xD, "Y3522 Dell", {1}}, {13, 0xD, "Y3552", {2}},
    };
    std::vector<ExpectedRow> rows;
    for (const Group &g : groups)
        for (unsigned subtype : g.subtypes)
            rows.push_back({g.type, subtype, g.flags, g.name});
    return rows;
}

// The manifest as a user reads it: each type named where it changes, every row "n/a" but image_row.
std::string expected_manifest(int image_row, const char *version, const char *extra)
{
    std::string text = "Firmware family version: 7.7.0\n";
    const std::vector<ExpectedRow> rows = expected_registry();
    for (size_t i = 0; i < rows.size(); i++) {
        if (i == 0 || rows[i].type != rows[i - 1].type)
            text += std::string("\n") + TYPE_NAMES[rows[i].type][0] + "\n";
        const bool carried = int(i) == image_row;
        char line[128];
        snprintf(line, sizeof line,
                 "  type: %-2u  subtype: %-2u  version: %-15s  extra: %-15s  size: 0\n",
                 rows[i].type, rows[i].subtype, carried ? version : "n/a", carried ? extra : "n/a");
        text += line;
    }
    return text;
}

} // namespace

TEST(Registry, RowsMatchTheCatalogue)
{
    const std::vector<ExpectedRow> expected = expected_registry();
    ASSERT_EQ(expected.size(), size_t(FIRMWARE_OPS_COUNT));
    for (int i = 0; i < FIRMWARE_OPS_COUNT; i++) {
        SCOPED_TRACE(i);
        const firmware_ops &row = *all_firmware_ops[i];
        const ExpectedRow &e = expected[i];
        EXPECT_EQ(std::tie(row.type, row.subtype, row.flags), std::tie(e.type, e.subtype, e.flags));
        EXPECT_STREQ(row.subtype_name_user, e.name);
        EXPECT_EQ(row.match_device, i == 2   ? &tern_match_device
                                    : i == 3 ? &qst1001b_match_device
                                             : &nv_fw_match_device);
    }
}

// QSL1021 port 0 has its own PHY row; the QST1001B row asks the NV layer for the others, never port 0.
TEST(Registry, Qsl1021PhyRowMatchesPortZeroOnly)
{
    const struct { uint32_t pci_device_id, port_index; } ports[] = {
        {0x1B7E0813, 0}, {0x1B7E0813, 1}, {0x1B7E0813, 8}, {0x1B7E0A03, 0}, {0x1B7F0813, 0}};
    for (const auto &p : ports) {
        SCOPED_TRACE(&p - ports);
        const bool port0 = &p == ports;
        qsu_device dev{};
        dev.pci_device_id = p.pci_device_id;
        dev.port_index = p.port_index;
        EXPECT_EQ(tern_match_device(all_firmware_ops[2], &dev), port0);
        errno = 0;
        const bool nv_answer = nv_fw_match_device(all_firmware_ops[3], &dev);
        const int nv_errno = errno;
        errno = 0;
        EXPECT_EQ(qst1001b_match_device(all_firmware_ops[3], &dev), !port0 && nv_answer);
        EXPECT_EQ(errno, port0 ? 0 : nv_errno);
    }
}

// A carried image shows its version and extra version without "v"; other rows "n/a".
TEST(Manifest, ListsEveryRowWithTheVersionsOfACarriedImage)
{
    ImageRecipe recipe;
    recipe.version = {4, 1, 0, 1000};
    recipe.extra = {2, 0, 16, 255};
    std::vector<uint8_t> buf = build_plain_image(recipe);
    const int row = 5;
    ASSERT_EQ(init_image_from_buffer(buf.data(), buf.size(), &default_images[row]), 0);
    testing::internal::CaptureStdout();
    show_manifest();
    const std::string shown = testing::internal::GetCapturedStdout();
    default_images[row] = {};
    EXPECT_EQ(shown, expected_manifest(row, "4.1.0.1000", "2.0.16.255"));
}
