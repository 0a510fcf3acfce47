// The run loop's verdicts and selection, end to end through the lab.
#include <gtest/gtest.h>

#include "tests/lab/support/lab_fixture.h"

using nlohmann::json;

TEST(RunLoopScenario, NoAdaptersAtAll)
{
    TestLab lab({"--empty"});
    expect_run(lab.qsupdate({}), 1, BANNER, "No Duskhollow adapters found\n");
    expect_run(lab.qsupdate({"--list"}), 1, BANNER, "No Duskhollow adapters found\n");
}

TEST(RunLoopScenario, UnknownMacAddressIsReportedNormalised)
{
    TestLab lab;
    expect_run(lab.qsupdate({"--adapter=0:1b:7e:5a:10:9"}), 2, BANNER,
               "No Duskhollow adapters found with MAC address 00-1B-7E-5A-10-09\n");
}

TEST(RunLoopScenario, OemDocumentWithoutKnownAdapter)
{
    TestLab plain; // a dogwood2 of the maker's own, not in the OEM table
    expect_run(plain.qsupdate({"--dell"}), 1, oem_document(0), "");

    // Only an adapter's first port is in the table.
    TestLab oem({"--adapter", "oem"});
    expect_run(oem.qsupdate({"--dell", "--adapter=eth1"}), 1, oem_document(0), "");
    expect_run(oem.qsupdate({"--dell", "--adapter=eth0"}), 0, oem_document(1), "");
}

TEST(RunLoopScenario, OutputFileCapturesTheBanner)
{
    TestLab lab;
    TempPath file("report.txt");
    expect_run(lab.qsupdate({"--list", "--output-file=" + file.path()}), 0, "", "");
    EXPECT_EQ(file.read(),
              BANNER + list_line("eth0", "00-1B-7E-5A-10-00") + list_line("eth1", "00-1B-7E-5A-10-01"));
}

TEST(RunLoopScenario, ListRejectsAnAdapter)
{
    TestLab lab;
    expect_run(lab.qsupdate({"--list", "--adapter=eth0"}), 2, BANNER,
               "qsupdate: invalid arguments\nFor usage information, run \"qsupdate --help\"\n");
}

TEST(RunLoopScenario, NamedInterfaceMustBeOneOfTheAdapters)
{
    TestLab lab;
    for (const char *name : {"lo", "eno1", "eth7"}) {
        SCOPED_TRACE(name);
        expect_run(lab.qsupdate({"--version", "--adapter", name}), 2, BANNER,
                   std::string(name) + " is not a valid MAC address or Duskhollow adapter name\n");
    }
}

TEST(RunLoopScenario, WalkStopsAtTheFirstMatchingPort)
{
    // Two bonded OEM adapters: the bond gives its slaves one MAC address.
    TestLab lab({"--adapter", "oem", "--adapter", "oem"});
    lab.edit([](json &j) { j["adapters"][1]["ports"][0]["mac"] = "00:1B:7E:5A:10:00"; });
    expect_run(lab.qsupdate({"--dell"}), 0, oem_document(2), "");
    expect_run(lab.qsupdate({"--dell", "--adapter=00-1b-7e-5a-10-00"}), 0, oem_document(1), "");
}

TEST(RunLoopScenario, VersionNamesTheDriverOfTheFirstPort)
{
    TestLab lab;
    expect_run(lab.qsupdate({"--version"}), 0,
               BANNER + "Duskhollow firmware update utility: v7.6.1.1006\n"
                        "Network adapter driver version: 5.3.12.1004\n",
               "");
    TestLab empty({"--empty"});
    expect_run(empty.qsupdate({"--version"}), 0, BANNER + "Duskhollow firmware update utility: v7.6.1.1006\n", "");
}
