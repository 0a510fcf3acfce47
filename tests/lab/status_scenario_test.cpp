// The status report as a user sees it, byte for byte, through the lab.
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "lib/tlv/tlv_partition.h"
#include "lib/utils/linux/vpd.h"
#include "tests/lab/support/lab_fixture.h"

using nlohmann::json;

namespace {

constexpr uint32_t GLOBAL_DYNAMIC_VPD = 0x10200000;

// A dynamic configuration of `size` bytes whose global dynamic VPD holds
// the family version.
std::string dynamic_cfg_with_family(size_t size, const std::string &family)
{
    std::vector<uint8_t> vpd(64);
    std::copy(vpd_dynamic_init, vpd_dynamic_init + VPD_DYNAMIC_INIT_LEN, vpd.begin());
    EXPECT_EQ(vpd_set(vpd.data(), vpd.size(), 'V', 'D', family.data(), family.size()), 0);
    vpd.resize(vpd_used_len(vpd.data()));
    std::string b(size, '\xFF');
    tlv_init_dynamic_config_buf(b.data(), size);
    nvram_partition_t p;
    tlv_init_partition_from_buffer(&p, b.data(), size);
    tlv_append_to_partition(&p, GLOBAL_DYNAMIC_VPD, vpd.data(), vpd.size());
    return b;
}

// Puts a configuration with the family version 7.7.0 on a first adapter
// of the dogwood2 preset.
void with_family(TestLab &lab)
{
    if (lab.description()["adapters"][0]["preset"] != "dogwood2")
        return;
    const std::string file = lab.dir() + "/dynamic.bin";
    std::ofstream(file, std::ios::binary) << dynamic_cfg_with_family(65536, "7.7.0");
    ASSERT_EQ(lab.qslab({"flash", lab.dir(), "--adapter", "1", "--partition", "dynamic-cfg-00", "-i", file}).status, 0);
}

std::string header(const std::string &ifname, const std::string &mac)
{
    return "\n" + ifname + " - MAC: " + mac + "\n";
}

const std::string SIBLING = "    Firmware cannot be accessed via this interface,\n    please use eth1.\n";
const std::string FAMILY = "    Firmware version:   v7.7.0\n\n";
const std::string ALONE = "    Firmware cannot be accessed via this interface.\n";

std::string corrupt(const std::string &ifname)
{
    return "\nDynamic configuration is corrupt. Run 'qsboot -i " + ifname +
           " --repair' to revert back to firmware defaults.\n"
           "\nPlease contact support@duskhollow.example to report this incident and for more information on "
           "recovery procedure\n";
}

} // namespace

// Ports whose configuration cannot be read say where to go instead, and
// the run goes on with the next port; a configuration no port can read is
// corrupt, one that no port opens is only out of reach.  A port of a generation without a configuration shows only its
// header.
TEST(StatusScenario, ReachabilityAndFamilyVersion)
{
    const std::string none_available = "No firmware is available for any adapter\n";
    const std::string none_accessed = "\nNo adapters could be accessed. You may need to run this utility as root.\n";
    const std::string p0 = header("eth0", "00-1B-7E-5A-10-00"), p1 = header("eth1", "00-1B-7E-5A-10-01");
    const struct {
        const char *name;
        std::vector<std::string> create;
        std::function<void(json &)> edit;
        int status;
        std::string out, err;
    } cases[] = {
        {"only the sibling port exports it", {"--adapter", "dogwood2:2"},
         [](json &j) {
             j["host"]["mcdi_available"] = false;
             for (json &p : j["adapters"][0]["partitions"])
                 if (p["id"] == "a1-dynamic-cfg-00")
                     p["mtd"] = json::array({1});
         },
         0, p0 + SIBLING + p1 + FAMILY, none_available},
        {"no port reads it", {"--adapter", "dogwood2:2"},
         [](json &j) {
             j["faults"] = {{{"target", "a1-dynamic-cfg-00"}, {"operation", "read"}, {"errno", "EIO"}}};
         },
         1, p0 + SIBLING + corrupt("eth0") + p1 + "    Firmware cannot be accessed via this interface,\n    please use eth0.\n" + corrupt("eth1"),
         "Failed to read partition eth0 qsc_dynamic_cfg:00 offset 0 size 4\n"
         "Failed to read partition eth1 qsc_dynamic_cfg:00 offset 0 size 4\n"
         "Failed to read partition eth1 qsc_dynamic_cfg:00 offset 0 size 4\n"
         "Failed to read partition eth0 qsc_dynamic_cfg:00 offset 0 size 4\n" + none_accessed},
        {"a port with no partition and no sibling", {"--adapter", "birch:1"},
         [](json &j) {
             json &parts = j["adapters"][0]["partitions"];
             for (size_t i = 0; i < parts.size(); ++i)
                 if (parts[i]["id"] == "a1-dynamic-cfg-00-p0")
                     parts.erase(i);
         },
         1, p0 + ALONE + "    Its dynamic configuration cannot be reached through any port of the adapter.\n",
         none_accessed},
        {"no configuration on this generation", {"--adapter", "alder-0710:1"}, [](json &) {}, 0, p0 + "\n",
         none_available},
        // No versions to show is said, not left to look like a board never updated.
        {"a damaged configuration", {"--adapter", "birch:1", "--damaged-config", "bad-checksum"}, [](json &) {}, 0,
         p0 + "    Dynamic configuration was found damaged: no versions can be read.\n\n", none_available},
        {"an erased configuration", {"--adapter", "birch:1", "--damaged-config", "blank"}, [](json &) {}, 0,
         p0 + "    Dynamic configuration was found erased: no versions are recorded.\n\n", none_available},
    };
    for (const auto &c : cases) {
        TestLab lab(c.create);
        with_family(lab);
        lab.edit(c.edit);
        CommandResult r = lab.qsupdate({});
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.out, BANNER + c.out) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
    }
    TestLab lab({"--adapter", "dogwood2:2"});
    with_family(lab);
    expect_run(lab.qsupdate({}), 0, BANNER + p0 + FAMILY + p1 + FAMILY, none_available);
}

// A user image against the installed controller firmware (7.4.3.1008 on
// the preset): equal, older and newer, with and without --force.  The
// command a verdict offers repeats the image (quoted for the shell) and
// the adapter as given, and run as printed it writes the image.
TEST(StatusScenario, UserImageAgainstTheInstalledVersion)
{
    const std::string head = BANNER + header("eth0", "00-1B-7E-5A-10-00") +
                             "    Firmware version:   v7.4.3.1008\n"
                             "    Controller type:    Quillstone QSC1250 family\n"
                             "    Controller version: v7.4.3.1008\n\n";
    const std::string up_to_date = "The controller firmware is up to date\n";
    const struct {
        const char *version;
        std::string options, verdict, offered, adapter;
    } cases[] = {
        {"7.4.3.1008", "", up_to_date, "", ""},
        {"7.4.3.1008", " --force", up_to_date, "--force --write", ""},
        {"7.4.2.2000", "", up_to_date, "", ""},
        {"7.4.2.2000", " --force -i 00:1b:7e:5a:10:00", up_to_date, "--force --write", " --adapter=00:1b:7e:5a:10:00"},
        {"7.4.4.1000", " --adapter=eth0", "This is more recent controller firmware [v7.4.4.1000]\n", "--write",
         " --adapter=eth0"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.version + c.options);
        TestLab lab({"--adapter", "dogwood2:1"});
        const std::string made = lab.dir() + "/mcfw.bin", image = "'" + lab.dir() + "/it'\\''s new.bin'";
        ASSERT_EQ(lab.qslab({"image", "--type", "3", "--subtype", "37", "--version", c.version, "-o", made}).status, 0);
        std::filesystem::rename(made, lab.dir() + "/it's new.bin");
        const std::string offered = "qsupdate " + c.offered + " --image=" + image + c.adapter;
        CommandResult r = lab.run_printed("qsupdate --image=" + image + c.options);
        expect_run(r, 0, head + c.verdict + (c.offered.empty() ? "" : "   - run \"" + offered + "\" to perform an update\n"),
                   "");
        if (!c.offered.empty()) {
            r = lab.run_printed(offered, "y\n");
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_NE(r.out.find("eth0: writing controller firmware\n"), std::string::npos) << r.out;
        }
    }
}

// A report reads each configuration once for all the ports of its adapter
// (and a 4-byte probe per port), the bundle metadata once, or only its
// first 8 bytes when they are erased, and no other partition.
TEST(StatusScenario, ReadsEachConfigurationOnce)
{
    TestLab lab({"--adapter", "dogwood2:2", "--adapter", "oem:2", "--adapter", "birch:2"});
    ASSERT_EQ(lab.qsupdate({}).status, 0);
    const json description = lab.description();
    for (const json &a : description["adapters"]) {
        for (const json &p : a["partitions"]) {
            const uint64_t size = std::stoul(p["size"].get<std::string>(), nullptr, 0);
            const uint64_t ports = p["mtd"].is_array() ? p["mtd"].size() : a["ports"].size();
            uint64_t expected = 0;
            if (p["kind"] == 1)
                expected = size + 4 * ports;
            else if (p["kind"] == 18)
                expected = a["preset"] == "oem" ? size : 8;
            EXPECT_EQ(p.value("last_run", json::object()).value("bytes_read", uint64_t{0}), expected) << p["id"];
        }
    }
}

// Rows of one type in play on a port share its installed version; the two
// PHYs of the board 0x1B7E0813 are told apart by port; an installed iPXE
// boot ROM is named as such.
TEST(StatusScenario, PhyRowsAndIpxe)
{
    const std::string p0 = header("eth0", "00-1B-7E-5A-10-00"), p1 = header("eth1", "00-1B-7E-5A-10-01");
    auto phy = [](const char *name) {
        return "    Firmware version:   v3.3.2.1000\n    PHY type:           " + std::string(name) +
               "\n    PHY version:        v2.0.2.5\n";
    };
    const std::string no_phy = "\nThis utility does not contain PHY firmware for this adapter\n";
    const struct {
        const char *name;
        std::vector<std::string> args;
        std::function<void(json &)> edit;
        std::string out;
        const char *added_partition = nullptr; // its flash file starts erased
    } cases[] = {
        {"a second PHY partition of another subtype", {"--phy"},
         [](json &j) {
             json extra = j["adapters"][0]["partitions"];
             for (json &p : extra)
                 if (p["kind"] == 5 && p["mtd"] == json::array({0})) {
                     p["id"] = "a1-phy-11-p0", p["subtype"] = "0x11", p["mcdi_type"] = "0xffffffff";
                     j["adapters"][0]["partitions"].push_back(p);
                 }
         },
         p0 + phy("QT2025C") + phy("QT2025_KR").substr(36) + no_phy + p1 + phy("QT2025C") + no_phy,
         "a1-phy-11-p0"},
        {"the board with two PHY kinds", {"--phy"},
         [](json &j) {
             j["adapters"][0]["device_id"] = "0x813";
             for (json &p : j["adapters"][0]["partitions"])
                 if (p["kind"] == 5)
                     p["subtype"] = "0xa";
         },
         p0 + phy("Quillstone QSL1021") + no_phy + p1 + phy("Quillstone QST1001B") + no_phy},
    };
    for (const auto &c : cases) {
        TestLab lab({"--adapter", "birch:2"});
        lab.edit(c.edit);
        if (c.added_partition)
            std::ofstream(lab.dir() + "/flash/" + c.added_partition + ".bin", std::ios::binary)
                << std::string(65536, '\xFF');
        CommandResult r = lab.qsupdate(c.args);
        EXPECT_EQ(r.out, BANNER + c.out) << c.name;
        EXPECT_EQ(r.status, 0) << c.name;
    }

    // A boot ROM recorded as iPXE.
    TestLab lab({"--adapter", "dogwood2:1"});
    std::string cfg = dynamic_cfg_with_family(65536, "7.7.0");
    nvram_partition_t p;
    ASSERT_EQ(tlv_init_partition_from_buffer(&p, cfg.data(), cfg.size()), 0);
    const uint8_t ipxe[8] = {9, 0, 9, 0, 9, 0, 0x0F, 0x27};
    ASSERT_EQ(tlv_append_to_partition(&p, 0x10060300, ipxe, sizeof ipxe), 0);
    std::ofstream(lab.dir() + "/dynamic.bin", std::ios::binary) << cfg;
    ASSERT_EQ(lab.qslab({"flash", lab.dir(), "--adapter", "1", "--partition", "dynamic-cfg-00", "-i",
                         lab.dir() + "/dynamic.bin"}).status, 0);
    expect_run(lab.qsupdate({"--bootrom"}), 0,
               BANNER + header("eth0", "00-1B-7E-5A-10-00") + "    Firmware version:   v7.7.0\n" +
                   "    Controller type:    Quillstone QSC1250\n    Boot ROM version:   iPXE\n\n"
                   "The current Boot ROM is an iPXE image.\n",
               "");
}

// Every kind each generation carries, with its labels, in registry order,
// and the verdicts in theirs.  A PHY or CPLD partition that the driver
// shows of a BD20 board, which records no version of such kinds, is
// passed over.
TEST(StatusScenario, EveryKindOfEachGeneration)
{
    TestLab lab({"--adapter", "dogwood2:1", "--adapter", "dogwood:1", "--adapter", "oem:1", "--adapter", "birch:1"});
    lab.edit([&](json &j) {
        for (auto [kind, id] : {std::pair{5, "a1-phy-09"}, {8, "a1-cpld-01"}}) {
            json p = j["adapters"][0]["partitions"][0];
            p["id"] = id, p["kind"] = kind, p["subtype"] = kind == 5 ? "0x9" : "0x1", p["size"] = "0x10000";
            p["mcdi_type"] = "none";
            j["adapters"][0]["partitions"].push_back(p);
            std::ofstream(lab.dir() + "/flash/" + id + ".bin", std::ios::binary) << std::string(65536, '\xFF');
        }
    });
    const std::string expected =
        "\n"
        "eth0 - MAC: 00-1B-7E-5A-10-00\n"
        "    Firmware version:   v7.4.3.1008\n"
        "    Controller type:    Quillstone QSC1250 family\n"
        "    Controller version: v7.4.3.1008\n"
        "    Boot ROM version:   v7.4.1.1003\n"
        "    FPGA type:          timestamp peripheral\n"
        "    FPGA version:       v1.3.0.2\n"
        "    MUM type:           Micro-controller\n"
        "    MUM version:        v3.0.2.5\n"
        "    UEFI ROM version:   v3.1.0.6\n"
        "    Bundle type:        Y3552\n"
        "    Bundle version:     v7.4.3.1008\n"
        "\n"
        "This utility does not contain Boot ROM firmware for this adapter\n"
        "This utility does not contain UEFI ROM firmware for this adapter\n"
        "This utility does not contain controller firmware for this adapter\n"
        "This utility does not contain FPGA bitfile for this adapter\n"
        "This utility does not contain MUM firmware for this adapter\n"
        "This utility does not contain Bundle firmware for this adapter\n"
        "\n"
        "eth1 - MAC: 00-1B-7E-5A-11-00\n"
        "    Firmware version:   v6.2.0.1016\n"
        "    Controller type:    Quillstone QSC1200 family\n"
        "    Controller version: v6.2.0.1016\n"
        "    Boot ROM version:   v6.2.0.1004\n"
        "    FPGA type:          KVE peripheral\n"
        "    FPGA version:       v2.3.0.40\n"
        "    Diagnostic FPGA type: KVE peripheral\n"
        "    Diagnostic FPGA version: v2.2.0.31\n"
        "    FC type:            KVE controller\n"
        "    FC version:         v2.0.4.1\n"
        "    MUM type:           Micro-controller\n"
        "    MUM version:        v2.1.0.14\n"
        "    UEFI ROM version:   v2.6.1.2\n"
        "\n"
        "This utility does not contain Boot ROM firmware for this adapter\n"
        "This utility does not contain UEFI ROM firmware for this adapter\n"
        "This utility does not contain controller firmware for this adapter\n"
        "This utility does not contain FPGA bitfile for this adapter\n"
        "This utility does not contain diagnostic FPGA bitfile for this adapter\n"
        "This utility does not contain KVE firmware for this adapter\n"
        "This utility does not contain MUM firmware for this adapter\n"
        "\n"
        "eth2 - MAC: 00-1B-7E-5A-12-00\n"
        "    Firmware version:   v7.4.3.1008\n"
        "    Controller type:    Quillstone QSC1250 family\n"
        "    Controller version: v7.4.3.1008\n"
        "    Boot ROM version:   v7.4.1.1003\n"
        "    MUM type:           Micro-controller\n"
        "    MUM version:        v3.0.1.9\n"
        "    UEFI ROM version:   v3.1.0.6\n"
        "    Bundle type:        Y3522 Dell\n"
        "    Bundle version:     v7.4.3.1008\n"
        "\n"
        "This utility does not contain Boot ROM firmware for this adapter\n"
        "This utility does not contain UEFI ROM firmware for this adapter\n"
        "This utility does not contain controller firmware for this adapter\n"
        "This utility does not contain MUM firmware for this adapter\n"
        "This utility does not contain Bundle firmware for this adapter\n"
        "\n"
        "eth3 - MAC: 00-1B-7E-5A-13-00\n"
        "    Firmware version:   v3.3.2.1000\n"
        "    PHY type:           QT2025C\n"
        "    PHY version:        v2.0.2.5\n"
        "    Controller type:    Quillstone QSC1000 family\n"
        "    Controller version: v3.3.2.1000\n"
        "    Boot ROM version:   v3.3.1.1001\n"
        "    FPGA type:          KVE peripheral\n"
        "    FPGA version:       v1.1.0.12\n"
        "    Diagnostic FPGA type: KVE peripheral\n"
        "    Diagnostic FPGA version: v1.0.0.7\n"
        "    FC type:            KVE controller\n"
        "    FC version:         v1.2.0.3\n"
        "    CPLD type:          1902 CPLD\n"
        "    CPLD version:       v1.0.0.4\n"
        "\n"
        "This utility does not contain PHY firmware for this adapter\n"
        "This utility does not contain Boot ROM firmware for this adapter\n"
        "This utility does not contain controller firmware for this adapter\n"
        "This utility does not contain FPGA bitfile for this adapter\n"
        "This utility does not contain diagnostic FPGA bitfile for this adapter\n"
        "This utility does not contain KVE firmware for this adapter\n"
        "This utility does not contain CPLD bitfile for this adapter\n";
    expect_run(lab.qsupdate({}), 0, BANNER + expected, "");
}
