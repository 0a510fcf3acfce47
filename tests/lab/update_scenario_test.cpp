// Updates end to end through the lab: the screen, the adapter afterwards, and the next run.
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <tuple>

#include <gtest/gtest.h>

#include "app/qsupdate/options.h"
#include "app/qsupdate/phy_flash_mode.h"
#include "app/qsupdate/qsupdate.h"
#include "tests/lab/support/lab_fixture.h"
#include "tests/lab/support/nv_run.h"

using nlohmann::json;

namespace {

// The reports without any progress record, or (settled) without those a later record overwrote.
std::string messages(const std::string &out, bool settled = false)
{
    static const std::regex record(R"(\[[ \d]{3}%\] .{70}[\r\n])"), overwritten(R"(\[[ \d]{3}%\] .{70}\r)");
    return std::regex_replace(out, settled ? overwritten : record, "");
}

std::string done(const std::string &status)
{
    char line[96];
    std::snprintf(line, sizeof line, "[100%%] %-70s\n", status.c_str());
    return line;
}

std::string prompt(const std::string &ifname, const std::string &type)
{
    return ifname + ": will be disabled during " + type +
           " update\nTo continue, press Y then Enter\nTo skip this update, press Enter\n";
}

// With --backup, `backup` says where the old firmware is kept.
std::string wrote(const std::string &port, const std::string &kind, const std::string &from, const std::string &to,
                  const std::string &backup = "")
{
    return port + ": updating " + kind + " from " + from + " to " + to + "\n" +
           (backup.empty() ? "" : port + ": reading old " + kind + "\n" + port + ": " + backup + "\n") + port +
           ": writing " + kind + "\n" + port + ": writing version information\n";
}

// Events of the last run that contain the text, without their time stamps.
std::vector<std::string> last_run(const TestLab &lab, const std::vector<std::string> &texts)
{
    std::vector<std::string> all = lab.events_with(""), found;
    auto start = std::find_if(all.rbegin(), all.rend(), [](const std::string &e) { return e.rfind("run ", 0) == 0; });
    for (auto it = start.base(); it != all.end(); ++it)
        if (std::any_of(texts.begin(), texts.end(), [&](const std::string &t) { return it->find(t) != std::string::npos; }))
            found.push_back(*it);
    return found;
}

// One qsupdate run of a lifecycle and all it must leave.
struct Step {
    std::vector<std::string> args; // one "qsupdate ..." word: a printed command, run as printed
    std::string input;
    int status;
    // Reports sans progress ("..." first: a part; with "[100%]": settled), stderr; "LAB" the lab's directory.
    std::string screen, err;
    std::vector<std::string> shown = {};           // texts `qslab show` then holds
    std::map<std::string, std::string> flash = {}; // partition: "old", "erased", or the image token it holds
    std::optional<std::vector<std::string>> events = {}; // the run's interface, reset and PHY-mode events
    std::optional<json> faults = {};                     // the lab's one fault for this run on
};

struct Life {
    const char *what;
    std::vector<std::string> create;
    std::vector<Step> steps;
    std::map<std::string, std::string> files = {}; // lab files made first, which no run may change
    std::map<std::string, std::string> links = {}; // links planted first: name, the file it points at
};

void live(const Life &life)
{
    SCOPED_TRACE(life.what);
    TestLab lab(life.create);
    for (const auto &[name, text] : life.files)
        std::ofstream(lab.dir() + "/" + name) << text;
    for (const auto &[name, target] : life.links) {
        std::filesystem::create_directories(std::filesystem::path(lab.dir() + "/" + name).parent_path());
        std::filesystem::create_symlink(lab.dir() + "/" + target, lab.dir() + "/" + name);
    }
    const std::map<std::string, std::string> old = flash_files(lab.dir());
    for (size_t n = 0; n < life.steps.size(); ++n) {
        const Step &s = life.steps[n];
        SCOPED_TRACE("step " + std::to_string(n + 1));
        if (s.faults)
            lab.edit([&](json &j) { j["faults"] = json::array({*s.faults}); });
        std::vector<std::string> args;
        for (const std::string &a : s.args)
            args.push_back(resolve(lab, a));
        CommandResult r = args.size() == 1 && args[0].starts_with("qsupdate ") ? lab.run_printed(args[0], s.input)
                                                                               : lab.qsupdate(args, s.input);
        const std::string out = replaced(messages(r.out, s.screen.find("[100%]") != std::string::npos), lab.dir(), "LAB");
        EXPECT_EQ(s.screen.starts_with("...") && out.find(s.screen.substr(3)) != std::string::npos ? s.screen : out,
                  s.screen);
        EXPECT_EQ(replaced(r.err, lab.dir(), "LAB"), s.err);
        EXPECT_EQ(r.status, s.status);
        const std::string show = s.shown.empty() ? "" : lab.qslab({"show", lab.dir()}).out;
        for (const std::string &text : s.shown)
            EXPECT_NE(show.find(text), std::string::npos) << text;
        for (const auto &[id, what] : s.flash) {
            const std::string now = read_file(lab.dir() + "/flash/" + id + ".bin");
            if (what == "old" || what == "erased") {
                EXPECT_TRUE(now == (what == "old" ? old.at(id) : std::string(now.size(), '\xff'))) << id << " " << what;
                continue;
            }
            // A plain image's code follows its header; an iPXE ROM is written whole over an erased partition.
            const std::string image = make_image(lab, what), code = what.starts_with("ipxe") ? image : image.substr(40, 4096);
            EXPECT_TRUE(now.starts_with(code)) << id << " holds " << what;
            EXPECT_TRUE(!what.starts_with("ipxe") || now.find_first_not_of('\xff', code.size()) == std::string::npos);
        }
        if (s.events) {
            EXPECT_EQ(last_run(lab, {"interface ", "reset", "phy_flash_cfg"}), *s.events);
        }
    }
    for (const auto &[name, text] : life.files)
        EXPECT_EQ(read_file(lab.dir() + "/" + name), text) << "nothing written through a planted link";
}

const std::string MC = "img:3:37:7.5.0.1000";
const std::string MC_BEFORE = "7.4.3.1008", IPXE = "ipxe:8192";
const std::string UNTOUCHED = "a1-dynamic-cfg-00: generation 24,"; // a Dogwood2 configuration never rewritten
const std::vector<std::string> DOWN_RESET_UP = {"interface eth0 down", "ethtool reset of eth0 (flags 0xffffffff)",
                                                "interface eth0 up"};

} // namespace

// Lifecycles of one adapter: the runs in order, and what each leaves.
TEST(UpdateScenario, Lifecycles)
{
    const std::string backup = "/var/lib/qsutils/MCPU_3_37_v7.4.3.1008.dat", fatal = "Fatal error: Input/output error (5)\n";
    const std::string rom_backup = "/var/lib/qsutils/BOOTROM_2_7_v7.4.1.1003.dat",
                      undo = "qsupdate --restore-bootrom --image=" + rom_backup + " --adapter=eth0";
    const std::string refused = "An error occurred when finishing the update\n";
    const std::string read_failed = "Failed to read partition eth0 qsc_dynamic_cfg:00 offset 0 size ";
    const std::string phy_backup = "/var/lib/qsutils/PHY_0_9_v2.0.2.5.dat";
    const std::string esxi_serial = "get_qs_serial_esxi(): unsupported device type.\n";
    // On each kind of host: the port goes down only where it is ours (not ESXi), and the sibling and next run see it.
    auto on_host = [&](const char *platform, const std::string &p0, const std::string &p1, const std::string &err,
                       const Strings &events) {
        const std::string same = ": not changing controller firmware from 7.5.0.1000 to 7.5.0.1000\n";
        return Life{platform, {"--platform", platform, "--adapter", "dogwood2:2"},
                    {{{"--write", "--image=" + MC}, "y\n", 0, BANNER + wrote(p0, "controller firmware", MC_BEFORE, "7.5.0.1000"),
                      err + err + (err.empty() ? prompt(p0, "controller firmware") : "") + p1 + same,
                      // Recorded, reported by ethtool after the reset, and the family no longer describes the flash.
                      {"controller firmware 7.5.0.1000, subtype 0x25", ", firmware 7.5.0.1000\n", "VPD: family none"},
                      {{"a1-mcfw-25", MC}}, events},
                     {{"--write", "--image=" + MC}, "", 0, BANNER, err + err + p0 + same + p1 + same}}};
    };
    // An iPXE install with --backup, undone by the command it offers, run as printed.
    auto ipxe_undone = [&](const char *what, const char *adapter) {
        return Life{what, {"--adapter", adapter},
                    {{{"--write", "--backup", "--ipxe-image=" + IPXE}, "", 0,
                      BANNER + "eth0: updating Boot ROM from 7.4.1.1003\neth0: reading old Boot ROM\n"
                               "eth0: saving old Boot ROM to " + rom_backup + "\neth0: writing Boot ROM\n"
                               "eth0: to put the replaced Boot ROM back, run \"" + undo + "\"\n"
                               "eth0: writing version information\n", "", {}, {{"a1-bootrom-07", IPXE}}},
                     {{undo}, "", 0, BANNER + "eth0: updating Boot ROM to 7.4.1.1003\neth0: writing Boot ROM\n"
                                              "eth0: writing version information\n",
                      "", {"boot ROM 7.4.1.1003, subtype 0x07"}, {{"a1-bootrom-07", "old"}}},
                     {{"--bootrom"}, "", 0, "...    Boot ROM version:   v7.4.1.1003\n", ""}}};
    };
    const Life lives[] = {
        on_host("linux", "eth0", "eth1", "", DOWN_RESET_UP),
        on_host("esx", "eth0", "eth1", "", DOWN_RESET_UP),
        on_host("esxi", "vmnic1", "vmnic2", esxi_serial, {"controller reset through vmnic1 (flags 0xffffffff)"}),
        {"the screen settles on what each step completed", {"--adapter", "dogwood2:1"},
         {{{"--write", "--yes", "--image=" + MC}, "", 0,
           BANNER + "eth0: updating controller firmware from 7.4.3.1008 to 7.5.0.1000\neth0: writing controller firmware\n" +
               done("Complete") + done("Complete") + "eth0: writing version information\n" + done("Complete"),
           ""}}},
        // Firmware the ports share: the first port writes it and records it on its sibling too.
        {"shared", {"--adapter", "birch:2"},
         {{{"--write", "-y", "--image=img:3:8:7.5.0.1000"}, "", 0,
           BANNER + wrote("eth0", "controller firmware", "3.3.2.1000", "7.5.0.1000") + "eth1: writing version information\n",
           "eth1: not changing controller firmware from 7.5.0.1000 to 7.5.0.1000\n",
           {"V3=7.5.0.1000\n    a1-dynamic-cfg-00-p1", "V3=7.5.0.1000\n\n"}, {}, {{"ethtool reset of eth0 (flags 0xffffffff)"}}},
          // A boot ROM names the UEFI ROM it carries by its extra version; one that names none leaves it.
          {{"--write", "-y", "-s", "--adapter=eth0", "--image=img:2:2:3.4.0.0:3.1.0.6"}, "", 0, "", "", {" V1=3.1.0.6\n"}},
          {{"--write", "-y", "-s", "--adapter=eth0", "--image=img:2:2:3.5.0.0"}, "", 0, "", "", {" V1=3.1.0.6\n"}}}},
        {"shared, forced", {"--adapter", "birch:2"},
         {{{"--write", "-y", "--force", "--image=img:3:8:3.3.2.1000"}, "", 0,
           BANNER + wrote("eth0", "controller firmware", "3.3.2.1000", "3.3.2.1000") + "eth1: writing version information\n",
           "eth1: not changing controller firmware, shared with eth0\n",
           {"V3=3.3.2.1000\n    a1-dynamic-cfg-00-p1", "V3=3.3.2.1000\n\n"}, {}, {{"ethtool reset of eth0 (flags 0xffffffff)"}}}}},
        // The sibling's record that no try stores fails the run, naming where it is kept.
        {"shared, the sibling's record not stored", {"--adapter", "birch:2"},
         {{{"--write", "-y", "--image=img:3:8:7.5.0.1000"}, "", 1,
           BANNER + wrote("eth0", "controller firmware", "3.3.2.1000", "7.5.0.1000") + "eth1: writing version information\n",
           "Failed to erase partition eth1 qsc_dynamic_cfg:00\nFailed to erase partition eth1 qsc_dynamic_cfg:00\n"
           "Failed to erase partition eth1 qsc_dynamic_cfg:00\neth1: Could not store version information\n"
           "eth1: the configuration to be written is kept in /var/lib/qsutils/dynamic_cfg_S1407R120340_port1.dat until "
           "an update stores it\n" + fatal,
           {}, {}, {}, fault("a1-dynamic-cfg-00-p1", "erase")}}},
        {"iPXE installed as offered, kept from ordinary images, then restored", {"--adapter", "dogwood2:1"},
         {{{"--ipxe-image=" + IPXE}, "", 0,
           "...\n   - run \"qsupdate --write --ipxe-image=LAB/ipxe_8192.bin\" to perform an update\n", ""},
          {{"qsupdate --write --ipxe-image=LAB/ipxe_8192.bin"}, "", 0,
           BANNER + "eth0: updating Boot ROM from 7.4.1.1003\neth0: writing Boot ROM\neth0: to put a Boot ROM back, run "
                    "\"qsupdate --restore-bootrom --image=FILE --adapter=eth0\" with a Boot ROM image for this adapter\n"
                    "eth0: writing version information\n",
           "", {}, {{"a1-bootrom-07", IPXE}}},
          {{"--write", "--image=img:2:7:7.5.0.1000"}, "", 0, BANNER, "eth0: not upgrading iPXE Boot ROM image\n", {},
           {{"a1-bootrom-07", IPXE}}},
          {{"--write", "--ipxe-image=" + IPXE, "-s"}, "", 0, "", ""},
          // No bundle metadata names a boot ROM here; the restore's own option word is never silent.
          {{"--restore-bootrom", "-s"}, "", 0, done("Complete"), ""}}},
        // Bundle metadata names every kind's version: what was written shows, and is not offered again.
        {"a bundle board", {"--adapter", "oem:1"},
         {{{"--write", "-y", "-s", "--image=img:3:42:7.5.0.1000"}, "", 0, "", ""},
          {{"--image=img:3:42:7.5.0.1000"}, "", 0,
           "...    Controller version: v7.5.0.1000\n\nThe controller firmware is up to date\n", ""},
          {{"--write", "-y", "-s", "--image=img:3:42:7.5.0.1000"}, "", 0, "", "", {}, {}, {{}}},
          {{"--write", "-y", "-s", "--ipxe-image=" + IPXE}, "", 0, "", ""},
          {{}, "", 0, "...    Boot ROM version:   iPXE\n", ""},
          {{"--write", "-y", "-s", "--image=img:2:7:7.5.0.1000"}, "", 0, "", "eth0: not upgrading iPXE Boot ROM image\n"},
          // The restore writes the erase image with the version the metadata names.
          {{"--restore-bootrom"}, "", 0,
           BANNER + "eth0: updating Boot ROM to 7.4.1.1003\neth0: writing Boot ROM\neth0: writing version information\n",
           "", {}, {{"a1-bootrom-07", "erased"}}},
          // A bundle, once the controller has unpacked it, shows as written.
          {{"--write", "-y", "-s", "--image=img:13:1:7.5.0.1000"}, "", 0, "", ""},
          {{"--image=img:13:1:7.5.0.1000"}, "", 0,
           "...    Bundle version:     v7.5.0.1000\n\nThe Bundle firmware is up to date\n", ""},
          {{"--mc"}, "", 0, "...    Controller version: v7.5.0.1000\n", ""}}},
        // The components the controller names once it has unpacked a bundle replace what the configuration recorded.
        {"a bundle over a recorded version the flash does not hold", {"--adapter", "oem:1"},
         {{{"--write", "-y", "-s", "--fake-v9", "--image=img:3:42:7.5.0.1000"}, "", 0, "", ""},
          {{"--write", "-y", "-s", "--image=img:13:1:7.6.0.1"}, "", 0, "", ""},
          {{"--mc"}, "", 0, "...    Controller version: v7.5.0.1000\n", ""}}},
        ipxe_undone("iPXE with backup, undone", "dogwood2:1"),
        ipxe_undone("iPXE with backup on a bundle board, undone", "oem:1"),
        {"Cedar's boot ROM takes no iPXE", {"--adapter", "cedar:1"},
         {{{"--write", "--backup", "--ipxe-image=" + IPXE, "-s"}, "", 1, "", "LAB/ipxe_8192.bin cannot be applied to any adapter\n",
           {}, {{"a1-bootrom-04", "old"}}}}},
        // The backup is the old partition as a plain image of the installed version, which --image takes again.
        {"backup", {"--adapter", "dogwood2:1"},
         {{{"--write", "--backup", "-y", "--image=" + MC}, "", 0,
           BANNER + wrote("eth0", "controller firmware", MC_BEFORE, "7.5.0.1000", "saving old controller firmware to " + backup),
           ""},
          {{"--write", "--force", "-y", "--image=LAB/root" + backup}, "", 0,
           BANNER + wrote("eth0", "controller firmware", "7.5.0.1000", MC_BEFORE), "", {}, {{"a1-mcfw-25", "old"}}},
          {{"--write", "--backup", "-y", "--image=" + MC}, "", 0,
           BANNER + wrote("eth0", "controller firmware", MC_BEFORE, "7.5.0.1000",
                          "old controller firmware is already saved in " + backup),
           ""}}},
        // A name taken by something else, a link included, is left alone for the next free one.
        {"backup beside a planted link", {"--adapter", "dogwood2:1"},
         {{{"--write", "--backup", "-y", "-s", "--image=" + MC}, "", 0, "", ""},
          {{"--write", "--force", "-y", "-s", "--image=LAB/root/var/lib/qsutils/MCPU_3_37_v7.4.3.1008-2.dat"}, "", 0, "",
           "", {}, {{"a1-mcfw-25", "old"}}}},
         {{"victim", "keep"}},
         {{"root" + backup, "victim"}}},
        {"a backup that cannot be made stops the write", {"--adapter", "dogwood2:1"},
         {{{"--write", "--backup", "--image=" + MC}, "y\n", 1,
           BANNER + "eth0: updating controller firmware from 7.4.3.1008 to 7.5.0.1000\neth0: reading old controller firmware\n",
           prompt("eth0", "controller firmware") + "Failed to read partition eth0 qsc_mcfw:25 offset 0 size 4096\n"
                                                  "eth0: Could not save old controller firmware\n" + fatal,
           {UNTOUCHED}, {{"a1-mcfw-25", "old"}}, {{"interface eth0 down", "interface eth0 up"}}, fault("a1-mcfw-25", "read")}}},
        // Two ports' identical PHY images are one backup; no row here puts the PHY in flash mode.
        {"PHY", {"--adapter", "birch:2"},
         {{{"--write", "-y", "--backup", "--image=img:0:9:2.1.0.0"}, "", 0,
           BANNER + wrote("eth0", "PHY firmware", "2.0.2.5", "2.1.0.0", "saving old PHY firmware to " + phy_backup) +
               wrote("eth1", "PHY firmware", "2.0.2.5", "2.1.0.0", "old PHY firmware is already saved in " + phy_backup),
           "", {"PHY firmware of port 0 2.1.0.0", "PHY firmware of port 1 2.1.0.0"},
           {{"a1-phy-09-p0", "img:0:9:2.1.0.0"}, {"a1-phy-09-p1", "img:0:9:2.1.0.0"}}, {{}}}}},
        // --fake-v1 and --fake-v9 record their version, and the family's even when nothing is written.
        {"fake versions", {"--adapter", "dogwood2:1"},
         {{{"--write", "--fake-v1"}, "", 0, BANNER + "eth0: writing version information\n",
           "No firmware is available for any adapter\n",
           {"VPD: family 1.0.0; V0=1.0.0", "controller firmware 7.4.3.1008, subtype 0x25"}},
          {{"--write", "--fake-v9", "-y", "--image=" + MC}, "", 0,
           BANNER + wrote("eth0", "controller firmware", MC_BEFORE, "9.0.0.0"), "",
           {"controller firmware 9.0.0.0, subtype 0x25", "VPD: family 9.0.0; V0=9.0.0"}},
          {{"--write", "--image=" + MC}, "", 0, BANNER, "eth0: not changing controller firmware from 9.0.0.0 to 7.5.0.1000\n"}}},
        // A first-generation port keeps no configuration to record in; a newer board beside it updates.
        {"first generation", {"--adapter", "alder-0710:1"},
         {{{"--write", "--fake-v1"}, "", 0, BANNER + done("Complete"), "No firmware is available for any adapter\n"}}},
        {"first generation beside a newer board", {"--adapter", "alder-0710:2", "--adapter", "dogwood2:1"},
         {{{"--write", "-y", "--image=" + MC}, "", 0, BANNER + wrote("eth2", "controller firmware", MC_BEFORE, "7.5.0.1000"),
           ""}}},
        // A configuration reached only through the sibling: eth1 updates, but cannot record on eth0.
        {"configuration through the sibling", {"--adapter", "birch:2"},
         {{{"--write", "-y", "--image=img:3:8:7.5.0.1000"}, "", 1, BANNER,
           read_failed + "4\neth0: Firmware is not accessible, please use eth1.\n" + read_failed +
               "4096\neth1: Could not open dynamic config for interface eth0\n" + fatal,
           {}, {}, {}, fault("a1-dynamic-cfg-00-p0", "read")}}},
        // A sibling whose identity could not be read has no configuration to record in: a failure of its own.
        {"a sibling of unknown identity", {"--adapter", "birch:2"},
         {{{"--write", "-y", "-s", "-i", "eth0", "--image=img:3:8:7.5.0.1000"}, "", 1, "",
           "eth0: Could not open dynamic config for interface eth1\n" + fatal, {}, {}, {},
           fault("/sys/bus/pci/devices/0000:03:00.1/device", "read", "", "ENOENT")}}},
        {"configuration out of reach", {"--adapter", "birch:1"},
         {{{"--write", "-y", "--image=img:3:8:7.5.0.1000"}, "", 1, BANNER,
           read_failed + "4\neth0: Firmware is not accessible.\nDynamic configuration is corrupt. Run 'qsboot -i eth0 "
                         "--repair' to revert back to firmware defaults.\nPlease contact support@duskhollow.example "
                         "to report this incident and for more information on recovery procedure\n\nNo adapters "
                         "could be accessed. You may need to run this utility as root.\n",
           {}, {}, {}, fault("a1-dynamic-cfg-00-p0", "read")}}},
        // A write the flash did not take is found on reading it back: the row fails, nothing recorded.
        {"a dropped controller firmware write", {"--adapter", "dogwood2:1"},
         {{{"--write", "-y", "-s", "--image=" + MC}, "", 1, "",
           "Failed to write partition eth0 qsc_mcfw:25\neth0: " + refused +
               "eth0: Could not write new controller firmware image\n" + fatal,
           {UNTOUCHED}, {}, {}, fault("a1-mcfw-25", "write", "", "", {{"silent", "drop"}})}}},
        {"a boot ROM byte that does not program", {"--adapter", "dogwood2:1"},
         {{{"--write", "-y", "-s", "--image=img:2:7:7.5.0.1000"}, "", 1, "",
           "Failed to write partition eth0 qsc_exp_rom:07\neth0: Could not write new Boot ROM image\n" + fatal,
           {UNTOUCHED}, {}, {}, fault("a1-bootrom-07", "write", "", "", {{"silent", "stuck-byte"}})}}},
        {"a controller firmware byte that does not program, on ESXi", {"--platform", "esxi", "--adapter", "dogwood2:1"},
         {{{"--write", "-y", "-s", "--image=" + MC}, "", 1, "",
           esxi_serial + "Failed to write NVRAM sector: Input/output error\nvmnic1: " +
               refused + "vmnic1: Could not write new controller firmware image\n" + fatal,
           {UNTOUCHED}, {}, {}, fault("a1-mcfw-25", "write", "", "", {{"silent", "stuck-byte"}})}}},
        {"a configuration write the flash did not take is made again", {"--adapter", "dogwood2:1"},
         {{{"--write", "-y", "-s", "--image=" + MC}, "", 0, "", "Failed to write partition eth0 qsc_dynamic_cfg:00\n",
           {"controller firmware 7.5.0.1000, subtype 0x25"}, {}, {},
           fault("a1-dynamic-cfg-00", "write", "", "", {{"silent", "drop"}, {"occurrence", 1}})}}},
    };
    for (const Life &life : lives)
        live(life);
}

// Only a whole line of leading letters of "yes" takes the interface down; other answers skip the row.
TEST(UpdateScenario, PromptAnswersAndTheInterface)
{
    TestLab lab({"--adapter", "dogwood2:1"});
    const std::string fw = resolve(lab, "img:3:37:7.4.3.1008");
    const std::string announced = BANNER + wrote("eth0", "controller firmware", MC_BEFORE, MC_BEFORE);
    const struct {
        std::string input, option;
        bool port_up, asked, written;
    } cases[] = {
        {"y\n", "", true, true, true},        {"Yes\n", "", true, true, true},     {"yE\nn\n", "", true, true, true},
        {"\n", "", true, true, false},        {"no\n", "", true, true, false},     {"yess\n", "", true, true, false},
        {"yesyesyes\n", "", true, true, false}, {"y", "", true, true, false},     {"", "", true, true, false},
        {"", "--yes", true, false, true},     {"", "--silent", true, false, true}, {"", "", false, false, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.input) + " " + c.option + (c.port_up ? "" : " down"));
        lab.edit([&](json &j) { j["adapters"][0]["ports"][0]["up"] = c.port_up; });
        std::vector<std::string> args = {"--write", "--force", "--adapter=eth0", "--image=" + fw};
        if (!c.option.empty())
            args.push_back(c.option);
        CommandResult r = lab.qsupdate(args, c.input);
        expect_run(r, 0, r.out, c.asked ? prompt("eth0", "controller firmware") : "");
        // The update is announced before the question.
        EXPECT_EQ(messages(r.out), c.option == "--silent" ? ""
                                   : c.written            ? announced
                                                          : announced.substr(0, announced.find("eth0: writing")));
        const bool down = c.written && c.port_up && c.option != "--yes";
        EXPECT_EQ(last_run(lab, {"interface ", "ethtool reset"}),
                  !c.written ? Strings{} : down ? DOWN_RESET_UP : Strings{DOWN_RESET_UP[1]});
    }
}

// The configurations' lines of `qslab show`, generations aside.
std::string configurations(const TestLab &lab)
{
    const std::string show = lab.qslab({"show", lab.dir()}).out;
    const size_t from = show.find("Configurations:"), to = show.find("\n\n", from);
    static const std::regex generation(R"(generation \d+)");
    return std::regex_replace(show.substr(from, to - from), generation, "generation N");
}

// A power cut mid configuration write: the kept copy holds it all, the report says so, the next update restores it.
TEST(UpdateScenario, PowerCutDuringTheConfigurationWrite)
{
    for (auto [adapter, config, image] : {std::tuple{"cedar:2", "a1-dynamic-cfg-00", "img:3:18:7.5.0.1000"},
                                          {"dogwood2:2", "a1-dynamic-cfg-00", "img:3:37:7.5.0.1000"},
                                          {"birch:2", "a1-dynamic-cfg-00-p0", "img:3:8:7.5.0.1000"}}) {
        TestLab reference({"--adapter", adapter, "--rich-config"});
        expect_run(reference.qsupdate({"--write", "-y", "-s", "--image=" + resolve(reference, image)}), 0, "", "");
        for (const std::string cut : {"0", "100"}) {
            SCOPED_TRACE(std::string(adapter) + ", cut after " + cut);
            TestLab lab({"--adapter", adapter, "--rich-config"});
            const std::string fw = resolve(lab, image), kept = lab.dir() + "/root/var/lib/qsutils";
            lab.qslab({"fault", lab.dir(), "--target", config, "--operation", "write", "--occurrence", "1",
                       "--cut-after", cut, "--power-cut"});
            EXPECT_NE(lab.qsupdate({"--write", "-y", "-s", "--image=" + fw}).status, 0);
            lab.qslab({"fault", lab.dir(), "--clear"});
            ASSERT_EQ(std::ranges::distance(std::filesystem::directory_iterator(kept)), 1) << "one copy kept";
            const std::string copy = "/var/lib/qsutils/" + std::filesystem::directory_iterator(kept)->path().filename().string();
            CommandResult r = lab.qsupdate({});
            EXPECT_NE(r.out.find("    Dynamic configuration was found " + std::string(cut == "0" ? "erased" : "damaged") +
                                 "; the next update restores it from\n    " + copy + ".\n"),
                      std::string::npos)
                << r.out;
            EXPECT_NE(r.out.find("    Controller version: v7.5.0.1000\n"), std::string::npos) << "from the copy";
            r = lab.qsupdate({"--write", "-y", "--image=" + fw});
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_NE(messages(r.out).find("eth0: restoring the dynamic configuration from " + copy + "\n"),
                      std::string::npos)
                << r.out;
            EXPECT_TRUE(std::filesystem::is_empty(kept)) << "the copy is gone once written back";
            EXPECT_EQ(configurations(lab), configurations(reference));
        }
    }
}

// Kinds that erase on demand are fully erased only when asked; an iPXE ROM always.
TEST(UpdateScenario, FullEraseOnlyWhenAskedForKindsThatEraseOnDemand)
{
    for (auto [adapter, option, image, partition, blocks] :
         {std::tuple{"dogwood:1", "--yes", "--image=img:6:7:7.5.0.1000", "a1-fpga-07", 2u},
          {"dogwood:1", "--full-erase", "--image=img:6:7:7.5.0.1000", "a1-fpga-07", 16u},
          {"dogwood2:1", "--yes", "--ipxe-image=ipxe:8192", "a1-bootrom-07", 4u}}) {
        SCOPED_TRACE(std::string(option) + " " + image);
        TestLab lab({"--adapter", adapter});
        expect_run(lab.qsupdate({"--write", "--force", "-y", "-s", option, resolve(lab, image)}), 0, "", "");
        EXPECT_EQ(last_run(lab, {std::string("flash ") + partition + ": erase"}).size(), blocks);
    }
}

// The OEM document of one update on the OEM adapter, whose bundle is 7.4.3.
std::string oem_update(const std::string &package, const std::string &id, const std::string &text)
{
    const std::string doc = oem_document(1), device_end = "\t</Device>\n";
    std::string application =
        "\t\t<Application componentType=\"FRMW\" version=\"7.4.3\" display=\"Application Firmware\">\n" +
        (package.empty() ? "" : "\t\t\t<Package version=\"" + package + "\"/>\n") + "\t\t\t<SPStatus result=\"" +
        (text == "Update success." ? "true" : "false") + "\">\n\t\t\t\t<Message id=\"" + id + "\"> " + text +
        "</Message>\n\t\t\t</SPStatus>\n\t\t</Application>\n";
    return std::string(doc).insert(doc.find(device_end), application);
}

// Every verdict in the OEM document, whole whichever step failed; the interface comes back up.
TEST(UpdateScenario, OemDocumentForEveryOutcome)
{
    const std::string failure = "Update failure. ", unsigned_refused =
        failure + "Update failure: Could not write new image. Newer qsc driver required.";
    const struct {
        const char *what, *platform;
        json faults;
        bool signed_only; // the controller takes signed firmware only
        std::string option;
        int status;
        std::string package, id, text;
    } cases[] = {
        {"written", "linux", {}, {}, "", 0, "7.5.0", "0", "Update success."},
        {"no image applies", "linux", {}, {}, "--bootrom", 0, "", "10",
         "Update failure: Could not write new image. A newer qsc driver may be required."},
        {"backup", "linux", fault("a1-mcfw-2a", "read"), {}, "--backup", 1, "7.5.0", "0", failure},
        {"sync", "linux", fault("a1-dynamic-cfg-00", "erase"), {}, "", 1, "7.5.0", "0", failure},
        {"open", "linux", fault("/dev/mtd0", "open"), {}, "", 1, "", "2", failure + "Could not open partition."},
        // On ESX the flash is reached through the control device: the enumeration takes four sockets.
        {"socket", "esx", fault("*", "socket", "", "EACCES", {{"occurrence", 5}}), {}, "", 1, "7.5.0", "3",
         failure + "Could not open socket."},
        {"flags", "linux", fault("eth0", "ioctl", "SIOCGIFFLAGS"), {}, "", 1, "7.5.0", "4",
         failure + "Could not read device flags."},
        {"down", "linux", fault("eth0", "ioctl", "SIOCSIFFLAGS"), {}, "", 1, "7.5.0", "5",
         failure + "Could not set device flag."},
        {"write", "linux", fault("a1-mcfw-2a", "erase"), {}, "", 1, "7.5.0", "8", failure + "Could not write new image."},
        // The controller judges what reaches its flash, through MTD or through itself.
        {"unsigned image refused", "esx", {}, true, "", 1, "7.5.0", "9", unsigned_refused},
        {"unsigned image refused through MTD", "linux", {}, true, "", 1, "7.5.0", "9", unsigned_refused},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        TestLab lab({"--platform", c.platform, "--adapter", "oem:1"});
        lab.edit([&](json &j) {
            j["faults"] = c.faults.is_null() ? json::array() : json::array({c.faults});
            j["adapters"][0]["requires_signed_mcfw"] = c.signed_only;
        });
        const std::string report = lab.dir() + "/report.xml";
        std::vector<std::string> args = {"--dell", "--write", "--output-file=" + report};
        args.push_back(c.option == "--bootrom" ? c.option : resolve(lab, "--image=img:3:42:7.5.0.1000"));
        if (c.option == "--backup")
            args.push_back(c.option);
        expect_run(lab.qsupdate(args), c.status, "", "");
        EXPECT_EQ(read_file(report), oem_update(c.package, c.id, c.text));
        // Taken down for the write and brought back up, whatever failed.
        const bool went_down = c.package == "7.5.0" && c.id != "3" && c.id != "4" && c.id != "5";
        EXPECT_EQ(last_run(lab, {"interface "}), (went_down ? Strings{"interface eth0 down", "interface eth0 up"} : Strings{}));
    }
}

// Failure id 1 comes before the Application element is due: it is opened for it.
TEST(UpdateScenario, OemElementsWhenAnotherPortsConfigurationDoesNotOpen)
{
    NvRun run(lab_host(lab::HostKind::linux_host, {{"birch", 2}}), fault("a1-dynamic-cfg-00-p1", "read"));
    testing::internal::CaptureStdout();
    errno = 0;
    const int rc = update_firmware(run.port(0), nullptr, OPTION_DELL | OPTION_SILENT | OPTION_ALL_FIRMWARE_TYPES);
    EXPECT_EQ(std::pair(rc, errno), std::pair(-1, EIO));
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\t\t<Application componentType=\"FRMW\" version=\"0.0.0\" display=\"Application Firmware\">\n"
                   "\t\t\t<SPStatus result=\"false\">\n\t\t\t\t<Message id=\"1\"> Update failure. Could not open "
                   "dynamic config for interface.</Message>\n\t\t\t</SPStatus>\n\t\t</Application>\n");
}

// The PHY's flash mode is one character written to the port's attribute; a failed write fails the call.
TEST(UpdateScenario, PhyFlashModeThroughTheAttribute)
{
    const char *attribute = "/sys/bus/pci/devices/0000:03:00.0/phy_flash_cfg";
    NvRun run(lab_host(lab::HostKind::linux_host, {{"birch", 1}}),
              fault(attribute, "write", "", "ENOSPC", {{"occurrence", 3}}));
    const int &mode = run.lab().state().adapters[0].ports[0].phy_flash_cfg;
    EXPECT_EQ(set_phy_flash_mode(run.port(0), true), 0);
    EXPECT_EQ(mode, 1);
    EXPECT_EQ(set_phy_flash_mode(run.port(0), false), 0);
    EXPECT_EQ(mode, 0);
    EXPECT_EQ(error_of(set_phy_flash_mode(run.port(0), true)), ENOSPC);
    EXPECT_EQ(mode, 0);
}
