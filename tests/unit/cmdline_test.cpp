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

enum Host { bare, eth0, no_class_net, esxi };

struct RunCase {
    Host host;
    std::vector<std::string> args;
    int status;
    std::string out, err;
};

void PrintTo(const RunCase &c, std::ostream *os)
{
    static const char *const hosts[] = {"", "eth0: ", "no-class-net: ", "esxi: "};
    *os << hosts[c.host] << testing::PrintToString(c.args);
}

// Driver loaded, image files; "other0" has another driver, "lo" none, "eth7" refuses, "eth0" is ours once listed.
void make_host(FakePlatform &host, Host kind)
{
    host.add_dir("/sys/bus/pci/drivers/qsc");
    host.add_dir("/sys/class/net");
    host.ioctl_handler = [](const std::string &, unsigned long request, void *arg) {
        auto *ifr = static_cast<struct ifreq *>(arg);
        const std::string name = ifr->ifr_name;
        if (name == "eth0" && request == SIOCGIFHWADDR) {
            std::memcpy(ifr->ifr_hwaddr.sa_data, "\x00\x1B\x7E\x00\x00\x01", 6);
            return 0;
        }
        if (request != SIOCETHTOOL || name == "lo")
            return errno = request != SIOCETHTOOL ? ENOTTY : EOPNOTSUPP, -1;
        if (name != "eth0" && name != "other0")
            return errno = name == "eth7" ? EPERM : ENODEV, -1;
        auto *info = reinterpret_cast<ethtool_drvinfo *>(ifr->ifr_data);
        std::strcpy(info->driver, name == "eth0" ? "qsc" : "brindle");
        std::strcpy(info->version, "5.3.12.1004");
        std::strcpy(info->bus_info, "0000:03:00.0");
        return 0;
    };
    const std::vector<uint8_t> rom = build_ipxe_rom(4), fw = build_plain_image(), small_rom = build_ipxe_rom();
    host.add_file("/images/junk.bin", std::string(64, 'z'));
    host.add_file("/images/not-a-rom.bin", "\xAA\x55rom");
    host.add_file("/images/empty.bin", "");
    host.add_file("/images/rom.bin", std::string(rom.begin(), rom.end()));
    host.add_file("/images/cut.bin", std::string(rom.begin(), rom.end() - 512));
    host.add_file("/images/bad-sum.bin", std::string(rom.begin(), rom.end() - 1) + char(rom.back() + 1));
    host.add_file("/fw.bin", std::string(fw.begin(), fw.end()));
    host.add_file("/rom.bin", std::string(small_rom.begin(), small_rom.end()));
    if (kind == eth0) {
        host.add_file("/sys/class/net/eth0/device/config", std::string(64, '\0')); // no VPD capability
        host.add_file("/sys/class/net/eth0/device/vpd", "");
    } else if (kind == no_class_net) {
        host.remove("/sys/class/net");
    } else if (kind == esxi) {
        host.sysname = "VMkernel";
        host.add_file("/dev/qsc_control", "");
    }
}

class Outcome : public ::testing::TestWithParam<RunCase> {};

TEST_P(Outcome, IsWhatTheUserSees)
{
    FakePlatform host;
    make_host(host, GetParam().host);
    RunResult r = run_qsupdate(host, GetParam().args);
    EXPECT_EQ(std::tie(r.status, r.out, r.err), std::tie(GetParam().status, GetParam().out, GetParam().err));
}

const std::string version = "Duskhollow firmware update utility: v7.6.1.1006\n";
const std::string driver = "Network adapter driver version: 5.3.12.1004\n";
std::string not_ours(const std::string &name)
{
    return name + " is not a valid MAC address or Duskhollow adapter name\n";
}
std::string bad_image(const std::string &path) { return path + ": Invalid firmware image\n"; }

const RunCase kRuns[] = {
    // getopt's own diagnostics come before the hint; nothing else is printed.
    {bare, {"--bogus"}, 2, "", "qsupdate: unrecognized option '--bogus'\n" + hint},
    {bare, {"--image"}, 2, "", "qsupdate: option '--image' requires an argument\n" + hint},
    {bare, {"-i"}, 2, "", "qsupdate: option requires an argument -- 'i'\n" + hint},
    // The banner is printed before the combination is judged.
    {bare, {"extra"}, 2, banner, invalid}, {bare, {"--image=x", "--phy"}, 2, banner, invalid},
    {bare, {"--ipxe-image=x", "--bootrom"}, 2, banner, invalid},
    {bare, {"--image=x", "--manifest"}, 2, banner, invalid}, {bare, {"--image=x", "--list"}, 2, banner, invalid},
    {bare, {"--ipxe-image=x", "--restore-bootrom"}, 2, banner, invalid},
    {bare, {"--image=x", "--ipxe-image=y"}, 2, banner, invalid},
    {bare, {"--fake-v1", "--fake-v9"}, 2, banner, invalid}, {bare, {"--list", "--adapter=eth0"}, 2, banner, invalid},
    {bare, {"--silent", "extra"}, 2, "", invalid},
    // Neither a MAC address nor ours; 16 characters are one too many for an interface, 19 for an ESXi node.
    {bare, {"--help", "--adapter=foo"}, 2, banner, not_ours("foo")},
    {bare, {"--help", "--adapter=lo"}, 2, banner, not_ours("lo")},
    {bare, {"--help", "--adapter=other0"}, 2, banner, not_ours("other0")},
    {bare, {"--adapter=00:11:22:33:44:55:66"}, 2, banner, not_ours("00:11:22:33:44:55:66")},
    {bare, {"--adapter=eth0123456789abc"}, 2, banner, not_ours("eth0123456789abc")},
    {bare, {"--adapter=vmnic0123456789abcd"}, 2, banner, not_ours("vmnic0123456789abcd")},
    {esxi, {"--adapter=eth0123456789abc"}, 2, banner, not_ours("eth0123456789abc")},
    {esxi, {"--adapter=vmnic0123456789abcd"}, 2, banner, not_ours("vmnic0123456789abcd")},
    // An interface whose driver cannot be asked is fatal.
    {bare, {"--help", "--adapter=eth7"}, 1, banner, "Fatal error: Operation not permitted (1)\n"},
    // Help; an adapter named by MAC address is resolved for every action.
    {bare, {"--help"}, 0, banner + usage, ""}, {bare, {"-h", "--silent"}, 0, usage, ""},
    {bare, {"-h", "-i", "0:1b:2:3C:4:5"}, 0, banner + usage, ""},
    // A report file that cannot be opened is refused before anything is printed.
    {bare, {"--output-file=/nonexistent-dir/report.txt", "--help"}, 1, "",
     "/nonexistent-dir/report.txt: No such file or directory\n"},
    // The utility's version is printed even when enumeration fails or finds no port.
    {no_class_net, {"--version"}, 0, banner + version, "No such file or directory\n"},
    {bare, {"--version"}, 0, banner + version, ""},
    // The last action named wins; version names the only port's driver too.
    {eth0, {"-V"}, 0, banner + version + driver, ""},
    {eth0, {"--help", "--version"}, 0, banner + version + driver, ""},
    {eth0, {"--version", "-h"}, 0, banner + usage, ""},
    {eth0, {"--list", "--version", "-s"}, 0, version + driver, ""},
    // A cut or badly summed ROM is refused before any port is looked at; a whole one is loaded.
    {bare, {"--write", "--image=/nonexistent-image.bin"}, 1, banner,
     "/nonexistent-image.bin: No such file or directory\n"},
    {bare, {"--write", "--image=/images/junk.bin"}, 1,
     banner + "ASN: Error: Nested TLV does not fit in the wrapper, 7c > 40\n"
              "Failed to parse signed image: 1\n",
     bad_image("/images/junk.bin")},
    {bare, {"--write", "--ipxe-image=/images/not-a-rom.bin"}, 1, banner, bad_image("/images/not-a-rom.bin")},
    {bare, {"--write", "--image=/images/empty.bin"}, 1, banner + "Failed to parse signed image: 2\n",
     bad_image("/images/empty.bin")},
    {bare, {"--write", "--ipxe-image=/images/cut.bin"}, 1, banner, bad_image("/images/cut.bin")},
    {bare, {"--write", "--ipxe-image=/images/bad-sum.bin"}, 1, banner, bad_image("/images/bad-sum.bin")},
    {bare, {"--write", "--ipxe-image=/images/rom.bin"}, 1, banner, "No Duskhollow adapters found\n"},
    // What a restore is given to put back must be a boot ROM.
    {bare, {"--restore-bootrom", "--image=/fw.bin"}, 1, banner, "/fw.bin: not a Boot ROM image\n"},
    // Silent status inspects no port, so an image given for it applies nowhere.
    {eth0, {"-s"}, 0, "", ""}, {eth0, {"-s", "--image=/fw.bin"}, 1, "", "/fw.bin cannot be applied to any adapter\n"},
    {eth0, {"-s", "--image=/fw.bin", "-i", "eth0"}, 1, "", "/fw.bin cannot be applied to eth0\n"}};
INSTANTIATE_TEST_SUITE_P(Rules, Outcome, ::testing::ValuesIn(kRuns));

// Nothing of one run (getopt's state, options) leaks into the next.
TEST(CommandLine, RunsTwiceInOneProcess)
{
    FakePlatform host;
    make_host(host, bare);
    RunResult first = run_qsupdate_here(host, {"--silent", "--help", "stray"});
    EXPECT_EQ(std::make_tuple(first.status, first.out, first.err), std::make_tuple(2, std::string(), invalid));
    RunResult second = run_qsupdate_here(host, {"--silent", "--fake-v1", "-h"});
    EXPECT_EQ(std::make_tuple(second.status, second.out, second.err), std::make_tuple(0, usage, std::string()));
}

// Stand-ins for the status report and the update procedure record "<action> <port> <option word> <image or ->".
std::vector<std::string> port_calls;
int port_answer = 1, port_errno = 0;

int record(const char *action, qsu_device *dev, qsupdate_image_t *image, int word)
{
    char line[64];
    std::snprintf(line, sizeof line, "%s %s %#x %s", action, dev->netif_name, word, image ? "image" : "-");
    port_calls.push_back(line);
    errno = port_errno;
    return port_answer;
}

// 0x288FE000 is every type selector, 0x200000 "no adapter named"; bits 0-2 would read as an --ipxe-image.
TEST(CommandLine, EachActionHandsThePortItsOptionWord)
{
    FakePlatform host;
    make_host(host, eth0);
    const std::string denied = "\nNo adapters could be accessed. You may need to run this utility as root.\n";
    const struct {
        std::vector<std::string> args, calls;
        int answer = 1, err_no = 0; // of every call
        int status = 0;
        std::string err = "";
    } cases[] = {
        {{}, {"status eth0 0x28afe000 -"}}, {{"-i", "eth0"}, {"status eth0 0x288fe000 -"}},
        {{"--write"}, {"update eth0 0x28afe000 -"}}, {{"-s", "--write"}, {"update eth0 0x28afe100 -"}},
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
        ScopedPortActions stand_ins({[](qsu_device *d, qsupdate_image_t *i, int w) { return record("status", d, i, w); },
                                     [](qsu_device *d, qsupdate_image_t *i, int w) { return record("update", d, i, w); }});
        for (const auto &c : cases) {
            port_calls.clear();
            port_answer = c.answer, port_errno = c.err_no;
            RunResult r = run_qsupdate_here(host, c.args);
            EXPECT_EQ(port_calls, c.calls) << testing::PrintToString(c.args);
            EXPECT_EQ(std::make_pair(r.status, r.err), std::make_pair(c.status, c.err)) << testing::PrintToString(c.args);
        }
    }
    EXPECT_EQ(current_port_actions().status, &show_status);
    EXPECT_EQ(current_port_actions().update, &update_firmware);
}

} // namespace
