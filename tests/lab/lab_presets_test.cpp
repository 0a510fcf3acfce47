// The damage a lab can be created with is damage qsupdate's own checks
// see: otherwise the recovery tests would pass on a whole configuration.
#include <cstring>

#include <gtest/gtest.h>

#include "lab/model/lab_config_view.h"
#include "lab/model/lab_preset_config.h"
#include "lib/tlv/tlv_partition.h"
#include "tests/lab/support/lab_fixture.h"

namespace {

std::vector<uint8_t> padded(const lab::Partition &p)
{
    std::vector<uint8_t> bytes = p.initial_contents;
    bytes.resize(p.size, 0xFF);
    return bytes;
}

std::vector<uint32_t> words_of(const std::vector<uint8_t> &bytes)
{
    std::vector<uint32_t> words(bytes.size() / 4);
    std::memcpy(words.data(), bytes.data(), bytes.size());
    return words;
}

} // namespace

// Each damage makes every dynamic configuration of the adapter one that the
// lab calls damaged and, on BD20 controllers, one that qsupdate's
// validation rejects for that reason; the defaults stay whole.
TEST(PresetConfig, DamagedConfigurations)
{
    const struct {
        const char *preset;
        lab::ConfigDamage damage;
        std::string lab_reason, product_message;
    } cases[] = {
        {"birch", lab::ConfigDamage::bad_checksum, "bad checksum", ""},
        {"birch", lab::ConfigDamage::truncated_segment, "truncated, erased from byte 0x74", ""},
        {"birch", lab::ConfigDamage::blank, "erased", ""},
        {"cedar", lab::ConfigDamage::bad_checksum, "bad checksum", "(Dynamic configuration: checksum is incorrect)\n"},
        {"cedar", lab::ConfigDamage::bad_generation, "generations differ (header 24, trailer 25)",
         "(Dynamic configuration: header and trailer generation counts do not match)\n"},
        {"dogwood2", lab::ConfigDamage::truncated_segment, "truncated, erased from byte 0x7c",
         "Unexpected error 4 stripping partition trailer?\n"},
        {"oem", lab::ConfigDamage::blank, "erased", "(Partition map: TLV cursor in broken state initially)\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.lab_reason);
        lab::Adapter a = lab_host(lab::HostKind::linux_host, {{c.preset, 2}}).adapters[0];
        lab::damage_dynamic_config(a, c.damage);
        unsigned damaged = 0;
        for (const lab::Partition &p : a.partitions) {
            std::vector<uint8_t> bytes = padded(p);
            lab::ConfigView view;
            if (!lab::read_config_partition(a, p, bytes, view) || p.kind == 18)
                continue;
            EXPECT_EQ(view.damage, p.kind == 1 ? c.lab_reason : "") << p.id;
            if (p.kind != 1 || c.product_message.empty())
                continue;
            ++damaged;
            std::vector<uint32_t> words = words_of(bytes);
            nvram_partition_t partition{};
            testing::internal::CaptureStdout();
            testing::internal::CaptureStderr();
            const int rc = tlv_init_partition_from_buffer(&partition, words.data(), p.size);
            std::string message = testing::internal::GetCapturedStdout();
            message += testing::internal::GetCapturedStderr();
            EXPECT_EQ(std::tuple(rc, message.substr(0, c.product_message.size())), std::tuple(1, c.product_message));
        }
        EXPECT_EQ(damaged, c.product_message.empty() ? 0u : 1u);
    }
    lab::Adapter birch = lab_host(lab::HostKind::linux_host, {{"birch", 2}}).adapters[0];
    EXPECT_THROW(lab::damage_dynamic_config(birch, lab::ConfigDamage::bad_generation), std::runtime_error);
    lab::Adapter alder = lab_host(lab::HostKind::linux_host, {{"alder", 2}}).adapters[0];
    EXPECT_THROW(lab::damage_dynamic_config(alder, lab::ConfigDamage::blank), std::runtime_error);
}
