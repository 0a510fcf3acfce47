// The presets' flash, checked against what qsupdate expects of each
// generation, and the qslab commands that show, read, replace and break it.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <span>

#include <gtest/gtest.h>

#include "app/qsupdate/registry.h"
#include "lab/flash/lab_mtd.h"
#include "lab/model/lab_config_format.h"
#include "lab/model/lab_config_view.h"
#include "lab/model/lab_preset_config.h"
#include "lab/model/lab_vpd.h"
#include "lib/tlv/tlv_partition.h"
#include "lib/utils/byteorder.h"
#include "lib/utils/firmware.h"
#include "lib/utils/linux/vpd.h"
#include "tests/lab/support/lab_fixture.h"

using nlohmann::json;

namespace {

// Each preset with the registry rows of its controller family, and whether
// its VPD has a read-write resource and its end tag in the middle of a word.
const struct {
    const char *preset;
    unsigned ports;
    std::span<const firmware_ops> mcfw_rows;
    bool read_write, mid_word;
} PRESETS[] = {{"alder", 2, {}, false, false},          {"alder-0710", 2, {}, false, false},
               {"birch", 2, mc_birch_ops, false, true},  {"cedar", 4, mc_cedar_ops, true, false},
               {"dogwood", 16, mc_dogwood_ops, true, false}, {"dogwood2", 4, mc_dogwood2_ops, true, false},
               {"oem", 2, mc_dogwood2_ops, true, true}};

// The image type each firmware partition kind holds, as qsupdate maps them.
const std::map<unsigned, uint32_t> IMAGE_TYPE_OF_KIND = {
    {0, 3}, {3, 2}, {5, 0}, {6, 6}, {7, 8}, {8, 10}, {9, 7}, {11, 11}, {12, 12}, {17, 13},
};

std::vector<uint8_t> padded(const lab::Partition &p)
{
    std::vector<uint8_t> bytes = p.initial_contents;
    bytes.resize(p.size, 0xFF);
    return bytes;
}

std::string image_version(const image_header_t &h)
{
    char version[32];
    std::snprintf(version, sizeof version, "%u.%u.%u.%u", le16_to_host(h.ih_code_version_a),
                  le16_to_host(h.ih_code_version_b), le16_to_host(h.ih_code_version_c),
                  le16_to_host(h.ih_code_version_d));
    return version;
}

bool has_row(std::span<const firmware_ops> rows, uint32_t type, uint32_t subtype)
{
    return std::any_of(rows.begin(), rows.end(), [&](auto &r) { return r.type == type && r.subtype == subtype; });
}

// The VPD copies a static configuration holds: Birch names one by a
// header; BD20 controllers keep a TLV partition with one item per port.
std::vector<std::vector<uint8_t>> static_vpds(const lab::Adapter &a, const std::vector<uint8_t> &bytes)
{
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

// The VPD's resources.  Firmware partitions hold a plain image of their kind
// and subtype that a registry row finds; static configurations hold the VPD;
// the rest start erased.  The controller gives each partition a type of its
// own, a partition of every port numbered from the first port's;
// first-generation boards have no controller.
TEST(PresetFlash, EachGenerationsVpdAndPartitionsAsQsupdateFindsThem)
{
    std::vector<firmware_ops> rows;
    for (const firmware_ops *row : all_firmware_ops)
        rows.push_back(*row);
    const std::span<const firmware_ops> all_rows = rows;
    for (const auto &c : PRESETS) {
        SCOPED_TRACE(c.preset);
        const lab::Adapter a = lab_host(lab::HostKind::linux_host, {{c.preset, c.ports}}).adapters[0];
        std::vector<uint8_t> vpd = lab::build_vpd(a.vpd), tags;
        size_t end = 0; // identifier, read-only, maybe read-write resource, end tag
        for (; vpd[end] != 0x78; end += 3 + load_le16(&vpd[end + 1]))
            tags.push_back(vpd[end]);
        EXPECT_EQ(tags, (c.read_write ? std::vector<uint8_t>{0x82, 0x90, 0x91} : std::vector<uint8_t>{0x82, 0x90}));
        EXPECT_EQ(std::tuple(end, end % 4), std::tuple(vpd.size() - 1, c.mid_word ? 2u : 0u));
        vpd.resize(4096, 0xFF);
        EXPECT_EQ(lab::vpd_length(vpd), end + 1);
        ASSERT_FALSE(a.partitions.empty());
        uint64_t total = 0;
        std::set<std::string> ids;
        std::map<uint32_t, std::string> types;             // MCDI type: partition
        std::map<unsigned, std::vector<uint32_t>> per_port; // kind: MCDI type of port 0, as each port's own counts
        for (const lab::Partition &p : a.partitions) {
            SCOPED_TRACE(p.id);
            EXPECT_TRUE(ids.insert(p.id).second);
            EXPECT_EQ(p.size % p.erase_size, 0u);
            EXPECT_TRUE(p.write_byte_ns > 0 && p.read_byte_ns > 0);
            EXPECT_EQ(p.erase_block_us > 0, p.erase_size > 1) << "NOR erases, EEPROMs do not";
            total += p.size;
            EXPECT_EQ(p.mcdi_type == 0xFFFFFFFF, (a.device_id & 0xF00) == 0x700);
            EXPECT_TRUE(p.mcdi_type == 0xFFFFFFFF || types.emplace(p.mcdi_type, p.id).second)
                << "type of " << types[p.mcdi_type];
            if (!p.mtd_all_ports && p.mtd_ports.size() == 1 && p.id.ends_with("-p" + std::to_string(p.mtd_ports[0])))
                per_port[p.kind].push_back(p.mcdi_type - p.mtd_ports[0]);
            std::vector<uint8_t> bytes = padded(p);
            if (p.kind == 2) {
                EXPECT_EQ(static_vpds(a, bytes), std::vector<std::vector<uint8_t>>(p.mtd_all_ports ? c.ports : 1,
                                                                                   lab::build_vpd(a.vpd)));
                continue;
            }
            if (p.kind == 1 || p.kind == 15 || p.kind == 18) // below
                continue;
            if (!IMAGE_TYPE_OF_KIND.contains(p.kind)) {
                EXPECT_EQ(bytes, std::vector<uint8_t>(p.size, 0xFF)) << "other configurations start erased";
                continue;
            }
            qsupdate_image_t image{};
            ASSERT_EQ(init_image_from_buffer(bytes.data(), bytes.size(), &image), 0);
            ASSERT_NE(image.reflash_header, nullptr);
            const image_header_t &h = *image.reflash_header;
            const uint32_t type = le32_to_host(h.ih_type), subtype = le32_to_host(h.ih_subtype);
            EXPECT_EQ(std::tuple(image.format, type, subtype),
                      std::tuple(IMAGE_FORMAT_UNSIGNED, IMAGE_TYPE_OF_KIND.at(p.kind), p.subtype));
            // The controller family's rows find its firmware, some row every other image but the
            // first generation's boot ROM.
            EXPECT_TRUE(has_row(p.kind == 0 ? c.mcfw_rows : all_rows, type, subtype) ||
                        (p.kind == 3 && (a.device_id & 0xF00) == 0x700 && subtype == 0));
            EXPECT_TRUE(p.kind != 0 || image_version(h) == a.firmware_version) << image_version(h);
        }
        EXPECT_EQ(std::count_if(a.partitions.begin(), a.partitions.end(), [](auto &p) { return p.kind == 0; }),
                  c.mcfw_rows.empty() ? 0 : 1);
        EXPECT_LE(total, 8u << 20);
        for (const auto &[kind, firsts] : per_port)
            EXPECT_EQ(firsts, std::vector<uint32_t>(c.ports, firsts[0])) << "kind " << kind;
    }
}

namespace {

// (image type, port index of a port's own firmware or -1): version, subtype
using Versions = std::map<std::pair<int, int>, std::pair<std::string, uint32_t>>;
constexpr uint32_t NO_SUBTYPE = 0xFFFFFFFF;

// What the adapter's firmware partitions hold, from their image headers.
Versions flashed(const lab::Adapter &a)
{
    Versions out;
    for (const lab::Partition &p : a.partitions) {
        if (!IMAGE_TYPE_OF_KIND.contains(p.kind))
            continue;
        std::vector<uint8_t> bytes = padded(p);
        qsupdate_image_t image{};
        EXPECT_EQ(init_image_from_buffer(bytes.data(), bytes.size(), &image), 0);
        const image_header_t &h = *image.reflash_header;
        const int port = p.mtd_all_ports || p.mtd_ports.empty() ? -1 : int(lab::port_index_of(a.ports[p.mtd_ports[0]].pci_addr));
        out[{int(le32_to_host(h.ih_type)), port}] = {image_version(h), le32_to_host(h.ih_subtype)};
    }
    return out;
}

Versions recorded(const lab::ConfigView &view)
{
    Versions out;
    for (const lab::RecordedVersion &v : view.versions)
        out[{v.image_type, v.port}] = {std::to_string(v.version[0]) + "." + std::to_string(v.version[1]) + "." +
                                           std::to_string(v.version[2]) + "." + std::to_string(v.version[3]),
                                       v.subtype.value_or(NO_SUBTYPE)};
    return out;
}

std::vector<uint32_t> words_of(const std::vector<uint8_t> &bytes)
{
    std::vector<uint32_t> words(bytes.size() / 4);
    std::memcpy(words.data(), bytes.data(), bytes.size());
    return words;
}

} // namespace

// Every preset's configurations record exactly the firmware in its flash
// (Birch: each port's own PHY too), the family version and its vendor's
// keywords, in bytes that qsupdate's format checks accept; the bundle
// metadata names the same versions or is erased.
TEST(PresetConfig, RecordsTheFirmwareItsFlashHolds)
{
    const struct {
        const char *preset;
        unsigned ports;
        bool bundle_components;
    } cases[] = {{"birch", 2, false}, {"cedar", 4, false}, {"dogwood", 16, false}, {"dogwood2", 4, false},
                 {"oem", 2, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.preset);
        const lab::Adapter a = lab_host(lab::HostKind::linux_host, {{c.preset, c.ports}}).adapters[0];
        const bool birch = (a.device_id & 0xF00) == 0x800, cedar = (a.device_id & 0xF00) == 0x900;
        const Versions firmware = flashed(a);
        auto version_of = [&](int type) { return firmware.contains({type, -1}) ? firmware.at({type, -1}).first : ""; };
        std::map<std::string, std::string> keywords = {{"VD", a.firmware_version}, {"V0", a.firmware_version}};
        if (a.subsystem_vendor_id == 0x103C)
            keywords.insert({{"V6", version_of(2)}, {"V3", version_of(3)}});
        if (a.subsystem_vendor_id == 0x103C && !version_of(12).empty())
            keywords["V1"] = version_of(12);
        if (a.subsystem_vendor_id == 0x1014)
            keywords["V1"] = version_of(3);
        std::vector<uint32_t> generations;
        unsigned configs = 0, metadata = 0;
        for (const lab::Partition &p : a.partitions) {
            SCOPED_TRACE(p.id);
            const std::vector<uint8_t> bytes = padded(p);
            lab::ConfigView view;
            if (!lab::read_config_partition(a, p, bytes, view))
                continue;
            ASSERT_EQ(view.damage, "");
            std::vector<uint32_t> words = words_of(bytes);
            nvram_partition_t partition{};
            if (p.kind == 18) {
                ++metadata;
                EXPECT_EQ(view.erased, !c.bundle_components);
                Versions components;
                for (const auto &[key, value] : firmware)
                    components[key] = {value.first, NO_SUBTYPE};
                EXPECT_EQ(recorded(view), c.bundle_components ? components : Versions{});
                EXPECT_EQ(c.bundle_components ? tlv_init_partition_from_buffer(&partition, words.data(), p.size) : 0, 0);
                continue;
            }
            ++configs;
            // Birch: one per port, with that port's own PHY.
            const int own = birch ? int(lab::port_index_of(a.ports.at(p.mtd_ports.at(0)).pci_addr)) : -1;
            Versions expected;
            for (const auto &[key, value] : firmware)
                if (key.second < 0 || key.second == own)
                    expected[key] = value;
            EXPECT_EQ(recorded(view), expected);
            // The dynamic VPD: the adapter's, or one per port index on Cedar.
            std::vector<std::pair<const uint8_t *, size_t>> records;
            std::vector<int> vpd_ports;
            if (birch) {
                records.emplace_back(&bytes[load_le32(&bytes[8])], load_le32(&bytes[12]));
            } else {
                ASSERT_EQ(tlv_init_partition_from_buffer(&partition, words.data(), p.size), 0);
                EXPECT_EQ(partition.type, 0x0500);
                generations.push_back(load_le32(&bytes[12]));
                for (const lab::Port &port : a.ports) {
                    const unsigned index = lab::port_index_of(port.pci_addr);
                    vpd_ports.push_back(cedar ? int(index) : -1);
                    ASSERT_EQ(tlv_find(&partition.tlv_cursor, cedar ? 0x10030000 + index : 0x10200000), TLV_OK);
                    records.emplace_back(tlv_value(&partition.tlv_cursor), tlv_length(&partition.tlv_cursor));
                    if (!cedar)
                        break;
                }
            }
            std::vector<int> view_ports;
            for (const lab::DynamicVpdView &vpd : view.vpds) {
                view_ports.push_back(vpd.port);
                std::map<std::string, std::string> found;
                for (const lab::VpdField &k : vpd.keywords)
                    found[k.keyword] = k.value;
                EXPECT_EQ(std::tuple(vpd.damage, found), std::tuple("", keywords));
            }
            EXPECT_EQ(view_ports, birch ? std::vector<int>{-1} : vpd_ports);
            for (const auto &[record, room] : records) {
                EXPECT_TRUE(vpd_is_valid(record, room));
                const size_t vd = vpd_find(record, 'V', 'D');
                ASSERT_NE(vd, 0u);
                EXPECT_EQ(std::string(reinterpret_cast<const char *>(record + vd + 3), record[vd + 2]),
                          a.firmware_version);
            }
        }
        EXPECT_EQ(configs, birch ? c.ports : 1 + metadata) << "factory defaults where the bundle metadata is";
        // The defaults are older than the configuration in use.
        EXPECT_TRUE(generations.size() < 2 || (generations[0] > generations[1] && generations[1] > 0));
        EXPECT_TRUE(birch || (!generations.empty() && generations[0] > 0));
    }
}

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

// `fault` adds entries the description accepts, lists and clears them;
// `flash` reads a partition whole and replaces it, padded with erased
// bytes, or refuses and changes nothing; `show` lists it all.
TEST(Qslab, FaultFlashAndShow)
{
    TestLab lab({"--adapter", "dogwood2:2"});
    lab.edit([](json &j) {
        // Partitions on every port, on none, on the first only, and one
        // that neither path reaches.
        json &parts = j["adapters"][0]["partitions"];
        parts = json::array({parts[0], parts[5], parts[8], parts[10]});
        parts[0]["last_run"] = {{"erases", 2}, {"bytes_erased", 131072}, {"writes", 1}, {"bytes_written", 1},
                                {"reads", 0},  {"bytes_read", 0}};
        parts[1].update({{"mtd", json::array()}, {"mcdi_type", "none"}, {"erase_size", 1}});
    });
    auto qslab = [&](std::vector<std::string> args) {
        args.insert(args.begin() + 1, lab.dir());
        return lab.qslab(args);
    };
    expect_run(qslab({"fault", "--list"}), 0, "No faults.\n", "");
    expect_run(qslab({"fault", "--target", "eth0", "--operation", "ioctl", "--request", "SIOCETHTOOL", "--errno",
                      "EIO"}),
               0, "Added fault 1: ioctl SIOCETHTOOL of eth0, every time: fails with EIO\n", "");
    expect_run(qslab({"fault", "--target=a1-mcfw-25", "--operation=write", "--occurrence=3", "--cut-after=512"}), 0,
               "Added fault 2: write of a1-mcfw-25, occurrence 3: cut short after 512 bytes\n", "");
    EXPECT_EQ(lab.description()["faults"][1],
              json({{"target", "a1-mcfw-25"}, {"operation", "write"}, {"occurrence", 3}, {"write_cut_after", 512}}));

    const std::vector<uint8_t> preset =
        padded(lab_host(lab::HostKind::linux_host, {{"dogwood2", 2}}).adapters[0].partitions[0]);
    const std::string out = lab.dir() + "/out.bin", in = lab.dir() + "/in.bin";
    const std::string file = lab.dir() + "/flash/a1-mcfw-25.bin";
    // The part after "aN-" names it as well as the whole id.
    expect_run(qslab({"flash", "--adapter", "1", "--partition", "mcfw-25", "-o", out}), 0,
               "a1-mcfw-25: 2097152 bytes written to " + out + "\n", "");
    const std::string original = read_file(out);
    EXPECT_TRUE(original == std::string(preset.begin(), preset.end())) << "the preset's image, whole";
    std::ofstream(in, std::ios::binary) << "new contents";
    expect_run(qslab({"flash", "--adapter=1", "--partition=a1-mcfw-25", "-i", in}), 0,
               "a1-mcfw-25: replaced by " + in + " (12 bytes, then 2097140 erased bytes)\n", "");
    EXPECT_TRUE(read_file(file) == "new contents" + std::string(2097140, '\xFF'));
    EXPECT_EQ(read_file(lab.dir() + "/flash/a1-status-00.bin"), std::string(4096, '\xFF')) << "others untouched";
    std::ofstream(in, std::ios::binary) << original; // what -o wrote, -i takes back whole
    qslab({"flash", "--adapter", "1", "--partition", "mcfw-25", "-i", in});
    EXPECT_TRUE(read_file(file) == original);
    std::ofstream(in, std::ios::binary) << original << 'x';

    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"flash", "--adapter", "1", "--partition", "mcfw-25", "-i", in},
         in + " is 2097153 bytes, more than the 2097152 of partition a1-mcfw-25\n"},
        {{"flash", "--adapter", "2", "--partition", "mcfw-25", "-o", out}, "no adapter 2 (adapter 1)\n"},
        {{"flash", "--adapter", "0", "--partition", "mcfw-25", "-o", out}, "no adapter 0 (adapter 1)\n"},
        {{"flash", "--adapter", "1", "--partition", "mcfw-08", "-o", out},
         "adapter 1 has no partition \"mcfw-08\" (a1-mcfw-25, a1-bootrom-cfg-00, a1-status-00, "
         "a1-bundle-metadata-00)\n"},
        {{"flash", "--adapter", "1", "--partition", "mcfw-25", "-i", in, "-o", out},
         "flash needs either -o FILE or -i FILE\nUsage:\n"},
        {{"fault", "--target", "eth0", "--operation", "frob", "--errno", "EIO"},
         "bad fault: unknown fault operation \"frob\" (open, read, write, erase, ioctl, lock, command, run or mcdi)\n"},
        {{"fault", "--target", "eth0", "--operation", "read", "--cut-after", "4"},
         "bad fault: only writes are cut short\n"},
        {{"fault", "--target", "eth0", "--operation", "read", "--occurrence", "0", "--errno", "EIO"},
         "bad fault: a fault's occurrence is a number from 1, or \"every\"\n"},
        {{"fault", "--target", "eth0", "--operation", "read"}, "a fault needs one of --errno, --cut-after and --silent\n"},
        {{"fault", "--list", "--clear"}, "fault takes one of: a new fault, --list, --clear\n"},
    };
    for (const auto &[args, err] : refused) {
        CommandResult r = qslab(args);
        EXPECT_EQ(std::tuple(r.status, r.out, r.err.substr(0, 7 + err.size())), std::tuple(125, "", "qslab: " + err));
    }
    EXPECT_TRUE(read_file(file) == original) << "refusals change nothing";

    const CommandResult shown = qslab({"show"});
    EXPECT_EQ(std::tuple(shown.status, shown.err), std::tuple(0, ""));
    EXPECT_EQ(shown.out.substr(shown.out.find("  Partitions:")),
              "  Partitions:\n"
              "    a1-mcfw-25  controller firmware subtype 0x25, 2 MiB in 64 KiB blocks, MCDI type 0x100; "
              "mtd0 eth0 qsc_mcfw:25, mtd2 eth1 qsc_mcfw:25; "
              "last run: erases 2 (131072 bytes), writes 1 (1 byte), reads 0 (0 bytes)\n"
              "    a1-bootrom-cfg-00  boot ROM configuration subtype 0x00, 64 KiB EEPROM; not reachable; "
              "last run: untouched\n"
              "    a1-status-00  status subtype 0x00, 4 KiB in 4 KiB blocks, MCDI type 0x1600; "
              "mtd1 eth0 qsc_status:00; last run: untouched\n"
              "    a1-bundle-metadata-00  bundle metadata subtype 0x00, 64 KiB in 4 KiB blocks, MCDI type 0x1e01; "
              "MCDI only; last run: untouched\n"
              "  Configurations:\n"
              "    a1-bundle-metadata-00: erased, no component versions\n\n"
              "Other interfaces:\n"
              "  lo         loopback, no driver information           up\n"
              "  eno1       ethernet, driver brindle at 0000:00:19.0  up\n\n"
              "Faults:\n"
              "  ioctl SIOCETHTOOL of eth0, every time: fails with EIO\n"
              "  write of a1-mcfw-25, occurrence 3: cut short after 512 bytes\n\n"
              "Events:\n"
              "  none yet\n");
    expect_run(qslab({"fault", "--clear"}), 0, "Removed 2 faults.\n", "");
    EXPECT_EQ(lab.description()["faults"], json::array());
}

// `show` decodes what the partition files hold, whoever wrote them (a
// configuration of two segments shows the first and counts them), and
// names the damage `create` was asked for; a damage that does not apply
// makes no lab.
TEST(Qslab, ShowDecodesConfigurations)
{
    TestLab lab({"--adapter", "birch:1", "--adapter", "oem", "--adapter", "cedar:2", "--damaged-config",
                 "bad-generation"});
    const std::string file = lab.dir() + "/cfg.bin";
    lab.qslab({"flash", lab.dir(), "--adapter", "2", "--partition", "dynamic-cfg-00", "-o", file});
    std::string bytes = read_file(file);
    const size_t total = load_le32(reinterpret_cast<const uint8_t *>(&bytes[16]));
    bytes.replace(total, total, bytes, 0, total);
    std::ofstream(file, std::ios::binary) << bytes;
    lab.qslab({"flash", lab.dir(), "--adapter", "2", "--partition", "dynamic-cfg-00", "-i", file});

    const CommandResult shown = lab.qslab({"show", lab.dir()});
    std::string blocks;
    for (size_t at = 0; (at = shown.out.find("  Configurations:\n", at)) != std::string::npos;) {
        const size_t end = shown.out.find("\n\n", at) + 1;
        blocks += shown.out.substr(at, end - at);
        at = end;
    }
    EXPECT_EQ(blocks,
              "  Configurations:\n"
              "    a1-dynamic-cfg-00-p0: Birch layout\n"
              "      controller firmware 3.3.2.1000, subtype 0x08\n"
              "      boot ROM 3.3.1.1001, subtype 0x02\n"
              "      PHY firmware of port 0 2.0.2.5, subtype 0x09\n"
              "      FPGA bitfile 1.1.0.12, subtype 0x04\n"
              "      diagnostic FPGA bitfile 1.0.0.7, subtype 0x04\n"
              "      KVE firmware 1.2.0.3, subtype 0x01\n"
              "      CPLD bitfile 1.0.0.4, subtype 0x01\n"
              "      VPD: family 3.3.2.1000; V0=3.3.2.1000 V6=3.3.1.1001 V3=3.3.2.1000\n"
              "  Configurations:\n"
              "    a2-dynamic-cfg-00: generation 24, 2 segments\n"
              "      controller firmware 7.4.3.1008, subtype 0x2a\n"
              "      boot ROM 7.4.1.1003, subtype 0x07\n"
              "      UEFI ROM 3.1.0.6, subtype 0x00\n"
              "      bundle 7.4.3.1008, subtype 0x01\n"
              "      micro-controller firmware 3.0.1.9, subtype 0x03\n"
              "      VPD: family 7.4.3.1008; V0=7.4.3.1008\n"
              "    a2-dynamic-cfg-dflt-00: generation 6, 1 segment\n"
              "      controller firmware 7.4.3.1008, subtype 0x2a\n"
              "      boot ROM 7.4.1.1003, subtype 0x07\n"
              "      UEFI ROM 3.1.0.6, subtype 0x00\n"
              "      bundle 7.4.3.1008, subtype 0x01\n"
              "      micro-controller firmware 3.0.1.9, subtype 0x03\n"
              "      VPD: family 7.4.3.1008; V0=7.4.3.1008\n"
              "    a2-bundle-metadata-00: generation 6, 1 segment\n"
              "      controller firmware 7.4.3.1008\n"
              "      boot ROM 7.4.1.1003\n"
              "      UEFI ROM 3.1.0.6\n"
              "      bundle 7.4.3.1008\n"
              "      micro-controller firmware 3.0.1.9\n"
              "  Configurations:\n"
              "    a3-dynamic-cfg-00: damaged: generations differ (header 24, trailer 25)\n");

    const std::string dir = lab.dir() + "/other";
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"create", dir, "--damaged-config", "blank"}, "--damaged-config follows the --adapter it applies to\nUsage:\n"},
        {{"create", dir, "--adapter", "oem", "--damaged-config", "frob"},
         "unknown configuration damage \"frob\" (bad-checksum, bad-generation, truncated-segment, blank)\nUsage:\n"},
        {{"create", dir, "--adapter", "birch", "--damaged-config", "bad-generation"},
         "birch configurations have no generation\n"},
        {{"create", dir, "--adapter", "alder", "--damaged-config", "blank"}, "alder adapters have no dynamic configuration\n"},
    };
    for (const auto &[args, err] : refused) {
        CommandResult r = lab.qslab(args);
        EXPECT_EQ(std::tuple(r.status, r.out, r.err.substr(0, 7 + err.size())), std::tuple(125, "", "qslab: " + err));
    }
    EXPECT_FALSE(std::filesystem::exists(dir));
}
