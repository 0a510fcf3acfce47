// The command line as a user meets it: messages, output and exit status.
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <tuple>

#include <gtest/gtest.h>

#include "app/qsupdate/port_actions.h"
#include "app/qsupdate/qsupdate.h"
#include "lib/utils/linux/qsu_device.h"
#include "tests/lab/support/lab_fixture.h"
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

enum Host { bare, eth0, no_class_net, esxi, eth7_refuses };
const std::string images = "/var/lib/qsutils/"; // in the lab's root

struct RunCase {
    Host host;
    std::vector<std::string> args;
    int status;
    std::string out, err;
};

void PrintTo(const RunCase &c, std::ostream *os)
{
    static const char *const hosts[] = {"", "eth0: ", "no-class-net: ", "esxi: ", "eth7-refuses: "};
    *os << hosts[c.host] << testing::PrintToString(c.args);
}

// Driver loaded; "eno1" has another driver, "lo" none, "eth7" refuses to say; images in the kept directory.
std::unique_ptr<InProcessLab> make_host(Host kind)
{
    lab::LabState state = lab_host(kind == esxi ? lab::HostKind::esxi : lab::HostKind::linux_host, {});
    if (kind == eth0)
        lab::add_preset_adapter(state, "cedar", 1);
    if (kind == eth7_refuses) {
        state.interfaces.push_back(state.interfaces.back());
        state.interfaces.back().ifname = "eth7";
        state.interfaces.back().bus_info = "0000:00:1f.6";
        state.faults = lab::faults_from_json(nlohmann::json::array({fault("eth7", "ioctl", "SIOCETHTOOL", "EPERM")}));
    }
    auto host = std::make_unique<InProcessLab>(state);
    const std::string root = host->lab().root();
    if (kind == no_class_net)
        std::filesystem::remove_all(root + "/sys/class/net");
    const std::vector<uint8_t> rom = build_ipxe_rom(4), fw = build_plain_image(), small_rom = build_ipxe_rom();
    const std::pair<const char *, std::string> files[] = {
        {"junk.bin", std::string(64, 'z')}, {"not-a-rom.bin", "\xAA\x55rom"}, {"empty.bin", ""},
        {"rom.bin", {rom.begin(), rom.end()}}, {"cut.bin", {rom.begin(), rom.end() - 512}},
        {"bad-sum.bin", std::string(rom.begin(), rom.end() - 1) + char(rom.back() + 1)},
        {"fw.bin", {fw.begin(), fw.end()}}, {"small-rom.bin", {small_rom.begin(), small_rom.end()}}};
    std::filesystem::create_directories(root + images);
    for (const auto &[name, bytes] : files)
        std::ofstream(root + images + name, std::ios::binary) << bytes;
    return host;
}

class Outcome : public ::testing::TestWithParam<RunCase> {};

TEST_P(Outcome, IsWhatTheUserSees)
{
    RunResult r = run_qsupdate(make_host(GetParam().host)->platform(), GetParam().args);
    EXPECT_EQ(std::tie(r.status, r.out, r.err), std::tie(GetParam().status, GetParam().out, GetParam().err));
}

const std::string version = "Duskhollow firmware update utility: v7.6.1.1006\n";
const std::string driver = "Network adapter driver version: 5.3.12.1004\n";
std::string not_ours(const std::string &name)
{
    return name + " is not a valid MAC address or Duskhollow adapter name\n";
}
std::string bad_image(const std::string &name) { return images + name + ": Invalid firmware image\n"; }

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
    {bare, {"--help", "--adapter=eno1"}, 2, banner, not_ours("eno1")},
    {bare, {"--adapter=00:11:22:33:44:55:66"}, 2, banner, not_ours("00:11:22:33:44:55:66")},
    {bare, {"--adapter=eth0123456789abc"}, 2, banner, not_ours("eth0123456789abc")},
    {bare, {"--adapter=vmnic0123456789abcd"}, 2, banner, not_ours("vmnic0123456789abcd")},
    {esxi, {"--adapter=eth0123456789abc"}, 2, banner, not_ours("eth0123456789abc")},
    {esxi, {"--adapter=vmnic0123456789abcd"}, 2, banner, not_ours("vmnic0123456789abcd")},
    // An interface whose driver cannot be asked is fatal.
    {eth7_refuses, {"--help", "--adapter=eth7"}, 1, banner, "Fatal error: Operation not permitted (1)\n"},
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
    {bare, {"--write", "--image=" + images + "junk.bin"}, 1,
     banner + "ASN: Error: Nested TLV does not fit in the wrapper, 7c > 40\n"
              "Failed to parse signed image: 1\n",
     bad_image("junk.bin")},
    {bare, {"--write", "--ipxe-image=" + images + "not-a-rom.bin"}, 1, banner, bad_image("not-a-rom.bin")},
    {bare, {"--write", "--image=" + images + "empty.bin"}, 1, banner + "Failed to parse signed image: 2\n",
     bad_image("empty.bin")},
    {bare, {"--write", "--ipxe-image=" + images + "cut.bin"}, 1, banner, bad_image("cut.bin")},
    {bare, {"--write", "--ipxe-image=" + images + "bad-sum.bin"}, 1, banner, bad_image("bad-sum.bin")},
    {bare, {"--write", "--ipxe-image=" + images + "rom.bin"}, 1, banner, "No Duskhollow adapters found\n"},
    // What a restore is given to put back must be a boot ROM.
    {bare, {"--restore-bootrom", "--image=" + images + "fw.bin"}, 1, banner,
     images + "fw.bin: not a Boot ROM image\n"},
    // Silent status inspects no port, so an image given for it applies nowhere.
    {eth0, {"-s"}, 0, "", ""},
    {eth0, {"-s", "--image=" + images + "fw.bin"}, 1, "", images + "fw.bin cannot be applied to any adapter\n"},
    {eth0, {"-s", "--image=" + images + "fw.bin", "-i", "eth0"}, 1, "", images + "fw.bin cannot be applied to eth0\n"}};
INSTANTIATE_TEST_SUITE_P(Rules, Outcome, ::testing::ValuesIn(kRuns));

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
    std::unique_ptr<InProcessLab> host = make_host(eth0);
    const std::string fw = "--image=" + images + "fw.bin", rom = "--ipxe-image=" + images + "small-rom.bin";
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
        {{"--write", fw}, {"update eth0 0x200007 image"}},
        {{rom}, {"status eth0 0x10200200 image"}},
        {{"--write", rom, "--verbose"}, {"update eth0 0x10201200 image"}},
        {{"--write", rom, "--backup"}, {"update eth0 0x10600200 image"}},
        {{"--write", rom, "--fake-v1"}, {"update eth0 0x11200200 image"}},
        {{"--write", rom, "--fake-v9"}, {"update eth0 0x12200200 image"}},
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
            RunResult r = run_qsupdate_here(host->platform(), c.args);
            EXPECT_EQ(port_calls, c.calls) << testing::PrintToString(c.args);
            EXPECT_EQ(std::make_pair(r.status, r.err), std::make_pair(c.status, c.err)) << testing::PrintToString(c.args);
        }
    }
    EXPECT_EQ(current_port_actions().status, &show_status);
    EXPECT_EQ(current_port_actions().update, &update_firmware);
}

} // namespace
