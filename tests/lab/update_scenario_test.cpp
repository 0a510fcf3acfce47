// Updates end to end through the lab: what the user sees and answers, what
// the adapter holds afterwards, and what the next run makes of it.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include "app/qsupdate/options.h"
#include "app/qsupdate/phy_flash_mode.h"
#include "app/qsupdate/qsupdate.h"
#include "lab/model/lab_image.h"
#include "lib/utils/firmware.h"
#include "lib/utils/firmware_version.h"
#include "tests/lab/support/lab_fixture.h"
#include "tests/lab/support/nv_run.h"

using nlohmann::json;

namespace {

// The screen once every progress record that a later one overwrote is gone.
std::string settled(const std::string &out)
{
    static const std::regex overwritten(R"(\[[ \d]{3}%\] .{70}\r)");
    return std::regex_replace(out, overwritten, "");
}

// The reports alone, without any progress record.
std::string messages(const std::string &out)
{
    static const std::regex record(R"(\[[ \d]{3}%\] .{70}[\r\n])");
    return std::regex_replace(out, record, "");
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

std::string save(const TestLab &lab, const std::string &name, const std::vector<uint8_t> &bytes)
{
    const std::string path = lab.dir() + "/" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    return path;
}

std::string image(const TestLab &lab, uint32_t type, uint32_t subtype, std::array<uint16_t, 4> version,
                  size_t code_size = 4096)
{
    return save(lab, "fw.bin", lab::build_plain_image({type, subtype, version, {}, code_size}));
}

std::string flash(const TestLab &lab, const std::string &id)
{
    return read_file(lab.dir() + "/flash/" + id + ".bin");
}

// Events of the last run that contain the text, without their time stamps.
std::vector<std::string> last_run(const TestLab &lab, const std::string &text)
{
    std::vector<std::string> all = lab.events_with(""), found;
    auto start = std::find_if(all.rbegin(), all.rend(), [](const std::string &e) { return e.rfind("run ", 0) == 0; });
    for (auto it = start.base(); it != all.end(); ++it)
        if (it->find(text) != std::string::npos)
            found.push_back(*it);
    return found;
}

bool shows(const TestLab &lab, const std::string &text)
{
    return lab.qslab({"show", lab.dir()}).out.find(text) != std::string::npos;
}

const std::string UPDATE_MC = "eth0: updating controller firmware from 7.4.3.1008 to 7.5.0.1000\n"
                              "eth0: writing controller firmware\n";
const std::array<uint16_t, 4> NEWER = {7, 5, 0, 1000};
const std::array<uint16_t, 4> INSTALLED = {7, 4, 3, 1008};
const std::array<uint16_t, 4> BIRCH = {3, 3, 2, 1000};

} // namespace

// The road of one update on each kind of host: the port is taken down only
// where the interface is ours to take (not on ESXi), the reset (by ethtool,
// or by the control device on ESXi) starts the new firmware, the sibling
// port then finds the new version, and so does the next run.
TEST(UpdateScenario, ControllerUpdateOnEachHostAndTheNextRunSeesIt)
{
    const struct {
        const char *platform, *p0, *p1;
        bool interface;
        std::string err;
    } hosts[] = {
        {"linux", "eth0", "eth1", true, ""},
        {"esx", "eth0", "eth1", true, ""},
        {"esxi", "vmnic1", "vmnic2", false, "get_qs_serial_esxi(): unsupported device type.\n"},
    };
    for (const auto &h : hosts) {
        SCOPED_TRACE(h.platform);
        TestLab lab({"--platform", h.platform, "--adapter", "dogwood2:2"});
        const std::string fw = image(lab, 3, 37, NEWER);
        const std::string p0 = h.p0, p1 = h.p1;
        const std::string same = ": not changing controller firmware from 7.5.0.1000 to 7.5.0.1000\n";
        CommandResult r = lab.qsupdate({"--write", "--image=" + fw}, "y\n");
        expect_run(r, 0, r.out, h.err + h.err + (h.interface ? prompt(p0, "controller firmware") : "") + p1 + same);
        EXPECT_EQ(messages(r.out), BANNER + p0 + ": updating controller firmware from 7.4.3.1008 to 7.5.0.1000\n" + p0 +
                                       ": writing controller firmware\n" + p0 + ": writing version information\n");
        const std::vector<std::string> down_up = {"interface " + p0 + " down", "interface " + p0 + " up"};
        EXPECT_EQ(last_run(lab, "interface "), h.interface ? down_up : std::vector<std::string>());
        EXPECT_TRUE(flash(lab, "a1-mcfw-25").substr(0, 4096) == read_file(fw).substr(40, 4096));
        EXPECT_TRUE(shows(lab, "controller firmware 7.5.0.1000, subtype 0x25")) << "recorded";
        EXPECT_TRUE(shows(lab, ", firmware 7.5.0.1000\n")) << "what ethtool reports after the reset";
        EXPECT_TRUE(shows(lab, "VPD: family none")) << "the family no longer describes the flash";
        r = lab.qsupdate({"--write", "--image=" + fw});
        expect_run(r, 0, r.out, h.err + h.err + p0 + same + p1 + same);
        EXPECT_EQ(messages(r.out), BANNER);
    }
    // On the screen, the progress settles on what each step completed.
    TestLab lab({"--adapter", "dogwood2:1"});
    CommandResult r = lab.qsupdate({"--write", "--yes", "--image=" + image(lab, 3, 37, NEWER)});
    EXPECT_EQ(settled(r.out), BANNER + UPDATE_MC + done("Complete") + done("Complete") +
                                  "eth0: writing version information\n" + done("Complete"));
}

// Only a whole line of leading letters of "yes" lets the update take the
// interface down; any other answer skips the row and the run still counts
// it as handled.  --yes neither asks nor touches the interface; --silent
// takes it down without asking; an interface found down is left so.
TEST(UpdateScenario, PromptAnswersAndTheInterface)
{
    TestLab lab({"--adapter", "dogwood2:1"});
    const std::string fw = image(lab, 3, 37, INSTALLED);
    const std::vector<std::string> down_up = {"interface eth0 down", "interface eth0 up"};
    const struct {
        std::string input;
        std::vector<std::string> options;
        bool port_up, asked, written;
        std::vector<std::string> interface;
    } cases[] = {
        {"y\n", {}, true, true, true, down_up},
        {"Yes\n", {}, true, true, true, down_up},
        {"yE\nn\n", {}, true, true, true, down_up},
        {"\n", {}, true, true, false, {}},
        {"no\n", {}, true, true, false, {}},
        {"yess\n", {}, true, true, false, {}},
        {"yesyesyes\n", {}, true, true, false, {}},
        {"y", {}, true, true, false, {}},
        {"", {}, true, true, false, {}},
        {"", {"--yes"}, true, false, true, {}},
        {"", {"--silent"}, true, false, true, down_up},
        {"", {}, false, false, true, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.input) + " " + testing::PrintToString(c.options));
        lab.edit([&](json &j) { j["adapters"][0]["ports"][0]["up"] = c.port_up; });
        std::vector<std::string> args = {"--write", "--force", "--adapter=eth0", "--image=" + fw};
        args.insert(args.end(), c.options.begin(), c.options.end());
        CommandResult r = lab.qsupdate(args, c.input);
        const bool silent = !c.options.empty() && c.options[0] == "--silent";
        // The update is announced before the question.
        const std::string write = "eth0: writing controller firmware\neth0: writing version information\n";
        expect_run(r, 0, r.out, c.asked ? prompt("eth0", "controller firmware") : "");
        EXPECT_EQ(messages(r.out), silent ? "" : BANNER + "eth0: updating controller firmware from 7.4.3.1008 to "
                                                 "7.4.3.1008\n" + (c.written ? write : ""));
        EXPECT_EQ(last_run(lab, "interface "), c.interface);
        EXPECT_EQ(last_run(lab, "ethtool reset").size(), c.written ? 1u : 0u);
    }
}

// Firmware the ports share: the first port writes it and records it on its
// sibling, which then finds it current; under --force with every port
// selected the sibling leaves it to the first port.
TEST(UpdateScenario, SharedKindsOnATwoPortAdapter)
{
    for (bool force : {false, true}) {
        SCOPED_TRACE(force);
        TestLab lab({"--adapter", "birch:2"});
        const std::string to = force ? "3.3.2.1000" : "7.5.0.1000";
        std::vector<std::string> args = {"--write", "-y", "--image=" + image(lab, 3, 8, force ? BIRCH : NEWER)};
        if (force)
            args.push_back("--force");
        CommandResult r = lab.qsupdate(args);
        expect_run(r, 0, r.out,
                   force ? "eth1: not changing controller firmware, shared with eth0\n"
                         : "eth1: not changing controller firmware from 7.5.0.1000 to 7.5.0.1000\n");
        EXPECT_EQ(messages(r.out), BANNER + "eth0: updating controller firmware from 3.3.2.1000 to " + to +
                                       "\neth0: writing controller firmware\neth0: writing version information\n"
                                       "eth1: writing version information\n");
        EXPECT_EQ(last_run(lab, "ethtool reset").size(), 1u);
        // Both ports' records carry the OEM keyword of the new version.
        const std::string show = lab.qslab({"show", lab.dir()}).out, keyword = " V3=" + to + "\n";
        EXPECT_NE(show.find(keyword), show.rfind(keyword)) << show;
        // A boot ROM names the UEFI ROM it carries by its extra version;
        // one that names none leaves the keyword alone.
        for (uint16_t minor : {4, 5}) {
            const std::array<uint8_t, 4> extra = minor == 4 ? std::array<uint8_t, 4>{3, 1, 0, 6} : std::array<uint8_t, 4>{};
            const std::string rom = save(lab, "rom.bin", lab::build_plain_image({2, 2, {3, minor, 0, 0}, extra, 4096}));
            expect_run(lab.qsupdate({"--write", "-y", "-s", "--adapter=eth0", "--image=" + rom}), 0, "", "");
            EXPECT_NE(lab.qslab({"show", lab.dir()}).out.find(" V1=3.1.0.6\n"), std::string::npos);
        }
    }
    // The sibling's configuration that cannot be stored, however often it
    // is tried, fails the update, naming the port whose record is behind
    // and where what it was to hold is kept.
    TestLab lab({"--adapter", "birch:2"});
    lab.edit([](json &j) {
        j["faults"] = {{{"target", "a1-dynamic-cfg-00-p1"}, {"operation", "erase"}, {"errno", "EIO"}}};
    });
    CommandResult r = lab.qsupdate({"--write", "-y", "--image=" + image(lab, 3, 8, NEWER)});
    const std::string erase_failed = "Failed to erase partition eth1 qsc_dynamic_cfg:00\n";
    expect_run(r, 1, r.out,
               erase_failed + erase_failed + erase_failed + "eth1: Could not store version information\n" +
                   "eth1: the configuration to be written is kept in "
                   "/var/lib/qsutils/dynamic_cfg_S1407R120340_port1.dat until an update stores it\n"
                   "Fatal error: Input/output error (5)\n");
}

// An iPXE boot ROM, installed as the report offers, replaces the boot ROM
// whole and is recorded, so that a later ordinary image leaves it alone; a
// restore writes the erase image with the version the bundle metadata
// names, leaving the partition erased.
TEST(UpdateScenario, IpxeInstallThenTheGuardThenRestore)
{
    const std::vector<uint8_t> rom = lab::build_ipxe_image(8192);
    const std::string erased_rest(256 * 1024 - rom.size(), '\xff');
    {
        TestLab lab({"--adapter", "dogwood2:1"});
        const std::string path = save(lab, "rom.bin", rom), offered = "qsupdate --write --ipxe-image=" + path;
        CommandResult r = lab.qsupdate({"--ipxe-image=" + path});
        EXPECT_NE(r.out.find("\n   - run \"" + offered + "\" to perform an update\n"), std::string::npos) << r.out;
        r = lab.run_printed(offered);
        expect_run(r, 0, r.out, "");
        EXPECT_EQ(messages(r.out), BANNER + "eth0: updating Boot ROM from 7.4.1.1003\neth0: writing Boot ROM\n"
                                            "eth0: to put a Boot ROM back, run \"qsupdate --restore-bootrom "
                                            "--image=FILE --adapter=eth0\" with a Boot ROM image for this adapter\n"
                                            "eth0: writing version information\n");
        EXPECT_TRUE(flash(lab, "a1-bootrom-07") == std::string(rom.begin(), rom.end()) + erased_rest);
        EXPECT_EQ(last_run(lab, "flash a1-bootrom-07: erase").size(), 4u) << "a full erase";
        r = lab.qsupdate({"--write", "--image=" + image(lab, 2, 7, NEWER)});
        expect_run(r, 0, r.out, "eth0: not upgrading iPXE Boot ROM image\n");
        EXPECT_EQ(messages(r.out), BANNER);
        EXPECT_TRUE(flash(lab, "a1-bootrom-07").substr(0, rom.size()) == std::string(rom.begin(), rom.end()));
        r = lab.qsupdate({"--write", "--ipxe-image=" + path, "-s"});
        expect_run(r, 0, "", "");
        // No bundle metadata names a boot ROM here: nothing to restore.  The
        // restore's own option word is never silent.
        expect_run(lab.qsupdate({"--restore-bootrom", "-s"}), 0, done("Complete"), "");
    }
    TestLab lab({"--adapter", "oem:1"});
    expect_run(lab.qsupdate({"--write", "--ipxe-image=" + save(lab, "rom.bin", rom), "-s"}), 0, "", "");
    CommandResult r = lab.qsupdate({"--restore-bootrom"});
    expect_run(r, 0, r.out, "");
    EXPECT_EQ(messages(r.out), BANNER + "eth0: updating Boot ROM to 7.4.1.1003\n"
                                        "eth0: writing Boot ROM\neth0: writing version information\n");
    EXPECT_TRUE(flash(lab, "a1-bootrom-07") == std::string(256 * 1024, '\xff'));
}

// The configurations' lines of `qslab show`, generations aside.
std::string configurations(const TestLab &lab)
{
    const std::string show = lab.qslab({"show", lab.dir()}).out;
    const size_t from = show.find("Configurations:"), to = show.find("\n\n", from);
    static const std::regex generation(R"(generation \d+)");
    return std::regex_replace(show.substr(from, to - from), generation, "generation N");
}

// The power fails while the configuration is rewritten, after its erase
// (nothing of it written yet) or half-way: the copy kept on the host holds
// every version, keyword and setting, the report says so, and the next
// update writes it back first and goes on.  Nothing is lost.
TEST(UpdateScenario, PowerCutDuringTheConfigurationWrite)
{
    const struct {
        const char *adapter, *config;
        uint32_t subtype;
    } boards[] = {
        {"cedar:2", "a1-dynamic-cfg-00", 18},
        {"dogwood2:2", "a1-dynamic-cfg-00", 37},
        {"birch:2", "a1-dynamic-cfg-00-p0", 8},
    };
    for (const auto &b : boards) {
        TestLab reference({"--adapter", b.adapter, "--rich-config"});
        expect_run(reference.qsupdate({"--write", "-y", "-s", "--image=" + image(reference, 3, b.subtype, NEWER)}), 0,
                   "", "");
        for (const std::string cut : {"0", "100"}) {
            SCOPED_TRACE(std::string(b.adapter) + ", cut after " + cut);
            TestLab lab({"--adapter", b.adapter, "--rich-config"});
            const std::string fw = image(lab, 3, b.subtype, NEWER), kept = lab.dir() + "/root/var/lib/qsutils";
            lab.qslab({"fault", lab.dir(), "--target", b.config, "--operation", "write", "--occurrence", "1",
                       "--cut-after", cut, "--power-cut"});
            CommandResult r = lab.qsupdate({"--write", "-y", "-s", "--image=" + fw});
            EXPECT_NE(r.status, 0);
            lab.qslab({"fault", lab.dir(), "--clear"});
            std::vector<std::string> copies;
            for (const auto &e : std::filesystem::directory_iterator(kept))
                copies.push_back("/var/lib/qsutils/" + e.path().filename().string());
            ASSERT_EQ(copies.size(), 1u);

            r = lab.qsupdate({});
            EXPECT_NE(r.out.find("    Dynamic configuration was found " +
                                 std::string(cut == "0" ? "erased" : "damaged") +
                                 "; the next update restores it from\n    " + copies[0] + ".\n"),
                      std::string::npos)
                << r.out;
            EXPECT_NE(r.out.find("    Controller version: v7.5.0.1000\n"), std::string::npos) << "from the copy";

            r = lab.qsupdate({"--write", "-y", "--image=" + fw});
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_NE(messages(r.out).find("eth0: restoring the dynamic configuration from " + copies[0] + "\n"),
                      std::string::npos)
                << r.out;
            EXPECT_TRUE(std::filesystem::is_empty(kept)) << "the copy is gone once written back";
            EXPECT_EQ(configurations(lab), configurations(reference));
        }
    }
}

// After an iPXE install with --backup the command it offers, run as
// printed, puts the replaced boot ROM back byte for byte and records its
// version, on a board whose restore has no version of its own to write
// and on one whose bundle names it.  Cedar's boot ROM takes no iPXE.
TEST(UpdateScenario, IpxeInstallWithBackupThenItsUndo)
{
    const std::vector<uint8_t> rom = lab::build_ipxe_image(8192);
    const std::string backup = "/var/lib/qsutils/BOOTROM_2_7_v7.4.1.1003.dat",
                      undo = "qsupdate --restore-bootrom --image=" + backup + " --adapter=eth0";
    for (const char *preset : {"dogwood2", "oem"}) {
        SCOPED_TRACE(preset);
        TestLab lab({"--adapter", std::string(preset) + ":1"});
        const std::string old = flash(lab, "a1-bootrom-07");
        CommandResult r = lab.qsupdate({"--write", "--backup", "--ipxe-image=" + save(lab, "rom.bin", rom)});
        expect_run(r, 0, r.out, "");
        EXPECT_EQ(messages(r.out), BANNER + "eth0: updating Boot ROM from 7.4.1.1003\neth0: reading old Boot ROM\n"
                                            "eth0: saving old Boot ROM to " + backup + "\neth0: writing Boot ROM\n"
                                            "eth0: to put the replaced Boot ROM back, run \"" + undo + "\"\n"
                                            "eth0: writing version information\n");
        ASSERT_TRUE(flash(lab, "a1-bootrom-07").substr(0, rom.size()) == std::string(rom.begin(), rom.end()));
        r = lab.run_printed(undo);
        expect_run(r, 0, r.out, "");
        EXPECT_EQ(messages(r.out), BANNER + "eth0: updating Boot ROM to 7.4.1.1003\n"
                                            "eth0: writing Boot ROM\neth0: writing version information\n");
        EXPECT_TRUE(flash(lab, "a1-bootrom-07") == old);
        EXPECT_TRUE(shows(lab, "boot ROM 7.4.1.1003, subtype 0x07"));
        EXPECT_NE(lab.qsupdate({"--bootrom"}).out.find("    Boot ROM version:   v7.4.1.1003\n"), std::string::npos);
    }
    TestLab lab({"--adapter", "cedar:1"});
    const std::string old = flash(lab, "a1-bootrom-04"), path = save(lab, "rom.bin", rom);
    expect_run(lab.qsupdate({"--write", "--backup", "--ipxe-image=" + path, "-s"}), 1, "",
               path + " cannot be applied to any adapter\n");
    EXPECT_TRUE(flash(lab, "a1-bootrom-04") == old);
}

// The backup is the old partition as a plain image carrying the installed
// version, which --image takes again; it never replaces another file.  A
// backup that cannot be made stops the write, and the interface comes
// back up.
TEST(UpdateScenario, BackupFileAndItsFailures)
{
    TestLab lab({"--adapter", "dogwood2:1"});
    const std::string old = flash(lab, "a1-mcfw-25");
    CommandResult r = lab.qsupdate({"--write", "--backup", "-y", "--image=" + image(lab, 3, 37, NEWER)});
    const std::string name = "/var/lib/qsutils/MCPU_3_37_v7.4.3.1008.dat";
    expect_run(r, 0, r.out, "");
    EXPECT_EQ(messages(r.out), BANNER + "eth0: updating controller firmware from 7.4.3.1008 to 7.5.0.1000\n"
                                        "eth0: reading old controller firmware\n"
                                        "eth0: saving old controller firmware to " + name +
                                   "\neth0: writing controller firmware\neth0: writing version information\n");
    std::string backup = read_file(lab.dir() + "/root" + name);
    qsupdate_image_t parsed{};
    ASSERT_EQ(init_image_from_buffer(reinterpret_cast<uint8_t *>(backup.data()), backup.size(), &parsed), 0);
    char v[VERSION_STRING_LEN];
    EXPECT_STREQ(version_string(v, get_image_version(&parsed), false), "7.4.3.1008");
    EXPECT_TRUE(std::string(reinterpret_cast<char *>(parsed.image_code), parsed.image_code_len) == old);
    r = lab.qsupdate({"--write", "--force", "-y", "--image=" + lab.dir() + "/root" + name});
    expect_run(r, 0, r.out, "");
    EXPECT_TRUE(flash(lab, "a1-mcfw-25") == old) << "the backup restores the old image";
    // The same image backed up again is the file already there.
    r = lab.qsupdate({"--write", "--backup", "-y", "--image=" + image(lab, 3, 37, NEWER)});
    expect_run(r, 0, r.out, "");
    EXPECT_NE(r.out.find("eth0: old controller firmware is already saved in " + name + "\n"), std::string::npos);
    EXPECT_EQ(read_file(lab.dir() + "/root" + name), backup);

    // Two ports' identical PHY images are one backup.
    TestLab pair({"--adapter", "birch:2"});
    r = pair.qsupdate({"--write", "-y", "--backup", "--image=" + image(pair, 0, 9, {2, 1, 0, 0})});
    expect_run(r, 0, r.out, "");
    EXPECT_NE(messages(r.out).find("eth1: old PHY firmware is already saved in /var/lib/qsutils/PHY_0_9_v2.0.2.5.dat\n"),
              std::string::npos)
        << r.out;

    // A name taken by something else, a link included, is left alone: the
    // backup takes the next free name.
    const std::string victim = lab.dir() + "/victim";
    std::ofstream(victim) << "keep";
    TestLab planted({"--adapter", "dogwood2:1"});
    std::filesystem::create_directories(planted.dir() + "/root/var/lib/qsutils");
    std::filesystem::create_symlink(victim, planted.dir() + "/root" + name);
    r = planted.qsupdate({"--write", "--backup", "-y", "--image=" + image(planted, 3, 37, NEWER)});
    expect_run(r, 0, r.out, "");
    const std::string second = "/var/lib/qsutils/MCPU_3_37_v7.4.3.1008-2.dat";
    EXPECT_NE(r.out.find("eth0: saving old controller firmware to " + second + "\n"), std::string::npos);
    EXPECT_EQ(read_file(planted.dir() + "/root" + second), backup);

    const struct {
        const char *what;
        std::function<void(TestLab &)> arrange;
        std::string said, cause;
    } failures[] = {
        {"the old image does not read",
         [](TestLab &l) {
             l.edit([](json &j) {
                 j["faults"] = {{{"target", "a1-mcfw-25"}, {"operation", "read"}, {"errno", "EIO"}}};
             });
         },
         "Failed to read partition eth0 qsc_mcfw:25 offset 0 size 4096\n", "Input/output error (5)"},
    };
    for (const auto &f : failures) {
        SCOPED_TRACE(f.what);
        TestLab failing({"--adapter", "dogwood2:1"});
        f.arrange(failing);
        r = failing.qsupdate({"--write", "--backup", "--image=" + image(failing, 3, 37, NEWER)}, "y\n");
        expect_run(r, 1, r.out,
                   prompt("eth0", "controller firmware") + f.said + "eth0: Could not save old controller firmware\n" +
                       "Fatal error: " + f.cause + "\n");
        EXPECT_TRUE(flash(failing, "a1-mcfw-25") == old) << "not written";
        EXPECT_EQ(last_run(failing, "interface "),
                  (std::vector<std::string>{"interface eth0 down", "interface eth0 up"}));
    }
    EXPECT_EQ(read_file(victim), "keep");
}

// --fake-v1 and --fake-v9 record their version for what is written and
// the family version even when nothing is, and the next run compares with
// them.  A first-generation port keeps no configuration to record in, nor
// do its siblings: a host that has such a board beside newer ones updates
// those.
TEST(UpdateScenario, FakeVersionsAndTheFirstGeneration)
{
    TestLab lab({"--adapter", "dogwood2:1"});
    CommandResult r = lab.qsupdate({"--write", "--fake-v1"});
    expect_run(r, 0, r.out, "No firmware is available for any adapter\n");
    EXPECT_EQ(messages(r.out), BANNER + "eth0: writing version information\n");
    EXPECT_TRUE(shows(lab, "VPD: family 1.0.0; V0=1.0.0"));
    EXPECT_TRUE(shows(lab, "controller firmware 7.4.3.1008, subtype 0x25"));
    r = lab.qsupdate({"--write", "--fake-v9", "-y", "--image=" + image(lab, 3, 37, NEWER)});
    EXPECT_EQ(messages(r.out), BANNER + "eth0: updating controller firmware from 7.4.3.1008 to 9.0.0.0\n"
                                        "eth0: writing controller firmware\neth0: writing version information\n");
    EXPECT_TRUE(shows(lab, "controller firmware 9.0.0.0, subtype 0x25"));
    EXPECT_TRUE(shows(lab, "VPD: family 9.0.0; V0=9.0.0"));
    r = lab.qsupdate({"--write", "--image=" + image(lab, 3, 37, NEWER)});
    expect_run(r, 0, r.out, "eth0: not changing controller firmware from 9.0.0.0 to 7.5.0.1000\n");

    TestLab alder({"--adapter", "alder-0710:1"});
    expect_run(alder.qsupdate({"--write", "--fake-v1"}), 0, BANNER + done("Complete"),
               "No firmware is available for any adapter\n");
    TestLab mixed({"--adapter", "alder-0710:2", "--adapter", "dogwood2:1"});
    r = mixed.qsupdate({"--write", "-y", "--image=" + image(mixed, 3, 37, NEWER)});
    expect_run(r, 0, r.out, "");
    EXPECT_EQ(messages(r.out), BANNER + "eth2: updating controller firmware from 7.4.3.1008 to 7.5.0.1000\n"
                                        "eth2: writing controller firmware\neth2: writing version information\n");
}

// A host without the MTD character driver updates through the block
// driver, loaded for the run; without either (or with only the block
// driver, of a kernel that loses data with it) every generation's flash is
// reached through the management controller.  The report is the one the
// character driver gives, and an update is written and recorded.
TEST(UpdateScenario, WithoutMtdcharTheBlockDriverOrTheControllerServes)
{
    const struct {
        const char *preset, *available, *kernel; // available: the MTD module modprobe finds, if any
        uint32_t subtype;
        bool controller;
    } hosts[] = {{"birch", "", "", 8, true},         {"cedar", "", "", 18, true},
                 {"dogwood", "", "", 32, true},      {"dogwood2", "", "", 37, true},
                 {"dogwood2", "mtdblock", "2.6.26", 37, true}, {"dogwood2", "mtdblock", "", 37, false}};
    for (const auto &h : hosts) {
        SCOPED_TRACE(std::string(h.preset) + " " + h.available + " " + h.kernel);
        const std::vector<std::string> adapter = {"--adapter", std::string(h.preset) + ":2"};
        const CommandResult through_mtdchar = TestLab(adapter).qsupdate({});
        TestLab lab(adapter);
        lab.edit([&](json &j) {
            j["host"]["modules_available"] = *h.available ? json::array({h.available}) : json::array();
            if (*h.kernel)
                j["host"]["kernel_release"] = h.kernel;
        });
        CommandResult r = lab.qsupdate({});
        EXPECT_EQ(std::pair(r.status, r.out), std::pair(0, through_mtdchar.out));
        EXPECT_TRUE(r.err.ends_with(through_mtdchar.err)) << r.err;
        EXPECT_EQ(r.err.find("MUST reboot") != std::string::npos, *h.kernel != '\0') << "the advice, once";
        r = lab.qsupdate({"--write", "-y", "--adapter=eth0", "--image=" + image(lab, 3, h.subtype, NEWER)});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(last_run(lab, "MCDI write").empty(), !h.controller);
        EXPECT_TRUE(shows(lab, "controller firmware 7.5.0.1000"));
    }
}

// Kinds that erase on demand are fully erased only when asked.
TEST(UpdateScenario, FullEraseOnlyWhenAskedForKindsThatEraseOnDemand)
{
    TestLab lab({"--adapter", "dogwood:1"});
    const std::string fw = image(lab, 6, 7, NEWER);
    for (auto [option, blocks] : {std::pair{"--yes", 2u}, {"--full-erase", 16u}}) {
        SCOPED_TRACE(option);
        CommandResult r = lab.qsupdate({"--write", "--force", "-y", option, "--image=" + fw});
        expect_run(r, 0, r.out, "");
        EXPECT_EQ(last_run(lab, "flash a1-fpga-07: erase").size(), blocks);
    }
}

namespace {

// The OEM document of one update on the OEM adapter, whose bundle is 7.4.3.
std::string oem_update(const std::string &package, const std::string &id, const std::string &text)
{
    const std::string doc = oem_document(1);
    const std::string device_end = "\t</Device>\n";
    const bool success = id == "0" && text == "Update success.";
    std::string application =
        "\t\t<Application componentType=\"FRMW\" version=\"7.4.3\" display=\"Application Firmware\">\n" +
        (package.empty() ? "" : "\t\t\t<Package version=\"" + package + "\"/>\n") + "\t\t\t<SPStatus result=\"" +
        (success ? "true" : "false") + "\">\n\t\t\t\t<Message id=\"" + id + "\"> " + text +
        "</Message>\n\t\t\t</SPStatus>\n\t\t</Application>\n";
    return std::string(doc).insert(doc.find(device_end), application);
}

} // namespace

// Every verdict of an update in the OEM document, whole and well-formed
// whichever step failed; a failure fails the run as it does without --dell,
// and the interface comes back up.
TEST(UpdateScenario, OemDocumentForEveryOutcome)
{
    auto fault = [](const char *target, const char *operation, json extra = json::object()) {
        json f = {{"target", target}, {"operation", operation}, {"errno", "EIO"}};
        f.update(extra);
        return [f](json &j) { j["faults"] = {f}; };
    };
    const std::string failure = "Update failure. ";
    const struct {
        const char *what;
        const char *platform;
        std::function<void(json &)> arrange;
        std::vector<std::string> options;
        int status;
        std::string package, id, text;
    } cases[] = {
        {"written", "linux", [](json &) {}, {}, 0, "7.5.0", "0", "Update success."},
        {"no image applies", "linux", [](json &) {}, {"--bootrom"}, 0, "", "10",
         "Update failure: Could not write new image. A newer qsc driver may be required."},
        {"backup", "linux", fault("a1-mcfw-2a", "read"), {"--backup"}, 1, "7.5.0", "0", failure},
        {"sync", "linux", fault("a1-dynamic-cfg-00", "erase"), {}, 1, "7.5.0", "0", failure},
        {"open", "linux", fault("/dev/mtd0", "open"), {}, 1, "", "2", failure + "Could not open partition."},
        // On ESX the flash is reached through the control device: the
        // sockets before the update's are the enumeration's four.
        {"socket", "esx", fault("*", "socket", {{"occurrence", 5}, {"errno", "EACCES"}}), {}, 1, "7.5.0", "3",
         failure + "Could not open socket."},
        {"flags", "linux", fault("eth0", "ioctl", {{"request", "SIOCGIFFLAGS"}}), {}, 1, "7.5.0", "4",
         failure + "Could not read device flags."},
        {"down", "linux", fault("eth0", "ioctl", {{"request", "SIOCSIFFLAGS"}}), {}, 1, "7.5.0", "5",
         failure + "Could not set device flag."},
        {"write", "linux", fault("a1-mcfw-2a", "erase"), {}, 1, "7.5.0", "8", failure + "Could not write new image."},
        // The controller judges what reaches its flash, through MTD or through itself.
        {"unsigned image refused", "esx", [](json &j) { j["adapters"][0]["requires_signed_mcfw"] = true; }, {}, 1, "7.5.0",
         "9", failure + "Update failure: Could not write new image. Newer qsc driver required."},
        {"unsigned image refused through MTD", "linux",
         [](json &j) { j["adapters"][0]["requires_signed_mcfw"] = true; }, {}, 1, "7.5.0", "9",
         failure + "Update failure: Could not write new image. Newer qsc driver required."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        TestLab lab({"--platform", c.platform, "--adapter", "oem:1"});
        lab.edit(c.arrange);
        const std::string report = lab.dir() + "/report.xml";
        std::vector<std::string> args = {"--dell", "--write", "--output-file=" + report};
        if (c.options != std::vector<std::string>{"--bootrom"})
            args.push_back("--image=" + image(lab, 3, 42, NEWER));
        args.insert(args.end(), c.options.begin(), c.options.end());
        expect_run(lab.qsupdate(args), c.status, "", "");
        const std::string doc = read_file(report);
        EXPECT_EQ(doc, oem_update(c.package, c.id, c.text));
        tinyxml2::XMLDocument parsed;
        EXPECT_EQ(parsed.Parse(doc.c_str()), tinyxml2::XML_SUCCESS) << doc;
        const bool went_down = c.package == "7.5.0" && c.id != "3" && c.id != "4" && c.id != "5";
        EXPECT_EQ(last_run(lab, "interface ").size(), went_down ? 2u : 0u);
        EXPECT_EQ(lab.description()["adapters"][0]["ports"][0]["up"], true);
    }
}

// Failure id 1 comes before the Application element is due: the element is
// opened for it, so that the document stays whole, and the failure is the
// run's as without --dell.  (An OEM adapter's ports share one
// configuration; a Birch board's each have their own.)
TEST(UpdateScenario, OemElementsWhenAnotherPortsConfigurationDoesNotOpen)
{
    NvRun run(lab_host(lab::HostKind::linux_host, {{"birch", 2}}),
              {{{"target", "a1-dynamic-cfg-00-p1"}, {"operation", "read"}, {"errno", "EIO"}}});
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    errno = 0;
    const int rc = update_firmware(run.port(0), nullptr, OPTION_DELL | OPTION_SILENT | OPTION_ALL_FIRMWARE_TYPES);
    const int err = errno;
    std::fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::pair(rc, err), std::pair(-1, EIO));
    EXPECT_EQ(out, "\t\t<Application componentType=\"FRMW\" version=\"0.0.0\" display=\"Application Firmware\">\n"
                   "\t\t\t<SPStatus result=\"false\">\n\t\t\t\t<Message id=\"1\"> Update failure. Could not open "
                   "dynamic config for interface.</Message>\n\t\t\t</SPStatus>\n\t\t</Application>\n");
    tinyxml2::XMLDocument parsed;
    EXPECT_EQ(parsed.Parse(("<Device>" + out + "</Device>").c_str()), tinyxml2::XML_SUCCESS);
}

// A port that reaches its configuration only through a sibling is pointed
// there; one that no port reaches is reported corrupt.
TEST(UpdateScenario, ConfigurationOutOfReach)
{
    const std::string read_failed = "Failed to read partition eth0 qsc_dynamic_cfg:00 offset 0 size ";
    const struct {
        const char *adapter;
        int status;
        std::string err;
    } cases[] = {
        // eth1 then updates, but cannot record on eth0.
        {"birch:2", 1,
         read_failed + "4\neth0: Firmware is not accessible, please use eth1.\n" + read_failed +
             "4096\neth1: Could not open dynamic config for interface eth0\nFatal error: Input/output error (5)\n"},
        {"birch:1", 1,
         read_failed + "4\neth0: Firmware is not accessible.\nDynamic configuration is corrupt. Run 'qsboot -i eth0 "
                       "--repair' to revert back to firmware defaults.\nPlease contact support@duskhollow.example "
                       "to report this incident and for more information on recovery procedure\n\nNo adapters "
                       "could be accessed. You may need to run this utility as root.\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.adapter);
        TestLab lab({"--adapter", c.adapter});
        lab.edit([](json &j) {
            j["faults"] = {{{"target", "a1-dynamic-cfg-00-p0"}, {"operation", "read"}, {"errno", "EIO"}}};
        });
        CommandResult r = lab.qsupdate({"--write", "-y", "--image=" + image(lab, 3, 8, NEWER)});
        expect_run(r, c.status, r.out, c.err);
    }
}

// On a board whose bundle metadata names every kind's version, a kind
// written on its own shows its new version, and the same image is not
// offered again; an iPXE boot ROM shows as one, and the guard keeps an
// ordinary boot ROM from replacing it unasked.
TEST(UpdateScenario, BundleBoardsShowWhatWasWritten)
{
    TestLab lab({"--adapter", "oem:1"});
    const std::string mcfw = image(lab, 3, 42, NEWER);
    expect_run(lab.qsupdate({"--write", "-y", "-s", "--image=" + mcfw}), 0, "", "");
    CommandResult r = lab.qsupdate({"--image=" + mcfw});
    EXPECT_NE(r.out.find("    Controller version: v7.5.0.1000\n\nThe controller firmware is up to date\n"),
              std::string::npos)
        << r.out;
    expect_run(lab.qsupdate({"--write", "-y", "-s", "--image=" + mcfw}), 0, "", "");
    EXPECT_EQ(last_run(lab, "flash a1-mcfw-2a: write").size(), 0u) << "not written again";

    const std::string rom = save(lab, "ipxe.bin", lab::build_ipxe_image(65536));
    expect_run(lab.qsupdate({"--write", "-y", "-s", "--ipxe-image=" + rom}), 0, "", "");
    r = lab.qsupdate({});
    EXPECT_NE(r.out.find("    Boot ROM version:   iPXE\n"), std::string::npos) << r.out;
    r = lab.qsupdate({"--write", "-y", "-s", "--image=" + image(lab, 2, 7, NEWER)});
    expect_run(r, 0, "", "eth0: not upgrading iPXE Boot ROM image\n");

    // A bundle, once the controller has unpacked it, shows as written.
    const std::string bundle = image(lab, 13, 1, NEWER);
    expect_run(lab.qsupdate({"--write", "-y", "-s", "--image=" + bundle}), 0, "", "");
    r = lab.qsupdate({"--image=" + bundle});
    EXPECT_NE(r.out.find("    Bundle version:     v7.5.0.1000\n\nThe Bundle firmware is up to date\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(lab.qsupdate({"--mc"}).out.find("    Controller version: v7.5.0.1000\n"), std::string::npos);
}

// A write that says it went well while the flash did not take it (a
// dropped chunk, a byte that does not program) is found when the
// partition is read back: the row fails with the write's own message and
// nothing is recorded.  A configuration write is made again.
TEST(UpdateScenario, WritesTheFlashDidNotTakeAreFound)
{
    const std::string fatal = "Fatal error: Input/output error (5)\n";
    // The controller, which checks the image it finds, refuses a broken
    // controller firmware too.
    const std::string refused = "An error occurred when finishing the update\n";
    const struct {
        const char *platform, *partition, *how;
        uint32_t type, subtype;
        std::string err;
    } cases[] = {
        {"linux", "a1-mcfw-25", "drop", 3, 37,
         "Failed to write partition eth0 qsc_mcfw:25\neth0: " + refused +
             "eth0: Could not write new controller firmware image\n" + fatal},
        {"linux", "a1-bootrom-07", "stuck-byte", 2, 7,
         "Failed to write partition eth0 qsc_exp_rom:07\neth0: Could not write new Boot ROM image\n" + fatal},
        {"esxi", "a1-mcfw-25", "stuck-byte", 3, 37,
         "Failed to write NVRAM sector: Input/output error\nvmnic1: " + refused +
             "vmnic1: Could not write new controller firmware image\n" + fatal},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.platform) + " " + c.partition + " " + c.how);
        TestLab lab({"--platform", c.platform, "--adapter", "dogwood2:1"});
        const std::string status_before = lab.qsupdate({}).out;
        lab.qslab({"fault", lab.dir(), "--target", c.partition, "--operation", "write", "--silent", c.how});
        CommandResult r = lab.qsupdate({"--write", "-y", "-s", "--image=" + image(lab, c.type, c.subtype, NEWER)});
        expect_run(r, 1, "", (std::string(c.platform) == "esxi" ? "get_qs_serial_esxi(): unsupported device type.\n" : "") + c.err);
        lab.qslab({"fault", lab.dir(), "--clear"});
        EXPECT_EQ(lab.qsupdate({}).out, status_before) << "nothing recorded";
    }
    TestLab lab({"--adapter", "dogwood2:1"});
    lab.qslab({"fault", lab.dir(), "--target", "a1-dynamic-cfg-00", "--operation", "write", "--occurrence", "1",
               "--silent", "drop"});
    CommandResult r = lab.qsupdate({"--write", "-y", "-s", "--image=" + image(lab, 3, 37, NEWER)});
    expect_run(r, 0, "", "Failed to write partition eth0 qsc_dynamic_cfg:00\n");
    EXPECT_NE(lab.qsupdate({}).out.find("    Controller version: v7.5.0.1000\n"), std::string::npos);
}

// The PHY's flash-configuration mode is one character written to the
// port's attribute; a write that fails fails the call, with its errno.
TEST(UpdateScenario, PhyFlashModeThroughTheAttribute)
{
    const char *attribute = "/sys/bus/pci/devices/0000:03:00.0/phy_flash_cfg";
    NvRun run(lab_host(lab::HostKind::linux_host, {{"birch", 1}}),
              {{{"target", attribute}, {"operation", "write"}, {"occurrence", 3}, {"errno", "ENOSPC"}}});
    const int &mode = run.lab().state().adapters[0].ports[0].phy_flash_cfg;
    EXPECT_EQ(set_phy_flash_mode(run.port(0), true), 0);
    EXPECT_EQ(mode, 1);
    EXPECT_EQ(set_phy_flash_mode(run.port(0), false), 0);
    EXPECT_EQ(mode, 0);
    EXPECT_EQ(error_of(set_phy_flash_mode(run.port(0), true)), ENOSPC);
    EXPECT_EQ(mode, 0);
}
