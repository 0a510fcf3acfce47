// The presets' flash, checked against what qsupdate expects of each
// generation.
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "app/qsupdate/registry.h"
#include "lab/lab_mtd.h"
#include "lab/lab_vpd.h"
#include "lib/tlv/tlv_partition.h"
#include "lib/utils/byteorder.h"
#include "lib/utils/firmware.h"
#include "tests/lab/support/lab_fixture.h"

using nlohmann::json;

namespace {

struct PresetCase {
    const char *preset;
    unsigned ports;
    const firmware_ops *mcfw_rows; // the controller family's registry rows
    size_t mcfw_row_count;
};

const PresetCase PRESETS[] = {
    {"alder", 2, nullptr, 0},
    {"alder-0710", 2, nullptr, 0},
    {"birch", 2, mc_birch_ops, std::size(mc_birch_ops)},
    {"cedar", 4, mc_cedar_ops, std::size(mc_cedar_ops)},
    {"dogwood", 16, mc_dogwood_ops, std::size(mc_dogwood_ops)},
    {"dogwood2", 4, mc_dogwood2_ops, std::size(mc_dogwood2_ops)},
    {"oem", 2, mc_dogwood2_ops, std::size(mc_dogwood2_ops)},
};

// The image type each firmware partition kind holds, as qsupdate maps them.
const std::map<unsigned, uint32_t> IMAGE_TYPE_OF_KIND = {
    {0, 3}, {3, 2}, {5, 0}, {6, 6}, {7, 8}, {8, 10}, {9, 7}, {11, 11}, {12, 12}, {17, 13},
};

constexpr uint32_t NONE = 0xFFFFFFFF;

// The controller's partition type of a kind on a port.
uint32_t expected_mcdi_type(uint16_t device_id, unsigned kind, unsigned port)
{
    const unsigned type = device_id & 0xF00;
    if (type == 0x700)
        return NONE;
    if (type == 0x800) {
        const std::map<unsigned, uint32_t> birch = {{0, 1}, {1, 5 + port}, {2, 3 + port}, {3, 7},
                                                    {4, 8 + port}, {5, 10 + port}, {6, 13}, {7, 15},
                                                    {8, 17}, {9, 14}};
        return birch.contains(kind) ? birch.at(kind) : NONE;
    }
    const std::map<unsigned, uint32_t> bd20 = {
        {0, 0x100}, {1, 0x500}, {2, 0x400}, {3, 0x300}, {4, type == 0x900 ? 0x600 + port : 0x600},
        {6, 0xB00}, {7, 0xB02}, {9, 0xB01}, {11, 0xC00}, {12, 0xD00}, {13, 0x1600}, {15, 0x1B00},
        {16, 0x1C00}, {17, 0x1E00}, {18, 0x1E01}};
    return bd20.contains(kind) ? bd20.at(kind) : NONE;
}

std::vector<uint8_t> padded(const lab::Partition &p)
{
    std::vector<uint8_t> bytes = p.initial_contents;
    bytes.resize(p.size, 0xFF);
    return bytes;
}

std::string version_text(const image_header_t &h)
{
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", le16_to_host(h.ih_code_version_a), le16_to_host(h.ih_code_version_b),
                  le16_to_host(h.ih_code_version_c), le16_to_host(h.ih_code_version_d));
    return text;
}

bool registry_has(uint32_t type, uint32_t subtype, const firmware_ops *rows, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        if (rows[i].type == type && rows[i].subtype == subtype)
            return true;
    return false;
}

// Checks that a firmware partition holds a plain image of its kind and
// subtype; returns its header.
image_header_t firmware_header(const lab::Partition &p)
{
    std::vector<uint8_t> bytes = padded(p);
    qsupdate_image_t image{};
    EXPECT_EQ(init_image_from_buffer(bytes.data(), bytes.size(), &image), 0);
    if (!image.reflash_header)
        return {};
    const image_header_t h = *image.reflash_header;
    EXPECT_EQ(image.format, IMAGE_FORMAT_UNSIGNED);
    EXPECT_EQ(le32_to_host(h.ih_type), IMAGE_TYPE_OF_KIND.at(p.kind));
    EXPECT_EQ(le32_to_host(h.ih_subtype), p.subtype);
    return h;
}

// The VPD copies a static configuration holds: Birch names one by a
// header; BD20 controllers keep a TLV partition with one item per port.
std::vector<std::vector<uint8_t>> static_vpds(const lab::Adapter &a, const lab::Partition &p)
{
    std::vector<uint8_t> bytes = padded(p);
    if ((a.device_id & 0xF00) == 0x800) {
        const uint32_t offset = load_le32(&bytes[8]), length = load_le32(&bytes[12]);
        if (offset + length > bytes.size())
            return {};
        return {std::vector<uint8_t>(bytes.begin() + offset, bytes.begin() + offset + length)};
    }
    std::vector<uint32_t> words(bytes.size() / 4);
    std::memcpy(words.data(), bytes.data(), bytes.size());
    nvram_partition_t partition;
    EXPECT_EQ(tlv_init_partition_from_buffer(&partition, words.data(), bytes.size()), 0);
    EXPECT_EQ(partition.type, 0x0400);
    std::vector<std::vector<uint8_t>> vpds;
    for (uint32_t port = 0; tlv_find(&partition.tlv_cursor, 0x00030000 + port) == 0; ++port) {
        const uint8_t *value = tlv_value(&partition.tlv_cursor);
        vpds.emplace_back(value, value + tlv_length(&partition.tlv_cursor));
    }
    return vpds;
}

} // namespace

TEST(PresetFlash, EachGenerationsPartitionsAsQsupdateFindsThem)
{
    std::vector<firmware_ops> all_rows;
    for (const firmware_ops *row : all_firmware_ops)
        all_rows.push_back(*row);
    for (const PresetCase &c : PRESETS) {
        SCOPED_TRACE(c.preset);
        lab::LabState state = lab_host(lab::HostKind::linux_host, {{c.preset, c.ports}});
        const lab::Adapter &a = state.adapters[0];
        uint64_t total = 0;
        unsigned controllers = 0;
        std::set<std::string> ids;
        std::map<unsigned, std::set<unsigned>> per_port; // kind: ports with a copy of their own
        for (const lab::Partition &p : a.partitions) {
            SCOPED_TRACE(p.id);
            EXPECT_TRUE(ids.insert(p.id).second);
            EXPECT_EQ(p.size % p.erase_size, 0u);
            EXPECT_TRUE(p.write_byte_ns > 0 && p.read_byte_ns > 0);
            EXPECT_EQ(p.erase_block_us > 0, p.erase_size > 1) << "NOR erases, EEPROMs do not";
            total += p.size;
            unsigned port = 0;
            if (!p.mtd_all_ports && p.mtd_ports.size() == 1 && p.id.ends_with("-p" + std::to_string(p.mtd_ports[0]))) {
                port = p.mtd_ports[0];
                EXPECT_TRUE(per_port[p.kind].insert(port).second);
            }
            EXPECT_EQ(p.mcdi_type, expected_mcdi_type(a.device_id, p.kind, port));

            if (IMAGE_TYPE_OF_KIND.contains(p.kind)) {
                image_header_t h = firmware_header(p);
                const uint32_t type = le32_to_host(h.ih_type), subtype = le32_to_host(h.ih_subtype);
                if (p.kind == 0) {
                    ++controllers;
                    EXPECT_TRUE(registry_has(type, subtype, c.mcfw_rows, c.mcfw_row_count));
                    EXPECT_EQ(version_text(h), a.firmware_version);
                } else if (!(p.kind == 3 && (a.device_id & 0xF00) == 0x700 && subtype == 0)) {
                    // Some row finds every image but the first generation's boot ROM.
                    EXPECT_TRUE(registry_has(type, subtype, all_rows.data(), all_rows.size()));
                }
            } else if (p.kind == 2) {
                EXPECT_EQ(static_vpds(a, p), std::vector<std::vector<uint8_t>>(
                                                 p.mtd_all_ports ? c.ports : 1, lab::build_vpd(a.vpd)));
            } else {
                EXPECT_EQ(padded(p), std::vector<uint8_t>(p.size, 0xFF)) << "configurations start erased";
            }
        }
        EXPECT_EQ(controllers, c.mcfw_rows ? 1u : 0u);
        EXPECT_LE(total, 8u << 20);
        // Where the controller numbers a kind by port, each port has its own.
        for (unsigned kind = 0; kind < 19; ++kind) {
            bool present = std::any_of(a.partitions.begin(), a.partitions.end(),
                                       [&](const lab::Partition &p) { return p.kind == kind; });
            if (present && expected_mcdi_type(a.device_id, kind, 0) != expected_mcdi_type(a.device_id, kind, 1)) {
                EXPECT_EQ(per_port[kind].size(), c.ports) << "kind " << kind;
            }
        }
    }
}

TEST(PresetFlash, FirstGenerationExportsOnlyTheTwoPartitionsOf0710)
{
    lab::LabState state = lab_host(lab::HostKind::linux_host, {{"alder", 2}, {"alder-0710", 2}});
    ASSERT_FALSE(state.adapters[0].partitions.empty());
    std::vector<std::string> names;
    for (const lab::MtdDevice &d : lab::mtd_devices(state))
        names.push_back(std::to_string(d.adapter) + " " + d.name);
    EXPECT_EQ(names, (std::vector<std::string>{"1 eth2 qsc_flash_bootrom", "1 eth2 qsc_bootconfig",
                                               "1 eth3 qsc_flash_bootrom", "1 eth3 qsc_bootconfig"}));
}
