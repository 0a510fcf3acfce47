// Discovery as a user meets it: which interfaces qsupdate lists, in which
// order, how ports become adapters, and where identity comes from on each
// kind of host.
#include <gtest/gtest.h>

#include "lab/model/lab_model.h"
#include "lab/model/lab_vpd.h"
#include "tests/lab/support/lab_fixture.h"

using nlohmann::json;

namespace {

json qsc_interface(const std::string &name, const std::string &kind, const std::string &driver,
                   const std::string &bus_info)
{
    return {{"ifname", name}, {"kind", kind}, {"lower", "eth0"}, {"vlan_id", 7}, {"driver", driver},
            {"version", "1.8"}, {"bus_info", bus_info}, {"mac", "00:1B:7E:5A:10:00"}};
}

std::string vpd_event(const std::string &pci_addr, size_t words)
{
    return "VPD of " + pci_addr + " read through configuration space: " + std::to_string(words) +
           " reads of 4 bytes, all under the exclusive lock";
}

json fault(const std::string &target, const std::string &operation, const std::string &request,
           const std::string &error)
{
    json f = {{"target", target}, {"operation", operation}, {"errno", error}};
    if (!request.empty())
        f["request"] = request;
    return f;
}

} // namespace

TEST(DiscoveryScenario, SkipsVlanAndOtherDriverInterfacesButNotABadBusAddress)
{
    TestLab lab({"--adapter", "dogwood2:2"}); // the host also has lo and eno1 (brindle)
    lab.edit([](json &j) {
        // A VLAN as the 802.1Q driver names itself, and one whose ethtool
        // answers come from the port below it: only /proc/net/vlan tells.
        j["interfaces"].push_back(qsc_interface("eth0.100", "vlan", "802.1Q VLAN Support", ""));
        j["interfaces"].push_back(qsc_interface("eth1.7", "vlan", "qsc", "0000:03:00.1"));
        // A driver whose name only starts like ours is another driver.
        j["interfaces"].push_back(qsc_interface("eth4", "ethernet", "qscvf", "0000:03:00.2"));
    });
    expect_run(lab.qsupdate({"--list"}), 0, TWO_PORTS, "");

    lab.edit([](json &j) { j["interfaces"].push_back(qsc_interface("eth5", "ethernet", "qsc", "03:00.0")); });
    expect_run(lab.qsupdate({"--list"}), 1, BANNER, "Fatal error: Invalid argument (22)\n");
}

// A port whose driver information or MAC address cannot be read is not
// listed with made-up values: the enumeration fails (even when the
// interface went away between the two).
TEST(DiscoveryScenario, FailingInterfaceIoctlsFailTheEnumeration)
{
    for (auto [request, error, message] : {std::tuple{"SIOCGIFHWADDR", "ENODEV", "No such device (19)"},
                                           {"SIOCETHTOOL", "EIO", "Input/output error (5)"}}) {
        SCOPED_TRACE(request);
        TestLab lab;
        lab.edit([&](json &j) { j["faults"] = {fault("eth1", "ioctl", request, error)}; });
        expect_run(lab.qsupdate({"--list"}), 1, BANNER, "Fatal error: " + std::string(message) + "\n");
        EXPECT_EQ(lab.events_with("fault injected"),
                  std::vector<std::string>{"fault injected: ioctl " + std::string(request) +
                                           " of eth1 (occurrence 1) failed with " + error});
    }
}

TEST(DiscoveryScenario, ListsPortsInPciOrderWhateverTheirNames)
{
    TestLab lab({"--adapter", "cedar:2", "--adapter", "dogwood2:2"});
    lab.edit([](json &j) {
        for (int i = 0; i < 4; ++i)
            j["adapters"][i / 2]["ports"][i % 2]["ifname"] = "eth" + std::to_string(3 - i);
        // A lower bus in a higher domain still comes last.
        j["adapters"][1]["ports"][0]["pci_addr"] = "0001:01:00.0";
        j["adapters"][1]["ports"][1]["pci_addr"] = "0001:01:00.1";
    });
    expect_run(lab.qsupdate({"--list"}), 0,
               BANNER + list_line("eth3", "00-1B-7E-5A-10-00") + list_line("eth2", "00-1B-7E-5A-10-01") +
                   list_line("eth1", "00-1B-7E-5A-11-00") + list_line("eth0", "00-1B-7E-5A-11-01"),
               "");
}

TEST(DiscoveryScenario, ReadsVpdThroughConfigurationSpaceUpToItsEndTagOrWhole)
{
    TestLab lab({"--adapter", "oem", "--adapter", "oem:1"});
    lab.edit([](json &j) {
        j["adapters"][0]["config"]["vpd_polls"] = 126; // the last poll qsupdate makes
        j["adapters"][1]["vpd"]["end_tag"] = false;   // then all 32768 bytes are read
        for (int a : {0, 1}) {
            j["adapters"][a]["vpd_sysfs"] = false;
            j["adapters"][a]["vpd_writable"] = true;
        }
    });
    expect_run(lab.qsupdate({"--dell"}), 0, oem_document(2), "");
    // Discovery only reads: no VPD write reached an EEPROM that would take it.
    EXPECT_EQ(lab.events_with("written"), std::vector<std::string>{});
    EXPECT_EQ(lab.description()["adapters"][0]["eeprom"], "");

    size_t words = (lab::build_vpd(lab::load_state(lab.dir() + "/lab.json").adapters[0].vpd).size() + 3) / 4;
    EXPECT_EQ(lab.events_with("VPD of"),
              (std::vector<std::string>{vpd_event("0000:03:00.0", words), vpd_event("0000:03:00.1", words),
                                        vpd_event("0000:04:00.0", 8192)}));
    // One 1 ms sleep before each poll of the address register; the second
    // adapter answers at its second poll.
    size_t sleeps = 2 * words * 126 + 8192 * 2;
    char slept[80];
    std::snprintf(slept, sizeof slept, "slept %zu times, %zu.%03zu000 s in all", sleeps, sleeps / 1000, sleeps % 1000);
    EXPECT_EQ(lab.events_with("slept"), std::vector<std::string>{slept});
}

// Without a usable VPD capability, or when the lock or the address write
// fails, the VPD is read from sysfs; nothing is polled that cannot answer
// and no other configuration register is written.
TEST(DiscoveryScenario, FallsBackToTheSysfsVpdFile)
{
    // The first identifier string pushes the serial past the page one sysfs read returns.
    const json long_id = {{"id_string", std::string(4100, 'x')}};
    const json no_faults = json::array();
    struct Case {
        json adapter_patch, faults;
        bool polls;
    } cases[] = {
        {{{"config", {{"vpd_capability", false}}}, {"vpd", long_id}}, no_faults, false},
        {{{"config", {{"capability_list", false}}}}, no_faults, false},
        {{{"config", {{"vpd_polls", 127}}}}, no_faults, true},
        {json::object(), {fault("*", "lock", "", "ENOLCK")}, false},
        {json::object(), {fault("*", "write", "", "EIO")}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.adapter_patch.dump().substr(0, 60) + c.faults.dump());
        TestLab lab({"--adapter", "oem:1", "--adapter", "oem:1"});
        lab.edit([&](json &j) {
            for (int a : {0, 1})
                j["adapters"][a].merge_patch(c.adapter_patch);
            j["faults"] = c.faults;
        });
        expect_run(lab.qsupdate({"--dell"}), 0, oem_document(2), "");
        EXPECT_EQ(lab.events_with("VPD of"), std::vector<std::string>{});
        EXPECT_EQ(lab.events_with("configuration space of"), std::vector<std::string>{});
        EXPECT_EQ(lab.events_with("slept").size(), c.polls ? 1u : 0u);
    }
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
    expect_run(lab.qsupdate({"--list"}), 0, TWO_PORTS, err);
}

TEST(DiscoveryScenario, DriverMissingOnEachKindOfHost)
{
    for (const char *platform : {"linux", "esx", "esxi"}) {
        SCOPED_TRACE(platform);
        expect_run(TestLab({"--platform", platform, "--no-driver"}).qsupdate({"--list"}), 1, BANNER,
                   "The Duskhollow network adapter driver (qsc) is not loaded.\n"
                   "You must install and load the driver before running this utility.\n"
                   "Fatal error: No such device (19)\n");
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
    // Only "vmnic" and a number names an interface node: another node that
    // merely starts so (no driver holds it) is not opened.
    lab.edit([](json &j) { j["nodes"].push_back({{"path", "/dev/vmnic7-old"}, {"major", 200}, {"minor", 0}}); });
    expect_run(lab.qsupdate({"--list"}), 0, list, unsupported);
    // Each Birch port's serial number comes from its static configuration.
    EXPECT_EQ(lab.events_with("MCDI read"), (std::vector<std::string>{"MCDI read 0x3: 65536 bytes in 261 commands",
                                                                      "MCDI read 0x4: 65536 bytes in 261 commands"}));

    // Without the driver's answer the ids come from /proc/bus/pci, which
    // still tells the dogwood2 from the birch.
    lab.edit([](json &j) { j["faults"] = {fault("*", "command", "0xEF22", "EIO")}; });
    expect_run(lab.qsupdate({"--list"}), 0, list, unsupported);
    EXPECT_EQ(lab.events_with("fault injected").size(), 3u);

    lab.edit([](json &j) { j["adapters"][1]["proc_bus_pci"] = false; });
    expect_run(lab.qsupdate({"--list"}), 1, BANNER, "Fatal error: No such file or directory (2)\n");

    // The header's path comes from the PCI address, which must parse.
    lab.edit([](json &j) { j["adapters"][1]["ports"][0]["pci_addr"] = "04:00.0"; });
    expect_run(lab.qsupdate({"--list"}), 1, BANNER, "Fatal error: Invalid argument (22)\n");
}

// On the ESX service console qsupdate makes the control node itself, keeps
// it while it is right, and needs root and the driver's device number.
TEST(DiscoveryScenario, EsxServiceConsoleControlNode)
{
    TestLab lab({"--platform", "esx"});
    const std::string made = "character device /dev/qsc_control created (245, 1)";
    expect_run(lab.qsupdate({"--list"}), 0, TWO_PORTS, "");
    expect_run(lab.qsupdate({"--list"}), 0, TWO_PORTS, "");
    std::vector<std::string> expected = {made};
    EXPECT_EQ(lab.events_with("/dev/qsc_control"), expected);

    // A node of another minor or type, or left by a driver that had another
    // major number, is replaced.
    for (auto [pointer, value] : std::vector<std::pair<std::string, json>>{
             {"/nodes/0/minor", 0}, {"/nodes/0/block", true}, {"/host/qsc_control_major", 240}}) {
        SCOPED_TRACE(pointer);
        lab.edit([&](json &j) { j[json::json_pointer(pointer)] = value; });
        expect_run(lab.qsupdate({"--list"}), 0, TWO_PORTS, "");
        expected.push_back("/dev/qsc_control removed");
        expected.push_back(value == 240 ? "character device /dev/qsc_control created (240, 1)" : made);
        EXPECT_EQ(lab.events_with("/dev/qsc_control"), expected);
        EXPECT_EQ(lab.description()["nodes"][0]["mode"], 0600);
    }

    lab.edit([](json &j) { j["host"]["euid"] = 500; });
    expect_run(lab.qsupdate({"--list"}), 1, BANNER,
               "You must run this utility as root.\nFatal error: Operation not permitted (1)\n");
    // The module is listed as loaded, but has not registered its device.
    lab.edit([](json &j) {
        j["host"]["euid"] = 0;
        j["host"]["driver_loaded"] = false;
    });
    expect_run(lab.qsupdate({"--list"}), 1, BANNER, "failed to find qsc_control in /proc/devices; is driver loaded?\n");
    EXPECT_EQ(lab.events_with("").back(), "qsupdate ended the process itself");
    // The command that looks the number up cannot even be started.
    lab.edit([](json &j) {
        j["host"]["driver_loaded"] = true;
        j["faults"] = {fault("grep qsc_control /proc/devices", "run", "", "EAGAIN")};
    });
    expect_run(lab.qsupdate({"--list"}), 1, BANNER,
               "failed to open /proc/devices; are you root? (11, Resource temporarily unavailable)\n");
}
