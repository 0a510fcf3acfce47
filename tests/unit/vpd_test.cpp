#include "lib/utils/linux/vpd.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <string>
#include <vector>

#include "tests/unit/support/tlv_model.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes template_in(size_t size)
{
    Bytes buf(size, 0xA5);
    std::copy(vpd_dynamic_init, vpd_dynamic_init + sizeof(vpd_dynamic_init), buf.begin());
    return buf;
}

TEST(VpdRecord, TemplateAndTheDocumentedExample)
{
    EXPECT_EQ(vpd_used_len(vpd_dynamic_init), 12u);
    EXPECT_TRUE(vpd_is_valid(vpd_dynamic_init, 12));
    EXPECT_FALSE(vpd_is_valid(vpd_dynamic_init, 11));
    EXPECT_EQ(vpd_find(vpd_dynamic_init, 'V', 'D'), 3u);
    EXPECT_EQ(vpd_find(vpd_dynamic_init, 'V', '1'), 0u);

    Bytes buf = template_in(32);
    const Bytes pristine = buf;
    errno = 0;
    EXPECT_EQ(vpd_set(buf.data(), 19, 'V', '1', "1.2.3", 5), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(buf, pristine);

    ASSERT_EQ(vpd_set(buf.data(), 20, 'V', '1', "1.2.3", 5), 0);
    const Bytes example = {0x90, 0x10, 0x00, 0x56, 0x44, 0x01, 0x00, 0x56, 0x31, 0x05,
                           0x31, 0x2E, 0x32, 0x2E, 0x33, 0x52, 0x56, 0x01, 0x9E, 0x78};
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 20), example);
    EXPECT_TRUE(vpd_is_valid(buf.data(), 20));

    // Replaced in place, then removed: the template comes back exactly.
    ASSERT_EQ(vpd_set(buf.data(), 20, 'V', '1', "1.2", 3), 0);
    EXPECT_EQ(vpd_used_len(buf.data()), 18u);
    EXPECT_EQ(vpd_find(buf.data(), 'V', '1'), 7u);
    EXPECT_TRUE(vpd_is_valid(buf.data(), 18));
    vpd_delete(buf.data(), 'V', '1');
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 12), Bytes(vpd_dynamic_init, vpd_dynamic_init + 12));
    const Bytes after = buf;
    vpd_delete(buf.data(), 'V', '9');
    EXPECT_EQ(buf, after);

    EXPECT_EQ(vpd_set(buf.data(), 1000, 'V', '2', Bytes(256).data(), 256), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(buf, after);

    const uint8_t empty[] = {0x90, 0x00, 0x00, 0x78};
    EXPECT_EQ(vpd_find(empty, 'V', 'D'), 0u);
}

TEST(VpdRecord, ValidityRules)
{
    struct Case {
        const char *what;
        Bytes record;
        size_t len;
        bool valid;
    };
    // "VD" = 1 byte, then "RV" whose byte closes the sum: the template.
    const Bytes good(vpd_dynamic_init, vpd_dynamic_init + 12);
    auto with = [&](size_t at, uint8_t v) {
        Bytes b = good;
        b[at] = v;
        return b;
    };
    const Case cases[] = {
        {"template", good, 12, true},
        {"area too short", good, 11, false},
        {"not a read-only resource", with(0, 0x91), 12, false},
        {"End tag missing", with(11, 0x79), 12, false},
        {"length field past the area", with(1, 0x09), 12, false},
        {"checksum off by one", with(10, 0x25), 12, false},
        // "RV" with no value byte is no checksum, so nothing closes the record.
        {"RV without value", {0x90, 0x07, 0x00, 'V', 'D', 0x01, 0x00, 'R', 'V', 0x00, 0x78}, 11,
         false},
        // A correct checksum followed by another keyword.
        {"keyword after RV", {0x90, 0x08, 0x00, 'R', 'V', 0x01, 0x00, 'V', 'D', 0x01, 0x00, 0x78},
         12, false},
        // Both sums right, but the first checksum does not end the record.
        {"two checksums",
         {0x90, 0x0C, 0x00, 'R', 'V', 0x01, 0x00, 'V', 'D', 0x01, 0x00, 'R', 'V', 0x01,
          static_cast<uint8_t>(-('V' + 'D' + 0x01 + 'R' + 'V' + 0x01)), 0x78},
         16, false},
        {"data too short", {0x90, 0x03, 0x00, 'R', 'V', 0x00, 0x78}, 7, false},
    };
    for (const Case &c : cases) {
        Bytes record = c.record;
        if (record[3] == 'R' && record[5] == 1) // close the sum at the first "RV"
            record[6] = static_cast<uint8_t>(-(0x90 + record[1] + 'R' + 'V' + 0x01));
        EXPECT_EQ(vpd_is_valid(record.data(), c.len), c.valid) << c.what;
    }
}

// Random sets and deletes against an ordered list of keywords: the record
// must always be the model's bytes, closed by a correct "RV", and a refused
// set must leave it untouched.
class VpdProperty : public testing::TestWithParam<uint32_t> {};

TEST_P(VpdProperty, RandomEditsMatchTheModel)
{
    struct Keyword {
        char k1, k2;
        Bytes value;
    };
    std::mt19937 rng(GetParam());
    std::vector<Keyword> model = {{'V', 'D', {0}}};
    Bytes buf = template_in(1024);
    const char keys[] = "D0123456";

    auto image = [&] {
        Bytes out = {0x90, 0, 0};
        for (const Keyword &k : model) {
            out.insert(out.end(), {static_cast<uint8_t>(k.k1), static_cast<uint8_t>(k.k2),
                                   static_cast<uint8_t>(k.value.size())});
            out.insert(out.end(), k.value.begin(), k.value.end());
        }
        out.insert(out.end(), {'R', 'V', 1});
        out[1] = static_cast<uint8_t>(out.size() + 1 - 3);
        out[2] = static_cast<uint8_t>((out.size() + 1 - 3) >> 8);
        uint8_t sum = 0;
        for (uint8_t b : out)
            sum = static_cast<uint8_t>(sum + b);
        out.push_back(static_cast<uint8_t>(-sum));
        out.push_back(0x78);
        return out;
    };

    for (int step = 0; step < 400; step++) {
        char k2 = keys[rng() % (sizeof(keys) - 1)];
        auto it = std::find_if(model.begin(), model.end(),
                               [&](const Keyword &k) { return k.k2 == k2; });
        const Bytes before = buf;
        SCOPED_TRACE("step " + std::to_string(step));
        if (rng() % 3 == 0) {
            vpd_delete(buf.data(), 'V', k2);
            if (it != model.end())
                model.erase(it);
        } else {
            Bytes value = random_bytes(rng, rng() % 60);
            size_t used = vpd_used_len(buf.data());
            size_t room = used + rng() % 40;
            size_t old_size = it != model.end() ? 3 + it->value.size() : 0;
            int rc = vpd_set(buf.data(), room, 'V', k2, value.data(), value.size());
            if (used - old_size + 3 + value.size() > room) {
                ASSERT_EQ(rc, -1);
                ASSERT_EQ(errno, ENOSPC);
                ASSERT_EQ(buf, before);
                continue;
            }
            ASSERT_EQ(rc, 0);
            if (it != model.end())
                it->value = value;
            else
                model.push_back({'V', k2, value});
        }
        const Bytes expected = image();
        ASSERT_EQ(Bytes(buf.begin(), buf.begin() + static_cast<long>(expected.size())), expected);
        ASSERT_TRUE(vpd_is_valid(buf.data(), expected.size()));
        ASSERT_EQ(vpd_used_len(buf.data()), expected.size());
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, VpdProperty, testing::ValuesIn(property_seeds()));

} // namespace
