// Discovery as a user meets it: which interfaces qsupdate lists, in which
// order, how ports become adapters, and where identity comes from on each
// kind of host.
#include <gtest/gtest.h>

#include "lab/lab_model.h"
#include "lab/lab_vpd.h"
#include "tests/lab/support/lab_fixture.h"

using nlohmann::json;

namespace {

const std::string DRIVER_MISSING = "The Duskhollow network adapter driver (qsc) is not loaded.\n"
                                   "You must install and load the driver before running this utility.\n";

json vlan(const std::string &name, const std::string &lower, int id, const std::string &driver,
          const std::string &bus_info)
{
    return {{"ifname", name}, {"kind", "vlan"}, {"lower", lower}, {"vlan_id", id}, {"driver", driver},
            {"version", "1.8"}, {"bus_info", bus_info}, {"mac", "00:1B:7E:5A:10:00"}};
}

// Words of VPD the device hands out when it is read up to its end tag.
size_t vpd_words(const TestLab &lab, size_t adapter)
{
    lab::LabState state = lab::load_state(lab.dir() + "/lab.json");
    std::vector<uint8_t> vpd = lab::build_vpd(state.adapters.at(adapter).vpd);
    return (vpd.size() + 3) / 4;
}

std::string vpd_event(const std::string &pci_addr, size_t words)
{
    return "VPD of " + pci_addr + " read through configuration space: " + std::to_string(words) +
           " reads of 4 bytes";
}

} // namespace

TEST(DiscoveryScenario, SkipsVlanLoopbackAndOtherDriverInterfaces)
{
    TestLab lab({"--adapter", "dogwood2:2"});
    lab.edit([](json &j) {
        // A VLAN as the 802.1Q driver names itself, and one whose ethtool
        // answers come from the port below it: only /proc/net/vlan tells.
        j["interfaces"].push_back(vlan("eth0.100", "eth0", 100, "802.1Q VLAN Support", ""));
        j["interfaces"].push_back(vlan("eth1.7", "eth1", 7, "qsc", "0000:03:00.1"));
    });
    expect_run(lab.qsupdate({"--list"}), 0,
               BANNER + list_line("eth0", "00-1B-7E-5A-10-00") + list_line("eth1", "00-1B-7E-5A-10-01"), "");
}

TEST(DiscoveryScenario, ListsPortsInPciOrderWhateverTheirNames)
{
    TestLab lab({"--adapter", "cedar:2", "--adapter", "dogwood2:2"});
    lab.edit([](json &j) {
        auto &cedar = j["adapters"][0]["ports"];
        auto &dogwood2 = j["adapters"][1]["ports"];
        cedar[0]["ifname"] = "eth3";
        cedar[1]["ifname"] = "eth2";
        dogwood2[0]["ifname"] = "eth1";
        dogwood2[1]["ifname"] = "eth0";
        // A lower bus in a higher domain still comes last.
        dogwood2[0]["pci_addr"] = "0001:01:00.0";
        dogwood2[1]["pci_addr"] = "0001:01:00.1";
    });
    expect_run(lab.qsupdate({"--list"}), 0,
               BANNER + list_line("eth3", "00-1B-7E-5A-10-00") + list_line("eth2", "00-1B-7E-5A-10-01") +
                   list_line("eth1", "00-1B-7E-5A-11-00") + list_line("eth0", "00-1B-7E-5A-11-01"),
               "");
}

// Only an adapter's first port can be named in the OEM document, so the
// number of Device elements counts the adapters that discovery formed.
TEST(DiscoveryScenario, GroupsPortsBySerialNumber)
{
    TestLab lab({"--adapter", "oem", "--adapter", "oem"});
    // The OEM boards carry a 10-character SN and the maker's 24-digit
    // serial in VE: both adapters are told apart only through VE.
    expect_run(lab.qsupdate({"--dell"}), 0, oem_document(2), "");
}

TEST(DiscoveryScenario, GroupsPortsWithoutSerialNumbersTogether)
{
    TestLab lab({"--adapter", "oem", "--adapter", "dogwood2", "--adapter", "oem"});
    lab.edit([](json &j) {
        for (int a : {1, 2}) {
            j["adapters"][a]["config"]["openable"] = false;
            j["adapters"][a]["vpd_sysfs"] = false;
        }
    });
    // The second OEM adapter joins the dogwood2's group, headed by the
    // dogwood2's first port: only the first OEM adapter is reported.
    expect_run(lab.qsupdate({"--dell"}), 0, oem_document(1), "");
}

TEST(DiscoveryScenario, ReadsVpdThroughConfigurationSpaceUpToItsEndTag)
{
    TestLab lab({"--adapter", "oem", "--adapter", "oem:1"});
    lab.edit([](json &j) {
        j["adapters"][0]["config"]["vpd_polls"] = 126; // the last poll qsupdate makes
        j["adapters"][0]["vpd_sysfs"] = false;
        j["adapters"][1]["vpd_sysfs"] = false;
    });
    expect_run(lab.qsupdate({"--dell"}), 0, oem_document(2), "");

    size_t words0 = vpd_words(lab, 0), words1 = vpd_words(lab, 1);
    EXPECT_EQ(lab.events_with("VPD of"),
              (std::vector<std::string>{vpd_event("0000:03:00.0", words0), vpd_event("0000:03:00.1", words0),
                                        vpd_event("0000:04:00.0", words1)}));
    // One 1 ms sleep before each poll of the address register.
    size_t sleeps = 2 * words0 * 126 + words1 * 2;
    EXPECT_EQ(lab.events_with("slept"),
              std::vector<std::string>{"slept " + std::to_string(sleeps) + " times, " +
                                       std::to_string(sleeps / 1000) + "." +
                                       std::to_string(1000 + sleeps % 1000).substr(1) + "000 s in all"});
}

TEST(DiscoveryScenario, ReadsVpdWithoutEndTagAsTheWholeAddressSpace)
{
    TestLab lab({"--adapter", "oem:1", "--adapter", "oem:1"});
    lab.edit([](json &j) {
        for (int a : {0, 1}) {
            j["adapters"][a]["vpd"]["end_tag"] = false;
            j["adapters"][a]["vpd_sysfs"] = false;
            j["adapters"][a]["config"]["vpd_polls"] = 1;
        }
    });
    expect_run(lab.qsupdate({"--dell"}), 0, oem_document(2), "");
    EXPECT_EQ(lab.events_with("VPD of"),
              (std::vector<std::string>{vpd_event("0000:03:00.0", 8192), vpd_event("0000:04:00.0", 8192)}));
}

struct FallbackCase {
    const char *name;
    const char *config_key;
    json value;
    std::string message; // for each port, on standard error
};

class VpdFallback : public testing::TestWithParam<FallbackCase> {};

TEST_P(VpdFallback, ReadsTheSysfsVpdFile)
{
    const FallbackCase &c = GetParam();
    TestLab lab({"--adapter", "oem:1", "--adapter", "oem:1"});
    lab.edit([&](json &j) {
        for (int a : {0, 1})
            j["adapters"][a]["config"][c.config_key] = c.value;
    });
    expect_run(lab.qsupdate({"--dell"}), 0, oem_document(2), "");
    EXPECT_TRUE(lab.events_with("VPD of").empty());

    std::string err;
    if (!c.message.empty())
        for (const char *ifname : {"eth0", "eth1"})
            err += "Failed to open /sys/class/net/" + std::string(ifname) + "/" + c.message;
    expect_run(lab.qsupdate({"--list"}), 0,
               BANNER + list_line("eth0", "00-1B-7E-5A-10-00") + list_line("eth1", "00-1B-7E-5A-11-00"), err);
}

INSTANTIATE_TEST_SUITE_P(
    DiscoveryScenario, VpdFallback,
    testing::Values(
        FallbackCase{"NoVpdCapability", "vpd_capability", false, ""},
        FallbackCase{"NoCapabilityList", "capability_list", false, ""},
        FallbackCase{"SlowerThan126Polls", "vpd_polls", 127, ""},
        FallbackCase{"ConfigCannotBeOpened", "openable", false,
                     "device/config, you may have insufficient permissions.\n"}),
    [](const testing::TestParamInfo<FallbackCase> &info) { return info.param.name; });

TEST(DiscoveryScenario, DriverMissingOnEachKindOfHost)
{
    for (const char *platform : {"linux", "esx", "esxi"}) {
        SCOPED_TRACE(platform);
        TestLab lab({"--platform", platform, "--no-driver"});
        expect_run(lab.qsupdate({"--list"}), 1, BANNER, DRIVER_MISSING + "Fatal error: No such device (19)\n");
    }
}

TEST(DiscoveryScenario, EsxiIdentifiesPortsThroughTheControlDevice)
{
    TestLab lab({"--platform", "esxi", "--adapter", "birch", "--adapter", "dogwood2:1"});
    const std::string list = BANNER + list_line("vmnic1", "00-1B-7E-5A-10-00") +
                             list_line("vmnic2", "00-1B-7E-5A-10-01") + list_line("vmnic3", "00-1B-7E-5A-11-00");
    // Only Birch and Cedar serial numbers can be read on ESXi; the other
    // on-board NIC (vmnic0) belongs to another driver.
    const std::string unsupported = "get_qs_serial_esxi(): unsupported device type.\n";
    expect_run(lab.qsupdate({"--list"}), 0, list, unsupported);

    // Without the driver's answer the ids come from /proc/bus/pci, which
    // still tells the dogwood2 from the birch.
    lab.edit([](json &j) { j["host"]["device_ids_errno"] = 5; });
    expect_run(lab.qsupdate({"--list"}), 0, list, unsupported);

    lab.edit([](json &j) { j["adapters"][1]["proc_bus_pci"] = false; });
    expect_run(lab.qsupdate({"--list"}), 1, BANNER, "Fatal error: No such file or directory (2)\n");
}

TEST(DiscoveryScenario, EsxiFallbackHeaderCarriesSubsystemIds)
{
    TestLab lab({"--platform", "esxi", "--adapter", "oem", "--adapter", "oem"});
    lab.edit([](json &j) {
        j["host"]["device_ids_errno"] = 5;
        j["adapters"][1]["ports"][0]["pci_addr"] = "0001:04:00.0";
        j["adapters"][1]["ports"][1]["pci_addr"] = "0001:04:00.1";
    });
    // No serial numbers on this path for these boards: one group, one
    // element, found through the subsystem ids of the /proc/bus/pci header.
    expect_run(lab.qsupdate({"--dell"}), 0, oem_document(1), "");
}

TEST(DiscoveryScenario, EsxServiceConsoleMakesTheControlNodeOnce)
{
    TestLab lab({"--platform", "esx"});
    const std::string list = BANNER + list_line("eth0", "00-1B-7E-5A-10-00") + list_line("eth1", "00-1B-7E-5A-10-01");
    expect_run(lab.qsupdate({"--list"}), 0, list, "");
    expect_run(lab.qsupdate({"--list"}), 0, list, "");
    EXPECT_EQ(lab.events_with("/dev/qsc_control"),
              std::vector<std::string>{"character device /dev/qsc_control created (245, 1)"});

    // A node left by a driver that had another major number is replaced.
    lab.edit([](json &j) { j["host"]["qsc_control_major"] = 240; });
    expect_run(lab.qsupdate({"--list"}), 0, list, "");
    EXPECT_EQ(lab.events_with("/dev/qsc_control").size(), 3u);
    EXPECT_EQ(lab.events_with("/dev/qsc_control").back(), "character device /dev/qsc_control created (240, 1)");
}

TEST(DiscoveryScenario, EsxServiceConsoleNeedsRoot)
{
    TestLab lab({"--platform", "esx"});
    lab.edit([](json &j) { j["host"]["euid"] = 500; });
    expect_run(lab.qsupdate({"--list"}), 1, BANNER,
               "You must run this utility as root.\nFatal error: Operation not permitted (1)\n");
}

TEST(DiscoveryScenario, EsxServiceConsoleWithoutControlDeviceNumberEndsTheRun)
{
    TestLab lab({"--platform", "esx"});
    // The module is listed as loaded, but has not registered its device.
    lab.edit([](json &j) { j["host"]["driver_loaded"] = false; });
    expect_run(lab.qsupdate({"--list"}), 1, BANNER,
               "failed to find qsc_control in /proc/devices; is driver loaded?\n");
    EXPECT_EQ(lab.events().back(), "qsupdate ended the process itself");
}

TEST(DiscoveryScenario, UnprivilegedUserOnLinuxSeesPortsWithoutSerials)
{
    TestLab lab({"--adapter", "oem"});
    lab.edit([](json &j) { j["host"]["euid"] = 1000; });
    std::string err;
    for (const char *ifname : {"eth0", "eth1"})
        for (const char *file : {"config", "vpd"})
            err += "Failed to open /sys/class/net/" + std::string(ifname) + "/device/" + file +
                   ", you may have insufficient permissions.\n";
    expect_run(lab.qsupdate({"--list"}), 0,
               BANNER + list_line("eth0", "00-1B-7E-5A-10-00") + list_line("eth1", "00-1B-7E-5A-10-01"), err);
}
