// The run loop's verdicts and selection, end to end through the lab.
#include <gtest/gtest.h>

#include "tests/lab/support/lab_fixture.h"

using nlohmann::json;

TEST(RunLoopScenario, NoAdaptersAtAll)
{
    TestLab lab({"--empty"});
    expect_run(lab.qsupdate({}), 1, BANNER, "No Duskhollow adapters found\n");
    expect_run(lab.qsupdate({"--list"}), 1, BANNER, "No Duskhollow adapters found\n");
    expect_run(lab.qsupdate({"--version"}), 0, BANNER + "Duskhollow firmware update utility: v7.6.1.1006\n", "");
}

TEST(RunLoopScenario, SelectionAndOutputOnTheDefaultLab)
{
    TestLab lab;
    expect_run(lab.qsupdate({"--adapter=0:1b:7e:5a:10:9"}), 2, BANNER,
               "No Duskhollow adapters found with MAC address 00-1B-7E-5A-10-09\n");
    expect_run(lab.qsupdate({"--list", "--adapter=eth0"}), 2, BANNER,
               "qsupdate: invalid arguments\nFor usage information, run \"qsupdate --help\"\n");
    // The driver named is the first port's.
    expect_run(lab.qsupdate({"--version"}), 0,
               BANNER + "Duskhollow firmware update utility: v7.6.1.1006\n"
                        "Network adapter driver version: 5.3.12.1004\n",
               "");
    const std::string file = lab.dir() + "/report.txt";
    expect_run(lab.qsupdate({"--list", "--output-file=" + file}), 0, "", "");
    EXPECT_EQ(read_file(file), TWO_PORTS);
    // A dogwood2 of the maker's own is not in the OEM table.
    expect_run(lab.qsupdate({"--dell"}), 1, oem_document(0), "");
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
