#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/qsupdate/qsupdate.h"
#include "app/qsupdate/registry.h"
#include "tests/unit/support/expected_registry.h"
#include "tests/unit/support/image_builder.h"

namespace {

std::string pad(const std::string &text, size_t width)
{
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string row_line(const ExpectedRow &row, const std::string &version,
                     const std::string &extra)
{
    return "  type: " + pad(std::to_string(row.type), 2) + "  subtype: " +
           pad(std::to_string(row.subtype), 2) + "  version: " + pad(version, 15) +
           "  extra: " + pad(extra, 15) + "  size: 0\n";
}

// The manifest as a user reads it, with the row at special_row showing the
// given versions and every other row "n/a".
std::string expected_manifest(int special_row = -1, const std::string &version = "",
                              const std::string &extra = "")
{
    const std::vector<std::string> headings = {
        "PHY firmware", "controller firmware", "Boot ROM", "FPGA bitfile",
        "Diagnostic FPGA bitfile", "FPGA bitfile", "Diagnostic FPGA bitfile", "KVE firmware",
        "CPLD bitfile", "MUM firmware", "UEFI ROM", "Bundle firmware"};
    std::string text = "Firmware family version: 7.7.0\n";
    size_t next_heading = 0;
    const std::vector<ExpectedRow> &rows = expected_registry();
    for (size_t i = 0; i < rows.size(); i++) {
        if (i == 0 || rows[i].type != rows[i - 1].type)
            text += "\n" + headings.at(next_heading++) + "\n";
        if (int(i) == special_row)
            text += row_line(rows[i], version, extra);
        else
            text += row_line(rows[i], "n/a", "n/a");
    }
    EXPECT_EQ(next_heading, headings.size());
    return text;
}

std::string capture_manifest()
{
    testing::internal::CaptureStdout();
    show_manifest();
    return testing::internal::GetCapturedStdout();
}

class Manifest : public testing::Test {
protected:
    void SetUp() override
    {
        for (int i = 0; i < FIRMWARE_OPS_COUNT; i++)
            ASSERT_EQ(init_image_from_fw_ops(all_firmware_ops[i], &default_images[i]), 0);
    }
    void TearDown() override { default_images[row_] = {}; }

    static constexpr int row_ = 5;
};

} // namespace

TEST_F(Manifest, ListsEveryRowWithoutImages)
{
    EXPECT_EQ(capture_manifest(), expected_manifest());
}

// A carried image shows its version and extra version, without "v".
TEST_F(Manifest, ShowsVersionsOfACarriedImage)
{
    ImageSpec spec;
    spec.version = {4, 1, 0, 1000};
    spec.extra[0] = 2;
    spec.extra[1] = 0;
    spec.extra[2] = 16;
    spec.extra[3] = 255;
    std::vector<uint8_t> buf = build_plain_image(spec);
    ASSERT_EQ(init_image_from_buffer(buf.data(), buf.size(), &default_images[row_]), 0);
    EXPECT_EQ(capture_manifest(), expected_manifest(row_, "4.1.0.1000", "2.0.16.255"));
}
