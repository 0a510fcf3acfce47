// Discovery and the run loop as a user meets them, on each kind of host.

#include <gtest/gtest.h>
#include <tinyxml2.h>

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

} // namespace

TEST(DiscoveryScenario, ListsAndSelections)
{
    const std::vector<std::string> dflt, oem = {"--adapter", "oem"};
    const std::vector<std::string> esxi = {"--platform", "esxi", "--adapter", "birch", "--adapter", "dogwood2:1"};
    const std::string esxi_list = BANNER + list_line("vmnic1", "00-1B-7E-5A-10-00") +
                                  list_line("vmnic2", "00-1B-7E-5A-10-01") + list_line("vmnic3", "00-1B-7E-5A-11-00");
    // Only Birch and Cedar serials can be read on ESXi; vmnic0 is another driver's.
    const std::string unsupported = "get_qs_serial_esxi(): unsupported device type.\n";
    const std::string no_driver = "The Duskhollow network adapter driver (qsc) is not loaded.\n"
                                  "You must install and load the driver before running this utility.\n"
                                  "Fatal error: No such device (19)\n";
    std::string unprivileged;
    for (const char *ifname : {"eth0", "eth1"})
        for (const char *file : {"config", "vpd"})
            unprivileged += "Failed to open /sys/class/net/" + std::string(ifname) + "/device/" + file +
                            ", you may have insufficient permissions.\n";
    auto ioctl_fails = [](const char *request, const char *error) {
        return [=](json &j) { j["faults"] = {fault("eth1", "ioctl", request, error)}; };
    };
    // Without the driver's answer the ids come from /proc/bus/pci.
    auto esxi_without_ids = [](bool header, std::string pci_addr) {
        return [=](json &j) {
            j["faults"] = {fault("*", "command", "0xEF22", "EIO")};
            j["adapters"][1]["proc_bus_pci"] = header;
            if (!pci_addr.empty())
                j["adapters"][1]["ports"][0]["pci_addr"] = pci_addr;
        };
    };
    const std::vector<std::string> two_oem = {"--adapter", "oem", "--adapter", "oem"};
    auto bonded = [](json &j) { j["adapters"][1]["ports"][0]["mac"] = "00:1B:7E:5A:10:00"; };
    expect_screens({
        // VLANs (named by either driver) and a driver named like ours are not our ports.
        {"VLANs and other drivers' ports", {"--adapter", "dogwood2:2"},
         [](json &j) {
             j["interfaces"].push_back(qsc_interface("eth0.100", "vlan", "802.1Q VLAN Support", ""));
             j["interfaces"].push_back(qsc_interface("eth1.7", "vlan", "qsc", "0000:03:00.1"));
             j["interfaces"].push_back(qsc_interface("eth4", "ethernet", "qscvf", "0000:03:00.2"));
         },
         {}, {"--list"}, 0, TWO_PORTS, ""},
        {"a bus address without its domain", dflt,
         [](json &j) { j["interfaces"].push_back(qsc_interface("eth5", "ethernet", "qsc", "03:00.0")); }, {},
         {"--list"}, 1, BANNER, "Fatal error: Invalid argument (22)\n"},
        // No port is listed with made-up values, even when it went away meanwhile.
        {"MAC address unread", dflt, ioctl_fails("SIOCGIFHWADDR", "ENODEV"), {}, {"--list"}, 1, BANNER,
         "Fatal error: No such device (19)\n"},
        {"driver information unread", dflt, ioctl_fails("SIOCETHTOOL", "EIO"), {}, {"--list"}, 1, BANNER,
         "Fatal error: Input/output error (5)\n"},
        {"PCI order whatever the names", {"--adapter", "cedar:2", "--adapter", "dogwood2:2"},
         [](json &j) {
             for (int i = 0; i < 4; ++i)
                 j["adapters"][i / 2]["ports"][i % 2]["ifname"] = "eth" + std::to_string(3 - i);
             // A lower bus in a higher domain still comes last.
             j["adapters"][1]["ports"][0]["pci_addr"] = "0001:01:00.0";
             j["adapters"][1]["ports"][1]["pci_addr"] = "0001:01:00.1";
         },
         {}, {"--list"}, 0,
         BANNER + list_line("eth3", "00-1B-7E-5A-10-00") + list_line("eth2", "00-1B-7E-5A-10-01") +
             list_line("eth1", "00-1B-7E-5A-11-00") + list_line("eth0", "00-1B-7E-5A-11-01"),
         ""},
        {"an unprivileged user on Linux", oem, [](json &j) { j["host"]["euid"] = 1000; }, {}, {"--list"}, 0,
         TWO_PORTS, unprivileged},
        {"no driver on Linux", {"--no-driver"}, {}, {}, {"--list"}, 1, BANNER, no_driver},
        {"no driver on ESX", {"--platform", "esx", "--no-driver"}, {}, {}, {"--list"}, 1, BANNER, no_driver},
        {"no driver on ESXi", {"--platform", "esxi", "--no-driver"}, {}, {}, {"--list"}, 1, BANNER, no_driver},
        // Only "vmnic" and a number names an interface node; others are not opened.
        {"ESXi", esxi,
         [](json &j) { j["nodes"].push_back({{"path", "/dev/vmnic7-old"}, {"major", 200}, {"minor", 0}}); }, {},
         {"--list"}, 0, esxi_list, unsupported},
        {"ESXi, ids unanswered", esxi, esxi_without_ids(true, ""), {}, {"--list"}, 0, esxi_list, unsupported},
        {"ESXi, ids unanswered and no header", esxi, esxi_without_ids(false, ""), {}, {"--list"}, 1, BANNER,
         "Fatal error: No such file or directory (2)\n"},
        // The header's path comes from the PCI address, which must parse.
        {"ESXi, an address without its domain", esxi, esxi_without_ids(false, "04:00.0"), {}, {"--list"}, 1, BANNER,
         "Fatal error: Invalid argument (22)\n"},
        {"a MAC address nobody has", dflt, {}, {}, {"--adapter=0:1b:7e:5a:10:9"}, 2, BANNER,
         "No Duskhollow adapters found with MAC address 00-1B-7E-5A-10-09\n"},
        // A dogwood2 of the maker's own is not in the OEM table.
        {"the OEM document without OEM boards", dflt, {}, {}, {"--dell"}, 1, oem_document(0), ""},
        {"the OEM document names an adapter's first port", oem, {}, {}, {"--dell", "--adapter=eth1"}, 1,
         oem_document(0), ""},
        {"the OEM document of the first port", oem, {}, {}, {"--dell", "--adapter=eth0"}, 0, oem_document(1), ""},
        // Bonded OEM adapters share a MAC: only VE's 24-digit serial tells them apart.
        {"bonded OEM adapters", two_oem, bonded, {}, {"--dell"}, 0, oem_document(2), ""},
        {"bonded OEM adapters, one selected", two_oem, bonded, {}, {"--dell", "--adapter=00-1b-7e-5a-10-00"}, 0,
         oem_document(1), ""},
        // The driver's version, asked of the first port, is unknown when unanswered.
        {"the driver's version unanswered", dflt,
         [](json &j) { j["faults"] = {fault("eth0", "ioctl", "SIOCETHTOOL", "EIO", {{"occurrence", 2}})}; }, {}, {"--version"}, 0,
         BANNER + "Duskhollow firmware update utility: v7.6.1.1006\nNetwork adapter driver version: unknown\n", ""},
        {"a name of the longest length", dflt,
         [](json &j) { j["adapters"][0]["ports"][1]["ifname"] = "enp3s0f1np1abcd"; }, {}, {"--list"}, 0,
         BANNER + list_line("eth0", "00-1B-7E-5A-10-00") + list_line("enp3s0f1np1abcd", "00-1B-7E-5A-10-01"), ""},
    });
}

// VPD through configuration space (polled, locked, never written), else through sysfs.
TEST(DiscoveryScenario, VpdThroughConfigurationSpaceElseSysfs)
{
    auto vpd_event = [](const std::string &pci_addr, size_t words) {
        return "VPD of " + pci_addr + " read through configuration space: " + std::to_string(words) +
               " reads of 4 bytes, all under the exclusive lock";
    };
    TestLab lab({"--adapter", "oem", "--adapter", "oem:1"});
    lab.edit([](json &j) {
        j["adapters"][0]["config"]["vpd_polls"] = 126; // the last poll qsupdate makes
        j["adapters"][1]["vpd"]["end_tag"] = false;   // then all 32768 bytes are read
        for (int a : {0, 1})
            j["adapters"][a].merge_patch({{"vpd_sysfs", false}, {"vpd_writable", true}});
    });
    expect_run(lab.qsupdate({"--dell"}), 0, oem_document(2), "");
    EXPECT_EQ(lab.description()["adapters"][0]["eeprom"], "");
    const size_t words = (lab::build_vpd(lab::load_state(lab.dir() + "/lab.json").adapters[0].vpd).size() + 3) / 4;
    const size_t sleeps = 2 * words * 126 + 8192 * 2; // the second adapter answers at its second poll
    char slept[80];
    std::snprintf(slept, sizeof slept, "slept %zu times, %zu.%03zu000 s in all", sleeps, sleeps / 1000, sleeps % 1000);
    EXPECT_EQ(lab.events_with("VPD of"), (std::vector<std::string>{vpd_event("0000:03:00.0", words),
                                                                    vpd_event("0000:03:00.1", words),
                                                                    vpd_event("0000:04:00.0", 8192)}));
    EXPECT_EQ(lab.events_with("slept"), std::vector<std::string>{slept});
    EXPECT_EQ(lab.events_with("written"), std::vector<std::string>{});

    // The first identifier string pushes the serial past the page one sysfs read returns.
    const json none = json::array();
    const struct {
        json adapter_patch, faults;
        bool polls;
    } fallbacks[] = {
        {{{"config", {{"vpd_capability", false}}}, {"vpd", {{"id_string", std::string(4100, 'x')}}}}, none, false},
        {{{"config", {{"capability_list", false}}}}, none, false},
        {{{"config", {{"vpd_polls", 127}}}}, none, true},
        {json::object(), {fault("*", "lock", "", "ENOLCK")}, false},
        {json::object(), {fault("*", "write", "", "EIO")}, false},
        {json::object(), {fault("*", "lseek", "", "EIO")}, false},
    };
    for (const auto &c : fallbacks) {
        SCOPED_TRACE(c.adapter_patch.dump().substr(0, 60) + c.faults.dump());
        TestLab lab({"--adapter", "oem:1", "--adapter", "oem:1"});
        lab.edit([&](json &j) {
            for (int a : {0, 1})
                j["adapters"][a].merge_patch(c.adapter_patch);
            j["faults"] = c.faults;
        });
        expect_run(lab.qsupdate({"--dell"}), 0, oem_document(2), "");
        EXPECT_EQ(lab.events_with("configuration space"), std::vector<std::string>{});
        EXPECT_EQ(lab.events_with("slept").size(), c.polls ? 1u : 0u);
    }
    // A seek that fails before the second word's address is written, or its first poll read, ends the read
    // there, writing nowhere else.
    for (int seek : {12, 13}) {
        TestLab cut({"--adapter", "oem:1"});
        cut.edit([&](json &j) {
            j["adapters"][0]["vpd_sysfs"] = false;
            j["faults"] = {fault("/sys/bus/pci/devices/0000:03:00.0/config", "lseek", "", "EIO", {{"occurrence", seek}})};
        });
        expect_run(cut.qsupdate({"--dell"}), 0, oem_document(1), "");
        EXPECT_EQ(cut.events_with("configuration space"), std::vector<std::string>{vpd_event("0000:03:00.0", 1)}) << seek;
    }
}

// On the ESX service console qsupdate makes and keeps the control node itself.
TEST(DiscoveryScenario, EsxServiceConsoleControlNode)
{
    TestLab lab({"--platform", "esx"});
    const std::string made = "character device /dev/qsc_control created (245, 1)";
    expect_run(lab.qsupdate({"--list"}), 0, TWO_PORTS, "");
    expect_run(lab.qsupdate({"--list"}), 0, TWO_PORTS, "");
    std::vector<std::string> expected = {made};
    // A node of another minor or type, or of a driver's earlier major number, is replaced.
    for (auto [pointer, value] : std::vector<std::pair<std::string, json>>{
             {"/nodes/0/minor", 0}, {"/nodes/0/block", true}, {"/host/qsc_control_major", 240}}) {
        SCOPED_TRACE(pointer);
        lab.edit([&](json &j) { j[json::json_pointer(pointer)] = value; });
        expect_run(lab.qsupdate({"--list"}), 0, TWO_PORTS, "");
        expected.push_back("/dev/qsc_control removed");
        expected.push_back(value == 240 ? "character device /dev/qsc_control created (240, 1)" : made);
        EXPECT_EQ(lab.description()["nodes"][0]["mode"], 0600);
    }
    EXPECT_EQ(lab.events_with("/dev/qsc_control"), expected);
    lab.edit([](json &j) { j["host"]["euid"] = 500; });
    expect_run(lab.qsupdate({"--list"}), 1, BANNER,
               "You must run this utility as root.\nFatal error: Operation not permitted (1)\n");
    // The module is listed as loaded, but has not registered its device.
    lab.edit([](json &j) { j["host"].merge_patch({{"euid", 0}, {"driver_loaded", false}}); });
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

// A failed update fails the run, after another adapter's success too; the OEM document stays whole.
TEST(DiscoveryScenario, AFailedUpdateFailsTheRunWithTheOemDocumentWhole)
{
    auto application = [](const char *bundle, const char *package, bool success, const std::string &message) {
        return std::string("\t<Device display=\"Halcyonpath Y3522-25G Adapter\">\n\t\t<Application "
                           "componentType=\"FRMW\" version=\"") +
               bundle + "\" display=\"Application Firmware\">\n" +
               (*package ? std::string("\t\t\t<Package version=\"") + package + "\"/>\n" : "") +
               "\t\t\t<SPStatus result=\"" + (success ? "true" : "false") + "\">\n\t\t\t\t<Message id=" +
               message + "</Message>\n\t\t\t</SPStatus>\n\t\t</Application>\n\t</Device>\n";
    };
    // The probe reads the second adapter's configuration, the open fails to.
    TestLab lab({"--adapter", "oem", "--adapter", "oem"});
    lab.edit([&](json &j) { j["faults"] = {fault("a2-dynamic-cfg-00", "read", "", "EIO", {{"occurrence", 2}})}; });
    const std::string image = resolve(lab, "img:3:42:7.5.0.1000");
    CommandResult r = lab.qsupdate({"--dell", "--write", "--image=" + image});
    std::string doc = oem_document(0);
    doc.insert(doc.find("\t<Reboot"), application("7.4.3", "7.5.0", true, "\"0\"> Update success.") +
                                          application("0.0.0", "", false, "\"0\"> Update failure. "));
    expect_run(r, 1, doc, "");
    tinyxml2::XMLDocument parsed;
    EXPECT_EQ(parsed.Parse(r.out.c_str()), tinyxml2::XML_SUCCESS) << r.out;
}
