// The presets' flash, checked against what qsupdate expects of each
// generation, and the qslab commands that show, read, replace and break it.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
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

// Writes the partition files of a lab made with these presets, in case
// creating the lab did not.
void write_flash_files(const std::string &dir, const lab::LabState &state)
{
    std::filesystem::create_directories(dir + "/flash");
    for (const lab::Adapter &a : state.adapters)
        for (const lab::Partition &p : a.partitions) {
            std::vector<uint8_t> bytes = padded(p);
            std::ofstream(lab::partition_file(dir, p), std::ios::binary)
                .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        }
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

TEST(QslabShow, ListsEachAdaptersPartitionsAndTheirLastRun)
{
    TestLab lab({"--adapter", "dogwood2:2"});
    lab.edit([](json &j) {
        // Partitions on every port, on the first only, on none, and one
        // that neither path reaches.
        json kept = json::array();
        for (const json &p : j["adapters"][0]["partitions"])
            if (p["id"] == "a1-mcfw-25" || p["id"] == "a1-status-00" || p["id"] == "a1-bundle-metadata-00" ||
                p["id"] == "a1-bootrom-cfg-00")
                kept.push_back(p);
        kept[0]["last_run"] = {{"erases", 2}, {"bytes_erased", 131072}, {"writes", 1}, {"bytes_written", 1},
                               {"reads", 0}, {"bytes_read", 0}};
        kept[1].update({{"mtd", json::array()}, {"mcdi_type", "none"}, {"erase_size", 1}});
        j["adapters"][0]["partitions"] = kept;
    });
    ASSERT_EQ(lab.qslab({"fault", lab.dir(), "--target", "a1-mcfw-25", "--operation", "write", "--occurrence",
                         "2", "--cut-after", "100"})
                  .status,
              0);
    const std::string untouched = "; last run: untouched\n";
    expect_run(lab.qslab({"show", lab.dir()}), 0,
               "Lab in " + lab.dir() +
                   "\n"
                   "Host: Linux, kernel 6.1.0-18-amd64, effective uid 0\n"
                   "Driver qsc 5.3.12.1004: loaded\n"
                   "Modules loaded: qsc\n"
                   "Runs: 0, virtual clock at 0.000000 s\n\n"
                   "Adapter 1: Duskhollow DE6002 Dual-Port 25GbE Adapter (preset dogwood2)\n"
                   "  PCI ids 1b7e:0b03, subsystem 1b7e:8022, firmware 7.4.3.1008\n"
                   "  VPD: PN=DE6002-R2 EC=A3 SN=700100242023061100004100 MN=1B7E (read-write: YA=ASSET-0000 "
                   "V1=boot=pxe)\n"
                   "  VPD access: VPD capability, data ready after 2 polls; 32768-byte EEPROM, write-protected; "
                   "sysfs vpd file\n"
                   "  Port  Interface  MAC address        PCI address   PHY  State\n"
                   "  0     eth0       00:1B:7E:5A:10:00  0000:03:00.0  0    up\n"
                   "  1     eth1       00:1B:7E:5A:10:01  0000:03:00.1  0    up\n"
                   "  Partitions:\n"
                   "    a1-mcfw-25  controller firmware subtype 0x25, 2 MiB in 64 KiB blocks, MCDI type 0x100; "
                   "mtd0 eth0 qsc_mcfw:25, mtd2 eth1 qsc_mcfw:25; last run: erases 2 (131072 bytes), "
                   "writes 1 (1 byte), reads 0 (0 bytes)\n"
                   "    a1-bootrom-cfg-00  boot ROM configuration subtype 0x00, 64 KiB EEPROM; not reachable" +
                   untouched +
                   "    a1-status-00  status subtype 0x00, 4 KiB in 4 KiB blocks, MCDI type 0x1600; "
                   "mtd1 eth0 qsc_status:00" +
                   untouched +
                   "    a1-bundle-metadata-00  bundle metadata subtype 0x00, 64 KiB in 4 KiB blocks, "
                   "MCDI type 0x1e01; MCDI only" +
                   untouched +
                   "\n"
                   "Other interfaces:\n"
                   "  lo         loopback, no driver information           up\n"
                   "  eno1       ethernet, driver brindle at 0000:00:19.0  up\n"
                   "\n"
                   "Faults:\n"
                   "  write of a1-mcfw-25, occurrence 2: cut short after 100 bytes\n"
                   "\n"
                   "Events:\n"
                   "  none yet\n",
               "");
}

TEST(QslabFlash, ReadsAndReplacesAPartitionWhole)
{
    TestLab lab({"--adapter", "cedar:2", "--adapter", "birch:2"});
    const lab::LabState state = lab_host(lab::HostKind::linux_host, {{"cedar", 2}, {"birch", 2}});
    write_flash_files(lab.dir(), state);
    const std::string out = lab.dir() + ".bin", in = lab.dir() + ".in";
    // The part after "aN-" names it as well as the whole id.
    expect_run(lab.qslab({"flash", lab.dir(), "--adapter", "2", "--partition", "phy-09-p1", "-o", out}), 0,
               "a2-phy-09-p1: 65536 bytes written to " + out + "\n", "");
    std::string original = read_file(out);
    ASSERT_EQ(original.size(), 65536u);
    EXPECT_EQ(std::vector<uint8_t>(original.begin(), original.end()), padded(state.adapters[1].partitions[9]));

    std::ofstream(in, std::ios::binary) << "new contents";
    expect_run(lab.qslab({"flash", lab.dir(), "--adapter", "2", "--partition", "a2-phy-09-p1", "-i", in}), 0,
               "a2-phy-09-p1: replaced by " + in + " (12 bytes, then 65524 erased bytes)\n", "");
    lab.qslab({"flash", lab.dir(), "--adapter=2", "--partition=phy-09-p1", "-o", out});
    EXPECT_EQ(read_file(out), "new contents" + std::string(65524, '\xFF'));
    EXPECT_EQ(read_file(lab.dir() + "/flash/a2-phy-09-p0.bin"), original) << "its sibling is untouched";
    // What -o wrote, -i takes back whole.
    std::ofstream(in, std::ios::binary) << original;
    lab.qslab({"flash", lab.dir(), "--adapter", "2", "--partition", "phy-09-p1", "-i", in});
    EXPECT_EQ(read_file(lab.dir() + "/flash/a2-phy-09-p1.bin"), original);

    // Refused, with the partition unchanged.
    std::ofstream(in, std::ios::binary) << std::string(65536 + 1, 'x');
    const std::string usage_start = "qslab: flash needs either -o FILE or -i FILE\nUsage:\n";
    const struct {
        std::vector<std::string> args;
        std::string err;
    } refusals[] = {
        {{"--adapter", "2", "--partition", "phy-09-p1", "-i", in},
         "qslab: " + in + " is 65537 bytes, more than the 65536 of partition a2-phy-09-p1\n"},
        {{"--adapter", "3", "--partition", "mcfw-12", "-o", out}, "qslab: no adapter 3 (adapters 1 to 2)\n"},
        {{"--adapter", "0", "--partition", "mcfw-12", "-o", out}, "qslab: no adapter 0 (adapters 1 to 2)\n"},
        {{"--adapter", "1", "--partition", "mcfw-08", "-o", out},
         "qslab: adapter 1 has no partition \"mcfw-08\" (a1-mcfw-12, a1-bootrom-04, a1-dynamic-cfg-00, "
         "a1-static-cfg-00, a1-bootrom-cfg-00-p0, a1-bootrom-cfg-00-p1, a1-mumfw-02)\n"},
        {{"--adapter", "2", "--partition", "phy-09-p1", "-i", in, "-o", out}, usage_start},
    };
    for (const auto &r : refusals) {
        std::vector<std::string> args = {"flash", lab.dir()};
        args.insert(args.end(), r.args.begin(), r.args.end());
        CommandResult result = lab.qslab(args);
        EXPECT_EQ(result.status, 125);
        EXPECT_EQ(result.err.substr(0, r.err.size()), r.err);
        EXPECT_EQ(result.out, "");
    }
    EXPECT_EQ(read_file(lab.dir() + "/flash/a2-phy-09-p1.bin"), original);
}

TEST(QslabFault, AddsListsAndClearsEntriesTheDescriptionAccepts)
{
    TestLab lab({"--adapter", "dogwood2:1"});
    const std::vector<std::string> fault = {"fault", lab.dir()};
    auto with = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = fault;
        args.insert(args.end(), extra.begin(), extra.end());
        return lab.qslab(args);
    };
    expect_run(with({"--list"}), 0, "No faults.\n", "");
    expect_run(with({"--target", "eth0", "--operation", "ioctl", "--request", "SIOCETHTOOL", "--errno", "EIO"}), 0,
               "Added fault 1: ioctl SIOCETHTOOL of eth0, every time: fails with EIO\n", "");
    expect_run(with({"--target=/dev/mtd0", "--operation=write", "--occurrence=3", "--cut-after=512"}), 0,
               "Added fault 2: write of /dev/mtd0, occurrence 3: cut short after 512 bytes\n", "");
    const std::string listed = "1. ioctl SIOCETHTOOL of eth0, every time: fails with EIO\n"
                               "2. write of /dev/mtd0, occurrence 3: cut short after 512 bytes\n";
    expect_run(with({"--list"}), 0, listed, "");
    EXPECT_EQ(lab.description()["faults"][1],
              json({{"target", "/dev/mtd0"}, {"operation", "write"}, {"occurrence", 3}, {"write_cut_after", 512}}));

    const struct {
        std::vector<std::string> args;
        std::string err;
    } refused[] = {
        {{"--target", "eth0", "--operation", "frob", "--errno", "EIO"},
         "qslab: bad fault: unknown fault operation \"frob\" (open, read, write, erase, ioctl, lock, command or run)\n"},
        {{"--target", "eth0", "--operation", "read", "--cut-after", "4"},
         "qslab: bad fault: only writes are cut short\n"},
        {{"--target", "eth0", "--operation", "read", "--occurrence", "0", "--errno", "EIO"},
         "qslab: bad fault: a fault's occurrence is a number from 1, or \"every\"\n"},
        {{"--target", "eth0", "--operation", "read"}, "qslab: a fault needs either --errno or --cut-after\n"},
        {{"--list", "--clear"}, "qslab: fault takes one of: a new fault, --list, --clear\n"},
    };
    for (const auto &r : refused) {
        CommandResult result = with(r.args);
        EXPECT_EQ(result.status, 125) << r.err;
        EXPECT_EQ(result.err.substr(0, r.err.size()), r.err);
    }
    expect_run(with({"--list"}), 0, listed, "");
    expect_run(with({"--clear"}), 0, "Removed 2 faults.\n", "");
    EXPECT_EQ(lab.description()["faults"], json::array());
}
