#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "lib/utils/firmware.h"
#include "lib/utils/firmware_version.h"
#include "tests/unit/support/image_builder.h"

namespace {

struct Order {
    firmware_version left;
    firmware_version right;
    int sign;
};

int sign_of(int v)
{
    return (v > 0) - (v < 0);
}

} // namespace

class CompareVersions : public testing::TestWithParam<Order> {};

TEST_P(CompareVersions, SignAndAntisymmetry)
{
    const Order &o = GetParam();
    EXPECT_EQ(sign_of(compare_versions(o.left, o.right)), o.sign);
    EXPECT_EQ(sign_of(compare_versions(o.right, o.left)), -o.sign);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CompareVersions,
    testing::Values(Order{{1, 10, 0, 0}, {1, 9, 65535, 65535}, 1},
                    Order{{2, 0, 0, 0}, {1, 65535, 0, 0}, 1},
                    Order{{65535, 0, 0, 0}, {0, 0, 0, 0}, 1}, // fields are unsigned
                    Order{{4, 1, 0, 1000}, {4, 1, 0, 999}, 1},
                    Order{{0, 0, 1, 0}, {0, 0, 0, 65535}, 1},
                    Order{{4, 1, 0, 1000}, {4, 1, 0, 1000}, 0}));

struct Rendering {
    firmware_version version;
    bool with_v;
    const char *text;
};

class VersionString : public testing::TestWithParam<Rendering> {};

// The buffer is exactly VERSION_STRING_LEN bytes on the heap, so that the
// address sanitizer sees any write past it.
TEST_P(VersionString, Renders)
{
    const Rendering &r = GetParam();
    auto buf = std::make_unique<char[]>(VERSION_STRING_LEN);
    EXPECT_EQ(version_string(buf.get(), r.version, r.with_v), buf.get());
    EXPECT_STREQ(buf.get(), r.text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, VersionString,
    testing::Values(Rendering{{0, 0, 0, 0}, true, "unknown"},
                    Rendering{{0, 0, 0, 0}, false, "unknown"},
                    Rendering{{4, 1, 0, 1000}, true, "v4.1.0.1000"},
                    Rendering{{4, 1, 0, 1000}, false, "4.1.0.1000"},
                    Rendering{{0, 0, 0, 1}, false, "0.0.0.1"},
                    Rendering{{65535, 65535, 65535, 65535}, true, "v65535.65535.65535.65535"}));

TEST(ImageVersions, ReadFromTheHeader)
{
    ImageSpec spec;
    spec.version = {0x1234, 2, 0xFFFF, 300};
    spec.extra[0] = 5;
    spec.extra[1] = 0xFF;
    spec.extra[2] = 7;
    spec.extra[3] = 8;
    std::vector<uint8_t> buf = build_plain_image(spec);
    qsupdate_image_t image{};
    ASSERT_EQ(init_image_from_buffer(buf.data(), buf.size(), &image), 0);
    EXPECT_EQ(compare_versions(get_image_version(&image), spec.version), 0);
    const firmware_version extra = get_image_extra_version(&image);
    EXPECT_EQ(compare_versions(extra, {5, 255, 7, 8}), 0);

    qsupdate_image_t no_image{};
    EXPECT_TRUE(version_is_null(get_image_version(nullptr)));
    EXPECT_TRUE(version_is_null(get_image_version(&no_image)));
    EXPECT_TRUE(version_is_null(get_image_extra_version(&no_image)));
}
