// The run loop's verdicts and selection, end to end through the lab.
#include <fstream>
#include <stdexcept>

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include "lab/model/lab_image.h"
#include "tests/lab/support/lab_fixture.h"

using nlohmann::json;

namespace {

std::string write_file(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    return path;
}

} // namespace

// A MAC address nobody has is a usage error; a report file gets what
// standard output would have.
TEST(RunLoopScenario, SelectionAndOutputOnTheDefaultLab)
{
    TestLab lab;
    expect_run(lab.qsupdate({"--adapter=0:1b:7e:5a:10:9"}), 2, BANNER,
               "No Duskhollow adapters found with MAC address 00-1B-7E-5A-10-09\n");
    const std::string file = lab.dir() + "/report.txt";
    expect_run(lab.qsupdate({"--list", "--output-file=" + file}), 0, "", "");
    EXPECT_EQ(read_file(file), TWO_PORTS);
    // A dogwood2 of the maker's own is not in the OEM table.
    expect_run(lab.qsupdate({"--dell"}), 1, oem_document(0), "");
}

// The driver's version is asked of the first port, as the kernel would be
// asked; when it does not answer, the version is unknown rather than empty.
// A name of the longest length an interface can have is listed whole.
TEST(RunLoopScenario, DriverVersionOfTheFirstPort)
{
    TestLab lab;
    const std::string utility = BANNER + "Duskhollow firmware update utility: v7.6.1.1006\n";
    expect_run(lab.qsupdate({"--version"}), 0, utility + "Network adapter driver version: 5.3.12.1004\n", "");
    lab.edit([](json &j) {
        // The second question to eth0; the first is the enumeration's.
        j["faults"] = {{{"target", "eth0"}, {"operation", "ioctl"}, {"request", "SIOCETHTOOL"},
                        {"occurrence", 2}, {"errno", "EIO"}}};
        j["adapters"][0]["ports"][1]["ifname"] = "enp3s0f1np1abcd";
    });
    expect_run(lab.qsupdate({"--version"}), 0, utility + "Network adapter driver version: unknown\n", "");
    expect_run(lab.qsupdate({"--list"}), 0,
               BANNER + list_line("eth0", "00-1B-7E-5A-10-00") + list_line("enp3s0f1np1abcd", "00-1B-7E-5A-10-01"),
               "");
}

TEST(RunLoopScenario, OemDocumentNamesOnlyAnAdaptersFirstPort)
{
    TestLab lab({"--adapter", "oem"});
    expect_run(lab.qsupdate({"--dell", "--adapter=eth1"}), 1, oem_document(0), "");
    expect_run(lab.qsupdate({"--dell", "--adapter=eth0"}), 0, oem_document(1), "");
}

TEST(RunLoopScenario, WalkStopsAtTheFirstMatchingPort)
{
    // Two bonded OEM adapters: the bond gives its slaves one MAC address.
    // Their 10-character SNs fail the serial test: only the maker's 24-digit
    // serial in VE tells them apart.
    TestLab lab({"--adapter", "oem", "--adapter", "oem"});
    lab.edit([](json &j) { j["adapters"][1]["ports"][0]["mac"] = "00:1B:7E:5A:10:00"; });
    expect_run(lab.qsupdate({"--dell"}), 0, oem_document(2), "");
    expect_run(lab.qsupdate({"--dell", "--adapter=00-1b-7e-5a-10-00"}), 0, oem_document(1), "");
}

// A failed update ends the run as a fatal error, with --dell as without
// it, also after another adapter's success; the OEM framework still gets a
// document that a parser accepts, in which every adapter has its verdict.
// (Each configuration is read by the accessibility probe first, then by
// the open.)
TEST(RunLoopScenario, AFailedUpdateFailsTheRunWithTheOemDocumentWhole)
{
    auto application = [](const char *bundle, const char *package, bool success, const std::string &message) {
        return std::string("\t<Device display=\"Halcyonpath Y3522-25G Adapter\">\n\t\t<Application "
                           "componentType=\"FRMW\" version=\"") +
               bundle + "\" display=\"Application Firmware\">\n" +
               (*package ? std::string("\t\t\t<Package version=\"") + package + "\"/>\n" : "") +
               "\t\t\t<SPStatus result=\"" + (success ? "true" : "false") + "\">\n\t\t\t\t<Message id=" +
               message + "</Message>\n\t\t\t</SPStatus>\n\t\t</Application>\n\t</Device>\n";
    };
    const std::string updated = application("7.4.3", "7.5.0", true, "\"0\"> Update success.");
    const struct {
        const char *operation;
        int occurrence;
        std::string failed;
    } cases[] = {
        {"read", 2, application("0.0.0", "", false, "\"0\"> Update failure. ")},
        {"erase", 1, application("7.4.3", "7.5.0", false, "\"8\"> Update failure. Could not write new image.")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.operation);
        TestLab lab({"--adapter", "oem", "--adapter", "oem"});
        const char *target = std::string(c.operation) == "read" ? "a2-dynamic-cfg-00" : "a2-mcfw-2a";
        lab.edit([&](json &j) {
            j["faults"] = {{{"target", target}, {"operation", c.operation}, {"occurrence", c.occurrence},
                            {"errno", "EIO"}}};
        });
        const std::string image =
            write_file(lab.dir() + "/fw.bin", lab::build_plain_image({3, 42, {7, 5, 0, 1000}}));
        CommandResult r = lab.qsupdate({"--dell", "--write", "--image=" + image});
        std::string doc = oem_document(0);
        expect_run(r, 1, doc.insert(doc.find("\t<Reboot"), updated + c.failed), "");
        tinyxml2::XMLDocument parsed;
        EXPECT_EQ(parsed.Parse(r.out.c_str()), tinyxml2::XML_SUCCESS) << r.out;
        r = lab.qsupdate({"-s", "--write", "--image=" + image});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.substr(r.err.rfind("Fatal error")), "Fatal error: Input/output error (5)\n");
    }
}
