// The command line as a user meets it: messages, output and exit status.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <tuple>

#include <gtest/gtest.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>

#include "app/qsupdate/port_actions.h"
#include "app/qsupdate/qsupdate.h"
#include "lib/utils/linux/qsu_device.h"
#include "tests/unit/support/fake_platform.h"
#include "tests/unit/support/image_builder.h"
#include "tests/unit/support/run_main.h"

namespace {

const std::string banner = "Duskhollow firmware update utility [v7.6.1]\n"
                           "Copyright (c) Quillstone. All rights reserved.\n";
const std::string hint = "For usage information, run \"qsupdate --help\"\n";
const std::string invalid = "qsupdate: invalid arguments\n" + hint;

const std::string usage = R"(
Usage: qsupdate [-i adapter] [options]

Available options are:

  -h, --help
    This help.

  -V, --version
    Display version and exit.

  -M, --manifest
    Show details of available firmware images and exit.

  --list
    Show the adapter list.

  -i, --adapter=(ethN|XX:XX:XX:XX:XX:XX|XX-XX-XX-XX-XX-XX)
    Operate only on the specified adapter.

  --write
    Write updated firmware to the adapter(s).

  --force
    Force update of all firmware, even if the installed firmware version 
    is the same or more recent.

  --backup
    Backup existing image before updating. This option may be used 
    with the --write and --force options.

  -y, --yes
    Update without prompting for a final confirmation. This option 
    may be used with the --write and --force options.

  --image=(filename)
    Update a firmware image from the given file.

  --ipxe-image=(filename)
    Install the iPXE image from the given file, replacing the Quillstone bootrom image.
    qsupdate will not attempt to replace this image in future unless --restore-bootrom is used.

  --restore-bootrom
    Replace an iPXE image with the Quillstone bootrom image in this version of qsupdate

  --full-erase
    Force a full-erase of the partition before updating the given file.

  -v, --verbose
    Verbose mode.

  -s, --silent
    Silent mode, output errors only.

  --output-file=(filename)
    Output results to file.

  --dell
    Output results in Dell format.

)";

// A Linux host with the driver loaded and no adapter; interface "other0"
// belongs to another driver, "lo" has no driver information at all, and
// "eth0" is ours once a test lists it under /sys/class/net.
class CommandLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        add_linux_driver(host);
        host.ioctl_handler = [this](const std::string &, unsigned long request, void *arg) {
            auto *ifr = static_cast<struct ifreq *>(arg);
            const bool ours = std::strcmp(ifr->ifr_name, "eth0") == 0;
            if (ours && request == SIOCGIFHWADDR) {
                std::memcpy(ifr->ifr_hwaddr.sa_data, "\x00\x1B\x7E\x00\x00\x01", 6);
                return 0;
            }
            if (request != SIOCETHTOOL) {
                errno = ENOTTY;
                return -1;
            }
            if (std::strcmp(ifr->ifr_name, "lo") == 0) {
                errno = EOPNOTSUPP;
                return -1;
            }
            if (ours || std::strcmp(ifr->ifr_name, "other0") == 0) {
                auto *info = reinterpret_cast<ethtool_drvinfo *>(ifr->ifr_data);
                std::strcpy(info->driver, ours ? "qsc" : "brindle");
                std::strcpy(info->version, "5.3.12.1004");
                std::strcpy(info->bus_info, "0000:03:00.0");
                return 0;
            }
            errno = drvinfo_errno;
            return -1;
        };
    }
    RunResult run(const std::vector<std::string> &args) { return run_qsupdate(host, args); }
    // In this process, so that a test can see what reaches its stand-ins.
    RunResult run_here(std::vector<std::string> args)
    {
        ScopedPlatform scoped(host);
        args.insert(args.begin(), "qsupdate");
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        RunResult r;
        r.status = qsupdate_main(static_cast<int>(args.size()), argv.data());
        r.out = testing::internal::GetCapturedStdout();
        r.err = testing::internal::GetCapturedStderr();
        return r;
    }
    // eth0 as the host's one port, without VPD.
    void add_eth0()
    {
        host.add_file("/sys/class/net/eth0/device/config", std::string(64, '\0')); // no VPD capability
        host.add_file("/sys/class/net/eth0/device/vpd", "");
    }
    void add_file(const std::string &path, const std::vector<uint8_t> &bytes)
    {
        host.add_file(path, std::string(bytes.begin(), bytes.end()));
    }

    FakePlatform host;
    int drvinfo_errno = ENODEV;
};

struct RejectedCase {
    std::vector<std::string> args;
    std::string out;
    std::string err;
};

class RejectedCommandLine : public CommandLine, public ::testing::WithParamInterface<RejectedCase> {};

TEST_P(RejectedCommandLine, PrintsItsMessageAndExitsWithStatus2)
{
    RunResult r = run(GetParam().args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, GetParam().out);
    EXPECT_EQ(r.err, GetParam().err);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, RejectedCommandLine,
    ::testing::Values(
        // getopt's own diagnostics come before the hint; nothing else is printed.
        RejectedCase{{"--bogus"}, "", "qsupdate: unrecognized option '--bogus'\n" + hint},
        RejectedCase{{"--image"}, "", "qsupdate: option '--image' requires an argument\n" + hint},
        RejectedCase{{"-i"}, "", "qsupdate: option requires an argument -- 'i'\n" + hint},
        // The banner is printed before the combination is judged.
        RejectedCase{{"extra"}, banner, invalid},
        RejectedCase{{"--image=x", "--phy"}, banner, invalid},
        RejectedCase{{"--ipxe-image=x", "--bootrom"}, banner, invalid},
        RejectedCase{{"--image=x", "--manifest"}, banner, invalid},
        RejectedCase{{"--image=x", "--list"}, banner, invalid},
        RejectedCase{{"--ipxe-image=x", "--restore-bootrom"}, banner, invalid},
        RejectedCase{{"--image=x", "--ipxe-image=y"}, banner, invalid},
        RejectedCase{{"--fake-v1", "--fake-v9"}, banner, invalid},
        RejectedCase{{"--list", "--adapter=eth0"}, banner, invalid},
        RejectedCase{{"--silent", "extra"}, "", invalid},
        // Neither a MAC address nor one of our interfaces.
        RejectedCase{{"--help", "--adapter=foo"}, banner,
                     "foo is not a valid MAC address or Duskhollow adapter name\n"},
        RejectedCase{{"--help", "--adapter=lo"}, banner,
                     "lo is not a valid MAC address or Duskhollow adapter name\n"},
        RejectedCase{{"--help", "--adapter=other0"}, banner,
                     "other0 is not a valid MAC address or Duskhollow adapter name\n"},
        RejectedCase{{"--adapter=00:11:22:33:44:55:66"}, banner,
                     "00:11:22:33:44:55:66 is not a valid MAC address or Duskhollow adapter name\n"}));

TEST_F(CommandLine, HelpPrintsTheBannerAndTheUsageText)
{
    RunResult r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, banner + usage);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(run({"-h", "--silent"}).out, usage);
    // An adapter named by MAC address is resolved for every action.
    EXPECT_EQ(run({"-h", "-i", "0:1b:2:3C:4:5"}).status, 0);
    RunResult manifest = run({"-M"});
    EXPECT_EQ(manifest.status, 0);
    EXPECT_EQ(manifest.out.rfind(banner + "Firmware family version: 7.7.0\n", 0), 0u);
}

TEST_F(CommandLine, AnInterfaceWhoseDriverCannotBeAskedIsFatal)
{
    drvinfo_errno = EPERM;
    RunResult r = run({"--help", "--adapter=eth7"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, banner);
    EXPECT_EQ(r.err, "Fatal error: Operation not permitted (1)\n");
}

TEST_F(CommandLine, VersionPrintsTheUtilityVersionEvenWhenEnumerationFails)
{
    host.remove("/sys/class/net");
    RunResult r = run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, banner + "Duskhollow firmware update utility: v7.6.1.1006\n");
    EXPECT_EQ(r.err, "No such file or directory\n");
}

TEST_F(CommandLine, OutputFileThatCannotBeOpenedIsRefusedBeforeAnythingIsPrinted)
{
    RunResult r = run({"--output-file=/nonexistent-dir/report.txt", "--help"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "/nonexistent-dir/report.txt: No such file or directory\n");
}

// A ROM cut short, or one whose sum is wrong, is refused before any port
// is looked at; a whole one is loaded (and this host has no adapter).
TEST_F(CommandLine, ImageFileProblemsEndTheRunWithStatus1)
{
    const std::vector<uint8_t> rom = build_ipxe_rom(4);
    std::vector<uint8_t> bad_sum = rom;
    bad_sum[7]++;
    host.add_file("/images/junk.bin", std::string(64, 'z'));
    host.add_file("/images/not-a-rom.bin", "\xAA\x55rom");
    host.add_file("/images/empty.bin", "");
    add_file("/images/rom.bin", rom);
    add_file("/images/cut.bin", std::vector<uint8_t>(rom.begin(), rom.end() - 512));
    add_file("/images/bad-sum.bin", bad_sum);
    const std::string invalid_image = ": Invalid firmware image\n";
    const struct { const char *option, *path; std::string err; } cases[] = {
        {"--image=", "/nonexistent-image.bin", "/nonexistent-image.bin: No such file or directory\n"},
        {"--image=", "/images/junk.bin", "/images/junk.bin" + invalid_image},
        {"--ipxe-image=", "/images/not-a-rom.bin", "/images/not-a-rom.bin" + invalid_image},
        {"--image=", "/images/empty.bin", "/images/empty.bin" + invalid_image},
        {"--ipxe-image=", "/images/cut.bin", "/images/cut.bin" + invalid_image},
        {"--ipxe-image=", "/images/bad-sum.bin", "/images/bad-sum.bin" + invalid_image},
        {"--ipxe-image=", "/images/rom.bin", "No Duskhollow adapters found\n"}};
    for (const auto &c : cases) {
        RunResult r = run({"--write", std::string(c.option) + c.path});
        EXPECT_EQ(r.status, 1) << c.path;
        EXPECT_EQ(r.err, c.err);
    }
}

// Whatever the path, a text no interface can be named is a usage error:
// 16 characters are one too many for an interface, 19 for an ESXi node.
TEST_F(CommandLine, AnAdapterNameTooLongForAnyInterfaceIsAUsageError)
{
    for (bool esxi : {false, true}) {
        if (esxi) {
            host.sysname = "VMkernel";
            host.add_file("/dev/qsc_control", "");
        }
        for (std::string name : {"eth0123456789abc", "vmnic0123456789abcd"}) {
            RunResult r = run({"--adapter=" + name});
            EXPECT_EQ(std::make_pair(r.status, r.err),
                      std::make_pair(2, name + " is not a valid MAC address or Duskhollow adapter name\n"))
                << (esxi ? "ESXi" : "Linux");
        }
    }
}

// The last option that names an action wins; version names the driver of
// the only port too.
TEST_F(CommandLine, TheLastActionWins)
{
    add_eth0();
    const std::string version = "Duskhollow firmware update utility: v7.6.1.1006\n"
                                "Network adapter driver version: 5.3.12.1004\n";
    const struct { std::vector<std::string> args; std::string out; } cases[] = {
        {{"-V"}, banner + version},
        {{"--help", "--version"}, banner + version},
        {{"--version", "-h"}, banner + usage},
        {{"--list", "--version", "-s"}, version}};
    for (const auto &c : cases) {
        RunResult r = run(c.args);
        EXPECT_EQ(std::make_tuple(r.status, r.out, r.err), std::make_tuple(0, c.out, std::string()))
            << c.args[0];
    }
}

// Silent status inspects no port, so an image given for it applies nowhere.
TEST_F(CommandLine, VerdictAfterASilentWalkOverOnePort)
{
    add_eth0();
    add_file("/fw.bin", build_plain_image());
    const struct { std::vector<std::string> args; int status; std::string err; } cases[] = {
        {{"-s"}, 0, ""},
        {{"-s", "--image=/fw.bin"}, 1, "/fw.bin cannot be applied to any adapter\n"},
        {{"-s", "--image=/fw.bin", "-i", "eth0"}, 1, "/fw.bin cannot be applied to eth0\n"}};
    for (const auto &c : cases) {
        RunResult r = run(c.args);
        EXPECT_EQ(std::make_pair(r.status, r.err), std::make_pair(c.status, c.err)) << c.args.back();
    }
}

// Stand-ins for the status report and the update procedure: each call is
// recorded as "<action> <port> <option word> <image or ->".
std::vector<std::string> port_calls;
int port_answer = 1;
int port_errno = 0;

int record(const char *action, qsu_device *dev, qsupdate_image_t *image, int word)
{
    char line[64];
    std::snprintf(line, sizeof line, "%s %s %#x %s", action, dev->netif_name, word, image ? "image" : "-");
    port_calls.push_back(line);
    errno = port_errno;
    return port_answer;
}
int record_status(qsu_device *dev, qsupdate_image_t *image, int word) { return record("status", dev, image, word); }
int record_update(qsu_device *dev, qsupdate_image_t *image, int word) { return record("update", dev, image, word); }

struct WalkCase {
    std::vector<std::string> args;
    std::vector<std::string> calls;
    int answer = 1, err_no = 0; // of every call
    int status = 0;
    std::string err = "";
};

// 0x288FE000 is every type selector, 0x200000 "no adapter named"; options
// on bit 0 to 2 would read as an image given with --ipxe-image.
TEST_F(CommandLine, EachActionHandsThePortItsOptionWord)
{
    add_eth0();
    add_file("/fw.bin", build_plain_image());
    add_file("/rom.bin", build_ipxe_rom());
    const std::string denied = "\nNo adapters could be accessed. You may need to run this utility as root.\n";
    const WalkCase cases[] = {
        {{}, {"status eth0 0x28afe000 -"}},
        {{"-i", "eth0"}, {"status eth0 0x288fe000 -"}},
        {{"--write"}, {"update eth0 0x28afe000 -"}},
        {{"-s", "--write"}, {"update eth0 0x28afe100 -"}},
        {{"--write", "--mc", "--force", "-y", "--backup", "--full-erase", "--fake-v9", "-v"},
         {"update eth0 0x6709200 -"}},
        {{"--restore-bootrom"}, {"update eth0 0x4208 -"}},
        {{"--restore-bootrom", "--write"}, {"update eth0 0x28afe008 -"}},
        {{"--write", "--image=/fw.bin"}, {"update eth0 0x200007 image"}},
        {{"--ipxe-image=/rom.bin"}, {"status eth0 0x10200200 image"}},
        {{"--write", "--ipxe-image=/rom.bin", "--verbose"}, {"update eth0 0x10201200 image"}},
        {{"--write", "--ipxe-image=/rom.bin", "--backup"}, {"update eth0 0x10600200 image"}},
        {{"--write", "--ipxe-image=/rom.bin", "--fake-v1"}, {"update eth0 0x11200200 image"}},
        {{"--write", "--ipxe-image=/rom.bin", "--fake-v9"}, {"update eth0 0x12200200 image"}},
        {{"-s"}, {}}, // silent status looks at no port
        {{}, {"status eth0 0x28afe000 -"}, 0, 0, 0, "No firmware is available for any adapter\n"},
        {{"-i", "eth0"}, {"status eth0 0x288fe000 -"}, 0, 0, 0, "No firmware is available for eth0\n"},
        {{"--write"}, {"update eth0 0x28afe000 -"}, -1, ENOTSUP, 1, denied},
        {{"--write"}, {"update eth0 0x28afe000 -"}, -1, EIO, 1, "Fatal error: Input/output error (5)\n"},
    };
    { // the stand-ins are in place for this block only
        ScopedPortActions stand_ins({record_status, record_update});
        for (const WalkCase &c : cases) {
            port_calls.clear();
            port_answer = c.answer;
            port_errno = c.err_no;
            RunResult r = run_here(c.args);
            std::string args;
            for (const auto &a : c.args)
                args += a + " ";
            EXPECT_EQ(port_calls, c.calls) << args;
            EXPECT_EQ(std::make_pair(r.status, r.err), std::make_pair(c.status, c.err)) << args;
        }
    }
    EXPECT_EQ(current_port_actions().status, &show_status);
    EXPECT_EQ(current_port_actions().update, &update_firmware);
}

TEST_F(CommandLine, RunsTwiceInOneProcess)
{
    ScopedPlatform scoped(host);
    std::vector<std::string> first = {"qsupdate", "--silent", "--help", "stray"};
    std::vector<std::string> second = {"qsupdate", "--silent", "--fake-v1", "-h"};
    auto call = [](std::vector<std::string> &args) {
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        return qsupdate_main(static_cast<int>(args.size()), argv.data());
    };
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int first_status = call(first);
    int second_status = call(second);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(first_status, 2);
    EXPECT_EQ(second_status, 0);
    EXPECT_EQ(out, usage);
    EXPECT_EQ(err, invalid);
}

} // namespace
