// A capture of a host is, to qsupdate, the host itself.
#include <filesystem>

#include <gtest/gtest.h>

#include "tests/lab/support/lab_fixture.h"

using nlohmann::json;

// The original is run first, as a used host (MTD nodes made); the capture answers as it does.
TEST(CaptureScenario, QsupdateSeesTheCaptureAsTheHost)
{
    for (const std::vector<std::string> &create : std::vector<std::vector<std::string>>{
             {"--adapter", "dogwood2", "--adapter", "cedar:3", "--adapter", "birch"},
             {"--adapter", "alder-0710", "--adapter", "oem", "--adapter", "dogwood:10", "--adapter", "alder"},
             {"--platform", "esx", "--adapter", "cedar", "--adapter", "dogwood2:3"}}) {
        SCOPED_TRACE(testing::PrintToString(create));
        TestLab host(create);
        host.edit([](json &j) {
            j["host"]["modules_loaded"].push_back("mtdchar");
            j["adapters"].back()["ports"].back()["up"] = false;
            j["interfaces"].push_back({{"ifname", "eth0.100"}, {"kind", "vlan"}, {"lower", "eth0"},
                                       {"vlan_id", 100}, {"mac", "00:1B:7E:5A:10:00"}});
        });
        const CommandResult list = host.qsupdate({"--list"}), status = host.qsupdate({});
        const std::string copy = host.dir() + ".capture";
        const CommandResult r = host.qslab({"capture", copy, "--root", host.dir() + "/root", "--with-flash"});
        ASSERT_EQ(std::pair(r.status, r.err), std::pair(0, std::string()));
        auto on_copy = [&](std::vector<std::string> args) {
            args.insert(args.begin(), {"run", copy, "--"});
            return host.qslab(args);
        };
        expect_run(on_copy({"--list"}), list.status, list.out, list.err);
        expect_run(on_copy({}), status.status, status.out, status.err);
        EXPECT_EQ(status.status, 0) << status.err;
        std::filesystem::remove_all(copy);
    }
}
