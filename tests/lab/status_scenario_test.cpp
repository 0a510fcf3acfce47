// The status report as a user sees it, byte for byte, through the lab.
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "lib/tlv/tlv_partition.h"
#include "lib/utils/linux/vpd.h"
#include "tests/lab/support/lab_fixture.h"

using nlohmann::json;

namespace {

// The first adapter's configuration with family version 7.7.0 and `extra` items.
void flash_config(TestLab &lab, const std::vector<std::pair<uint32_t, std::vector<uint8_t>>> &extra = {})
{
    std::vector<uint8_t> vpd(64);
    std::copy(vpd_dynamic_init, vpd_dynamic_init + VPD_DYNAMIC_INIT_LEN, vpd.begin());
    ASSERT_EQ(vpd_set(vpd.data(), vpd.size(), 'V', 'D', "7.7.0", 5), 0);
    vpd.resize(vpd_used_len(vpd.data()));
    std::string b(65536, '\xFF');
    tlv_init_dynamic_config_buf(b.data(), b.size());
    nvram_partition_t p;
    tlv_init_partition_from_buffer(&p, b.data(), b.size());
    tlv_append_to_partition(&p, 0x10200000, vpd.data(), vpd.size());
    for (const auto &[tag, value] : extra)
        ASSERT_EQ(tlv_append_to_partition(&p, tag, value.data(), value.size()), 0);
    std::ofstream(lab.dir() + "/flash/a1-dynamic-cfg-00.bin", std::ios::binary) << b;
}

std::string header(const std::string &ifname, const std::string &mac)
{
    return "\n" + ifname + " - MAC: " + mac + "\n";
}

// A port's report rows, each value in the column after its label.
std::string rows(std::initializer_list<std::pair<std::string, std::string>> label_values)
{
    std::string text;
    for (const auto &[label, value] : label_values) {
        const std::string head = "    " + label + ":";
        text += head + std::string(head.size() < 24 ? 24 - head.size() : 1, ' ') + value + "\n";
    }
    return text;
}

std::string corrupt(const std::string &ifname)
{
    return "\nDynamic configuration is corrupt. Run 'qsboot -i " + ifname +
           " --repair' to revert back to firmware defaults.\n"
           "\nPlease contact support@duskhollow.example to report this incident and for more information on "
           "recovery procedure\n";
}

// The verdicts for kinds of which no firmware is included.
std::string lacks(std::initializer_list<const char *> kinds)
{
    std::string verdicts = "\n";
    for (const char *kind : kinds)
        verdicts += "This utility does not contain " + std::string(kind) + " for this adapter\n";
    return verdicts;
}

std::string phy(const std::string &type)
{
    return rows({{"Firmware version", "v3.3.2.1000"}, {"PHY type", type}, {"PHY version", "v2.0.2.5"}});
}

} // namespace

// Each port's part of the report by generation and by what its configuration allows.
TEST(StatusScenario, ScreensOfEachGenerationAndConfiguration)
{
    const std::string none_available = "No firmware is available for any adapter\n";
    const std::string none_accessed = "\nNo adapters could be accessed. You may need to run this utility as root.\n";
    const std::string p0 = header("eth0", "00-1B-7E-5A-10-00"), p1 = header("eth1", "00-1B-7E-5A-10-01");
    const std::string family = "    Firmware version:   v7.7.0\n\n";
    const std::string sibling = "    Firmware cannot be accessed via this interface,\n    please use eth1.\n";
    auto unread = [](std::string port) {
        return "Failed to read partition " + port + " qsc_dynamic_cfg:00 offset 0 size 4\n";
    };
    const std::string no_phy = lacks({"PHY firmware"});
    const std::vector<std::string> dogwood2 = {"--adapter", "dogwood2:2"}, birch = {"--adapter", "birch:2"};
    auto with_family = [](TestLab &lab) { flash_config(lab); };
    auto damaged = [](const char *preset, const char *damage) {
        return std::vector<std::string>{"--adapter", preset, "--damaged-config", damage};
    };
    // The lab's damage is damage qsupdate itself sees on every generation.
    const std::string damaged_line = "    Dynamic configuration was found damaged: no versions can be read.\n\n";
    const std::string every_kind =
        header("eth0", "00-1B-7E-5A-10-00") +
        rows({{"Firmware version", "v7.4.3.1008"}, {"Controller type", "Quillstone QSC1250 family"},
              {"Controller version", "v7.4.3.1008"}, {"Boot ROM version", "v7.4.1.1003"},
              {"FPGA type", "timestamp peripheral"}, {"FPGA version", "v1.3.0.2"}, {"MUM type", "Micro-controller"},
              {"MUM version", "v3.0.2.5"}, {"UEFI ROM version", "v3.1.0.6"}, {"Bundle type", "Y3552"},
              {"Bundle version", "v7.4.3.1008"}}) +
        lacks({"Boot ROM firmware", "UEFI ROM firmware", "controller firmware", "FPGA bitfile", "MUM firmware",
               "Bundle firmware"}) +
        header("eth1", "00-1B-7E-5A-11-00") +
        rows({{"Firmware version", "v6.2.0.1016"}, {"Controller type", "Quillstone QSC1200 family"},
              {"Controller version", "v6.2.0.1016"}, {"Boot ROM version", "v6.2.0.1004"},
              {"FPGA type", "KVE peripheral"}, {"FPGA version", "v2.3.0.40"},
              {"Diagnostic FPGA type", "KVE peripheral"}, {"Diagnostic FPGA version", "v2.2.0.31"},
              {"FC type", "KVE controller"}, {"FC version", "v2.0.4.1"}, {"MUM type", "Micro-controller"},
              {"MUM version", "v2.1.0.14"}, {"UEFI ROM version", "v2.6.1.2"}}) +
        lacks({"Boot ROM firmware", "UEFI ROM firmware", "controller firmware", "FPGA bitfile",
               "diagnostic FPGA bitfile", "KVE firmware", "MUM firmware"}) +
        header("eth2", "00-1B-7E-5A-12-00") +
        rows({{"Firmware version", "v7.4.3.1008"}, {"Controller type", "Quillstone QSC1250 family"},
              {"Controller version", "v7.4.3.1008"}, {"Boot ROM version", "v7.4.1.1003"},
              {"MUM type", "Micro-controller"}, {"MUM version", "v3.0.1.9"}, {"UEFI ROM version", "v3.1.0.6"},
              {"Bundle type", "Y3522 Dell"}, {"Bundle version", "v7.4.3.1008"}}) +
        lacks({"Boot ROM firmware", "UEFI ROM firmware", "controller firmware", "MUM firmware", "Bundle firmware"}) +
        header("eth3", "00-1B-7E-5A-13-00") + phy("QT2025C") +
        rows({{"Controller type", "Quillstone QSC1000 family"}, {"Controller version", "v3.3.2.1000"},
              {"Boot ROM version", "v3.3.1.1001"}, {"FPGA type", "KVE peripheral"}, {"FPGA version", "v1.1.0.12"},
              {"Diagnostic FPGA type", "KVE peripheral"}, {"Diagnostic FPGA version", "v1.0.0.7"},
              {"FC type", "KVE controller"}, {"FC version", "v1.2.0.3"}, {"CPLD type", "1902 CPLD"},
              {"CPLD version", "v1.0.0.4"}}) +
        lacks({"PHY firmware", "Boot ROM firmware", "controller firmware", "FPGA bitfile", "diagnostic FPGA bitfile",
               "KVE firmware", "CPLD bitfile"});
    expect_screens({
        {"both ports read it", dogwood2, {}, with_family, {}, 0, BANNER + p0 + family + p1 + family, none_available},
        {"only the sibling port exports it", dogwood2,
         [](json &j) {
             j["host"]["mcdi_available"] = false;
             for (json &p : j["adapters"][0]["partitions"])
                 if (p["id"] == "a1-dynamic-cfg-00")
                     p["mtd"] = json::array({1});
         },
         with_family, {}, 0, BANNER + p0 + sibling + p1 + family, none_available},
        {"no port reads it", dogwood2,
         [](json &j) { j["faults"] = {fault("a1-dynamic-cfg-00", "read")}; },
         with_family, {}, 1,
         BANNER + p0 + sibling + corrupt("eth0") + p1 +
             "    Firmware cannot be accessed via this interface,\n    please use eth0.\n" + corrupt("eth1"),
         unread("eth0") + unread("eth1") + unread("eth1") + unread("eth0") + none_accessed},
        {"a port with no partition and no sibling", {"--adapter", "birch:1"},
         [](json &j) {
             std::erase_if(j["adapters"][0]["partitions"].get_ref<json::array_t &>(),
                           [](const json &p) { return p["id"] == "a1-dynamic-cfg-00-p0"; });
         },
         {}, {}, 1,
         BANNER + p0 + "    Firmware cannot be accessed via this interface.\n"
                       "    Its dynamic configuration cannot be reached through any port of the adapter.\n",
         none_accessed},
        {"no configuration on this generation", {"--adapter", "alder-0710:1"}, {}, {}, {}, 0, BANNER + p0 + "\n",
         none_available},
        {"birch, bad checksum", damaged("birch:1", "bad-checksum"), {}, {}, {}, 0, BANNER + p0 + damaged_line,
         none_available},
        {"birch, erased", damaged("birch:1", "blank"), {}, {}, {}, 0,
         BANNER + p0 + "    Dynamic configuration was found erased: no versions are recorded.\n\n", none_available},
        {"cedar, generations differ", damaged("cedar:1", "bad-generation"), {}, {}, {}, 0,
         BANNER + p0 + "(Dynamic configuration: header and trailer generation counts do not match)\n" + damaged_line,
         none_available},
        {"dogwood2, truncated", damaged("dogwood2:1", "truncated-segment"), {}, {}, {}, 0, BANNER + p0 + damaged_line,
         "Unexpected error 4 stripping partition trailer?\n" + none_available},
        // Rows of one type on a port share its installed version.
        {"a second PHY partition of another subtype", birch,
         [](json &j) {
             json extra = j["adapters"][0]["partitions"];
             for (json &p : extra)
                 if (p["kind"] == 5 && p["mtd"] == json::array({0})) {
                     p["id"] = "a1-phy-11-p0", p["subtype"] = "0x11", p["mcdi_type"] = "0xffffffff";
                     j["adapters"][0]["partitions"].push_back(p);
                 }
         },
         [](TestLab &lab) {
             std::ofstream(lab.dir() + "/flash/a1-phy-11-p0.bin", std::ios::binary) << std::string(65536, '\xFF');
         },
         {"--phy"}, 0,
         BANNER + p0 + phy("QT2025C") + rows({{"PHY type", "QT2025_KR"}, {"PHY version", "v2.0.2.5"}}) + no_phy + p1 +
             phy("QT2025C") + no_phy,
         ""},
        // The two PHYs of the board 0x1B7E0813 are told apart by port.
        {"the board with two PHY kinds", birch,
         [](json &j) {
             j["adapters"][0]["device_id"] = "0x813";
             for (json &p : j["adapters"][0]["partitions"])
                 if (p["kind"] == 5)
                     p["subtype"] = "0xa";
         },
         {}, {"--phy"}, 0,
         BANNER + p0 + phy("Quillstone QSL1021") + no_phy + p1 + phy("Quillstone QST1001B") + no_phy, ""},
        {"a boot ROM recorded as iPXE", {"--adapter", "dogwood2:1"}, {},
         [](TestLab &lab) { flash_config(lab, {{0x10060300, {9, 0, 9, 0, 9, 0, 0x0F, 0x27}}}); }, {"--bootrom"}, 0,
         BANNER + p0 + rows({{"Firmware version", "v7.7.0"}, {"Controller type", "Quillstone QSC1250"}}) +
             rows({{"Boot ROM version", "iPXE"}}) + "\nThe current Boot ROM is an iPXE image.\n",
         ""},
        // Every kind in registry order; a BD20 board's PHY or CPLD partition is passed over.
        {"every kind of each generation",
         {"--adapter", "dogwood2:1", "--adapter", "dogwood:1", "--adapter", "oem:1", "--adapter", "birch:1"},
         [](json &j) {
             for (auto [kind, id, subtype] : {std::tuple{5, "a1-phy-09", "0x9"}, {8, "a1-cpld-01", "0x1"}}) {
                 json p = j["adapters"][0]["partitions"][0];
                 p.update({{"id", id}, {"kind", kind}, {"subtype", subtype}, {"size", "0x10000"}});
                 p["mcdi_type"] = "none";
                 j["adapters"][0]["partitions"].push_back(p);
             }
         },
         [](TestLab &lab) {
             for (const char *id : {"a1-phy-09", "a1-cpld-01"})
                 std::ofstream(lab.dir() + "/flash/" + id + ".bin", std::ios::binary) << std::string(65536, '\xFF');
         },
         {}, 0, BANNER + every_kind, ""},
    });
}

// The verdict on a user image offers a command, image quoted, adapter as given, that works.
TEST(StatusScenario, UserImageAgainstTheInstalledVersion)
{
    const auto head = BANNER + header("eth0", "00-1B-7E-5A-10-00") +
                      rows({{"Firmware version", "v7.4.3.1008"}, {"Controller type", "Quillstone QSC1250 family"},
                            {"Controller version", "v7.4.3.1008"}}) + "\n";
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
        const std::string image = "'" + lab.dir() + "/it'\\''s new.bin'";
        std::filesystem::rename(resolve(lab, "img:3:37:" + std::string(c.version)), lab.dir() + "/it's new.bin");
        const std::string offered = "qsupdate " + c.offered + " --image=" + image + c.adapter;
        CommandResult r = lab.run_printed("qsupdate --image=" + image + c.options);
        const std::string advice = c.offered.empty() ? "" : "   - run \"" + offered + "\" to perform an update\n";
        expect_run(r, 0, head + c.verdict + advice, "");
        if (!c.offered.empty()) {
            r = lab.run_printed(offered, "y\n");
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_NE(r.out.find("eth0: writing controller firmware\n"), std::string::npos) << r.out;
        }
    }
}

// Each configuration is read once per adapter (plus a 4-byte probe per port), no other partition.
TEST(StatusScenario, ReadsEachConfigurationOnce)
{
    TestLab lab({"--adapter", "dogwood2:2", "--adapter", "oem:2", "--adapter", "birch:2"});
    ASSERT_EQ(lab.qsupdate({}).status, 0);
    const json description = lab.description();
    for (const json &a : description["adapters"])
        for (const json &p : a["partitions"]) {
            const uint64_t size = std::stoul(p["size"].get<std::string>(), nullptr, 0);
            const uint64_t ports = p["mtd"].is_array() ? p["mtd"].size() : a["ports"].size();
            const uint64_t expected = p["kind"] == 1    ? size + 4 * ports
                                      : p["kind"] != 18 ? 0
                                                        : (a["preset"] == "oem" ? size : 8);
            EXPECT_EQ(p.value("last_run", json::object()).value("bytes_read", uint64_t{0}), expected) << p["id"];
        }
}
