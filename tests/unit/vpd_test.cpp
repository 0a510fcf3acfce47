#include "lib/utils/linux/vpd.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
const Bytes kTemplate(vpd_dynamic_init, vpd_dynamic_init + VPD_DYNAMIC_INIT_LEN);

TEST(VpdRecord, DocumentedExampleAndRefusedSets)
{
    Bytes buf = kTemplate;
    buf.resize(32, 0xA5);
    const Bytes pristine = buf;
    EXPECT_EQ(vpd_set(buf.data(), 1000, 'V', '2', Bytes(256).data(), 256), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(buf, pristine);
    EXPECT_EQ(vpd_set(buf.data(), 19, 'V', '1', "1.2.3", 5), -1); // one byte short of the room it needs
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(buf, pristine);
    ASSERT_EQ(vpd_set(buf.data(), 20, 'V', '1', "1.2.3", 5), 0);
    const Bytes example = {0x90, 0x10, 0x00, 0x56, 0x44, 0x01, 0x00, 0x56, 0x31, 0x05, 0x31,
                           0x2E, 0x32, 0x2E, 0x33, 0x52, 0x56, 0x01, 0x9E, 0x78, 0xA5};
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 21), example); // nothing written past the room
}

TEST(VpdRecord, ValidityRules)
{
    auto with = [](size_t at, uint8_t v) { Bytes b = kTemplate; b[at] = v; return b; };
    const Bytes kLonger = {0x90, 0x09, 0x00, 'V', 'D', 0x01, 0x00, 'R', 'V', 0x02, 0x22, 0x00, 0x78};
    const Bytes kEmptyRvFirst = {0x90, 0x0B, 0x00, 'R', 'V', 0x00, 'V', 'D', 0x01, 0x00, 'R', 'V', 0x01, 0x79, 0x78};
    const struct { const char *what; Bytes record; size_t len; bool valid; } cases[] = {
        {"template", kTemplate, 12, true},
        {"area too short", kTemplate, 11, false},
        {"not a read-only resource", {0x91, 0x08, 0x00, 'V', 'D', 0x01, 0x00, 'R', 'V', 0x01, 0x23, 0x78}, 12, false},
        {"End tag missing", with(11, 0x79), 12, false},
        {"length field past the area", kLonger, 12, false},
        {"the same within its area", kLonger, 13, true},
        {"checksum off by one", with(10, 0x25), 12, false},
        {"RV without value is no checksum", kEmptyRvFirst, 15, true},
        {"keyword after a correct RV, then a second RV",
         {0x90, 0x0C, 0x00, 'R', 'V', 0x01, 0xBB, 'V', 'D', 0x01, 0x00, 'R', 'V', 0x01, 0xBC, 0x78}, 16, false},
        {"no keywords", {0x90, 0x00, 0x00, 0x78}, 4, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(vpd_is_valid(c.record.data(), c.len), c.valid) << c.what;
    // A set closes the sum in the "RV" with a value byte, never writing through an empty "RV".
    const std::pair<Bytes, Bytes> edited[] = {
        {kEmptyRvFirst, {0x90, 0x10, 0, 'V', '1', 2, 'a', 'b', 'R', 'V', 0, 'V', 'D', 1, 0, 'R', 'V', 1, 0x28, 0x78}},
        {{0x90, 7, 0, 'V', 'D', 1, 0, 'R', 'V', 0, 0x78}, {0x90, 12, 0, 'V', 'D', 1, 0, 'V', '1', 2, 'a', 'b', 'R', 'V', 0, 0x78}},
    };
    for (auto [record, want] : edited) {
        record.resize(24, 0xA5);
        ASSERT_EQ(vpd_set(record.data(), 24, 'V', '1', "ab", 2), 0);
        EXPECT_EQ(Bytes(record.begin(), record.begin() + want.size()), want);
    }
}

} // namespace
