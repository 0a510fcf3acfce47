#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <initializer_list>
#include <map>
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

// All 81 rows in walk order, written out independently of the family
// modules. Types: 0 PHY, 2 boot ROM, 3 controller, 6 FPGA, 7 diagnostic FPGA,
// 8 KVE, 10 CPLD, 11 MUM, 12 UEFI, 13 bundle.
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
        {2, 0x4, "Quillstone QSC1020", {1}}, {2, 0x4, "Quillstone QSL1021", {2}},
        {2, 0x4, "Quillstone QSC1120", {4}}, {2, 0x4, "Quillstone QSC1140", {5}},
        {2, 0x4, "Quillstone QSC1220", {6}}, {2, 0x4, "Quillstone QSC1250", {7}},
        {6, 0x9, "timestamp peripheral", {1, 2}},
        {6, 0xD, "KVE peripheral", {4}}, {6, 0xD, "KVE peripheral A7", {5}}, {6, 0xD, "KVE peripheral A5", {6}},
        {7, 0xD, "KVE peripheral", {4}}, {7, 0xD, "KVE peripheral A7", {5}}, {7, 0xD, "KVE peripheral A5", {6}},
        {6, 0x10D, "KVE peripheral", {7}}, {6, 0x10D, "KVE peripheral A7", {9}},
        {6, 0x10D, "KVE peripheral A5", {8}}, {7, 0x10D, "KVE peripheral", {7}},
        {7, 0x10D, "KVE peripheral A7", {9}}, {7, 0x10D, "KVE peripheral A5", {8}},
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

// The manifest as a user reads it: a heading wherever the type changes, and
// every row "n/a" but the one at image_row.
std::string expected_manifest(int image_row, const char *version, const char *extra)
{
    const std::vector<std::string> headings = {
        "PHY firmware", "controller firmware", "Boot ROM", "FPGA bitfile",
        "Diagnostic FPGA bitfile", "FPGA bitfile", "Diagnostic FPGA bitfile", "KVE firmware",
        "CPLD bitfile", "MUM firmware", "UEFI ROM", "Bundle firmware"};
    std::string text = "Firmware family version: 7.7.0\n";
    size_t next_heading = 0;
    const std::vector<ExpectedRow> rows = expected_registry();
    for (size_t i = 0; i < rows.size(); i++) {
        if (i == 0 || rows[i].type != rows[i - 1].type)
            text += "\n" + headings.at(next_heading++) + "\n";
        const bool carried = int(i) == image_row;
        char line[128];
        snprintf(line, sizeof line,
                 "  type: %-2u  subtype: %-2u  version: %-15s  extra: %-15s  size: 0\n",
                 rows[i].type, rows[i].subtype, carried ? version : "n/a", carried ? extra : "n/a");
        text += line;
    }
    EXPECT_EQ(next_heading, headings.size());
    return text;
}

} // namespace

TEST(Registry, RowsMatchTheCatalogue)
{
    const std::vector<ExpectedRow> expected = expected_registry();
    ASSERT_EQ(expected.size(), size_t(FIRMWARE_OPS_COUNT));
    std::map<unsigned, int> counts;
    for (int i = 0; i < FIRMWARE_OPS_COUNT; i++) {
        SCOPED_TRACE(i);
        const firmware_ops &row = *all_firmware_ops[i];
        const ExpectedRow &e = expected[i];
        counts[row.type]++;
        EXPECT_EQ(std::tie(row.type, row.subtype, row.flags), std::tie(e.type, e.subtype, e.flags));
        EXPECT_STREQ(row.subtype_name_user, e.name);
        EXPECT_EQ(row.match_device, i == 2   ? &tern_match_device
                                    : i == 3 ? &qst1001b_match_device
                                             : &nv_fw_match_device);
    }
    const std::map<unsigned, int> per_type = {{0, 4},  {2, 6},  {3, 36}, {6, 8},  {7, 6},
                                              {8, 2},  {10, 1}, {11, 15}, {12, 1}, {13, 2}};
    EXPECT_EQ(counts, per_type);
}

// Every type a row uses has both names; a backup of a bundle is named too.
// Numbers beyond the tables answer null instead of reading past them.
TEST(Registry, TypeNames)
{
    const struct { uint32_t type; const char *user, *short_name; } cases[] = {
        {0, "PHY firmware", "PHY"}, {1, nullptr, nullptr}, {2, "Boot ROM", "BOOTROM"},
        {3, "controller firmware", "MCPU"}, {4, nullptr, nullptr}, {5, nullptr, nullptr},
        {6, "FPGA bitfile", "FPGA"}, {7, "Diagnostic FPGA bitfile", "FPGADIAG"},
        {8, "KVE firmware", "FCPU"}, {9, nullptr, nullptr}, {10, "CPLD bitfile", "CPLD"},
        {11, "MUM firmware", "MUM"}, {12, "UEFI ROM", "UEFI"}, {13, "Bundle firmware", "BUNDLE"},
        {14, nullptr, nullptr}, {0xFFFFFFFF, nullptr, nullptr}};
    auto text = [](const char *s) { return s ? std::string(s) : std::string("(null)"); };
    for (const auto &c : cases) {
        EXPECT_EQ(text(firmware_type_user_name(c.type)), text(c.user)) << c.type;
        EXPECT_EQ(text(firmware_type_short_name(c.type)), text(c.short_name)) << c.type;
    }
}

// Port 0 of the QSL1021 board has its own PHY row; for every other port the
// QST1001B row asks the NV layer, which port 0 must not touch.
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

// A carried image shows its version and extra version, without "v"; rows
// without one show "n/a".
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
