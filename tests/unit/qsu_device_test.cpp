// Identity of ports from their VPD and PCI addresses.
#include "lib/utils/linux/qsu_device.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/lab/support/lab_fixture.h"

namespace {

// A serial is 24 digits or "S....R......", taken only from "SN" or "VE" of a read-only resource.
TEST(QsuSerial, FormAndPlaceInTheVpd)
{
    using namespace std::string_literals;
    std::pair<const char *, bool> texts[] = {{"123456789012345678901234", true}, {"12345678901234567890123", false},
                                             {"12345678901234567890123X", false}, {"SABCDRXYZ123", true},
                                             {"SABCDXXYZ123", false}, {"SABCDRXYZ12", false}, {"", false}};
    for (auto [text, passes] : texts)
        EXPECT_EQ(qsu_is_quillstone_serial(text), passes) << text;
    const std::string ro = "\x90\x0f\x00SN\x0cSCCCCRDDDDDD"s; // a read-only resource
    const std::string digits = "123456789012345678901234";
    std::pair<std::string, std::string> vpds[] = {
        // A writable resource and a small one are stepped over.
        {"\x91\x0f\x00SN\x0cSAAAARBBBBBB\x0axy"s + ro + "\x78", "SCCCCRDDDDDD"},
        {"\x78" + ro, ""},         // nothing after the end tag
        {ro.substr(0, 17), ""},    // a field running past the buffer
        {"\x90\x39\x00PN\x0cSAAAARBBBBBBVE\x18"s + digits + "EC\x0cSEEEERFFFFFF\x78", digits},
        {"\x90\x2a\x00V1\x18"s + digits + "YA\x0cSAAAARBBBBBB\x78", ""},
        // Both fields valid: the first one found is the serial.
        {"\x90\x2a\x00SN\x0cSAAAARBBBBBBVE\x18"s + digits + "\x78", "SAAAARBBBBBB"},
    };
    for (const auto &[vpd, serial] : vpds) {
        std::vector<uint8_t> bytes(vpd.begin(), vpd.end()); // exactly sized for the sanitizer
        qsu_device dev{};
        get_qs_serial_vpd(&dev, bytes.data(), bytes.size());
        EXPECT_EQ(dev.serial_number, serial);
    }
}

TEST(QsuPciAddr, ParsesAndPacks)
{
    std::pair<const char *, uint32_t> cases[] = { // a domain beyond 16 bits keeps its port listed
        {"0000:03:00.1", 0x00000301}, {"0001:81:1f.7", 0x000181FF}, {"03:00.0", 0xFFFFFFFF},
        {"0000:03:20.0", 0xFFFFFFFF}, {"0000:03:00.8", 0xFFFFFFFF}, {"10000:e1:00.0", 0x0000E100}};
    for (auto [text, packed] : cases) {
        qsu_device dev{};
        std::strcpy(dev.pci_addr, text);
        EXPECT_EQ(qsu_parse_pci_addr(&dev), packed) << text;
    }
}

// A failing read is an error, not an empty VPD; one failing after data ends the VPD there (older kernels).
TEST(QsuVpd, SysfsIsReadWholeUntilAReadFails)
{
    const std::string big(65536 + 100, 's'), path = "/sys/class/net/eth0/device/vpd";
    std::string config(256, '\0'); // its capability list leads back to its start, past no VPD capability
    config[0x06] = 0x10, config[0x34] = 0x40, config[0x40] = 0x01, config[0x41] = 0x40;
    for (auto [failure, rc, vpd] : {std::tuple{nlohmann::json::array(), 0, big},
                                    {fault(path, "read", "", "EIO"), EIO, std::string()},
                                    {fault(path, "read", "", "ETIMEDOUT", {{"occurrence", 2}}), 0, big.substr(0, 4096)}}) {
        lab::LabState state = lab_host(lab::HostKind::linux_host, {});
        state.faults = lab::faults_from_json(failure.is_array() ? failure : nlohmann::json::array({failure}));
        InProcessLab host(state);
        std::filesystem::create_directories(host.lab().root() + "/sys/class/net/eth0/device");
        std::ofstream(host.lab().root() + "/sys/class/net/eth0/device/config") << config;
        std::ofstream(host.lab().root() + path) << big;
        ScopedPlatform scoped(host.platform());
        const size_t descriptors = open_descriptors();
        qsu_device dev{};
        std::strcpy(dev.netif_name, "eth0");
        uint8_t *data = nullptr;
        size_t len = 0;
        EXPECT_EQ(qsu_device_get_vpd(&dev, &data, &len), rc);
        EXPECT_EQ(data ? std::string(reinterpret_cast<char *>(data), len) : "", vpd);
        std::free(data);
        EXPECT_EQ(open_descriptors(), descriptors);
    }
}

} // namespace
