// `qslab capture` as an administrator uses it: a host's adapters copied
// into a new lab, on which qsupdate must see what it sees on the host,
// while the host is only read.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "lab/flash/lab_mtd.h"
#include "lab/model/lab_model.h"
#include "lab/model/lab_vpd.h"
#include "tests/lab/support/lab_fixture.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Everything a reader or writer could change under a directory: kinds,
// modes, link targets, contents, modification times.
std::map<std::string, std::string> snapshot(const std::string &dir)
{
    std::map<std::string, std::string> files;
    for (const fs::directory_entry &e : fs::recursive_directory_iterator(dir)) {
        struct stat st;
        lstat(e.path().c_str(), &st);
        std::string facts = std::to_string(st.st_mode) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
                            std::to_string(st.st_mtim.tv_nsec) + " ";
        if (e.is_symlink())
            facts += fs::read_symlink(e.path()).string();
        else if (e.is_regular_file())
            facts += read_file(e.path().string());
        files[e.path().string()] = facts;
    }
    return files;
}

struct Removed {
    std::string dir;
    ~Removed() { fs::remove_all(dir); }
};

const json *partition_named(const json &adapter, const std::string &id)
{
    for (const json &p : adapter["partitions"])
        if (p["id"] == id)
            return &p;
    return nullptr;
}

// How many of an adapter's partitions the host's MTD devices show.
size_t mtd_partitions(const lab::LabState &state, size_t adapter)
{
    std::set<size_t> shown;
    for (const lab::MtdDevice &d : lab::mtd_devices(state))
        if (d.adapter == adapter)
            shown.insert(d.partition);
    return shown.size();
}

} // namespace

// The original is run first, as a host where qsupdate has been used (its
// MTD nodes made); the capture then answers --list and the status report
// byte for byte as the original does.
TEST(CaptureScenario, QsupdateSeesTheCaptureAsTheHost)
{
    struct Case {
        const char *what;
        std::vector<std::string> create;
        bool with_flash;
    };
    const Case cases[] = {
        {"Linux, three generations", {"--adapter", "dogwood2", "--adapter", "cedar:3", "--adapter", "birch"}, true},
        {"Linux, old boards, OEM, ARI",
         {"--adapter", "alder-0710", "--adapter", "oem", "--adapter", "dogwood:10", "--adapter", "alder"},
         true},
        {"ESX service console", {"--platform", "esx", "--adapter", "cedar", "--adapter", "dogwood2:3"}, true},
        {"Linux, without flash", {"--adapter", "birch", "--adapter", "dogwood2"}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TestLab host(c.create);
        // The service console reaches the flash through the controller:
        // its MTD nodes are there only where mtdchar was loaded at boot.
        host.edit([](json &j) {
            j["host"]["modules_loaded"].push_back("mtdchar");
            j["adapters"].back()["ports"].back()["up"] = false;
            j["interfaces"].push_back({{"ifname", "eth0.100"}, {"kind", "vlan"}, {"lower", "eth0"},
                                       {"vlan_id", 100}, {"mac", "00:1B:7E:5A:10:00"}});
        });
        const CommandResult status = host.qsupdate({});
        const CommandResult list = host.qsupdate({"--list"});
        ASSERT_EQ(status.status, 0) << status.err;

        const std::string root = host.dir() + "/root";
        const auto before = snapshot(root);
        Removed copy{host.dir() + ".capture"};
        std::vector<std::string> args = {"capture", copy.dir, "--root", root};
        if (c.with_flash)
            args.push_back("--with-flash");
        const CommandResult r = host.qslab(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(snapshot(root), before);

        auto on_copy = [&](std::vector<std::string> qsupdate_args) {
            std::vector<std::string> run = {"run", copy.dir, "--"};
            run.insert(run.end(), qsupdate_args.begin(), qsupdate_args.end());
            return host.qslab(run);
        };
        expect_run(on_copy({"--list"}), list.status, list.out, list.err);
        if (c.with_flash)
            expect_run(on_copy({}), status.status, status.out, status.err);
        else
            EXPECT_NE(r.out.find("\nNote: flash contents are not read (no --with-flash): every partition starts "
                                 "erased"),
                      std::string::npos)
                << r.out;

        // Partition by partition: the same id, geometry, ports, controller
        // type and bytes (or erased bytes), and every MTD-visible one is there.
        const json original = host.description(), captured = json::parse(read_file(copy.dir + "/lab.json"));
        ASSERT_EQ(captured["adapters"].size(), original["adapters"].size());
        const lab::LabState os = lab::load_state(host.dir() + "/lab.json");
        const lab::LabState cs = lab::load_state(copy.dir + "/lab.json");
        for (size_t a = 0; a < original["adapters"].size(); ++a) {
            const json &oa = original["adapters"][a], &ca = captured["adapters"][a];
            EXPECT_EQ(ca["partitions"].size(), mtd_partitions(os, a)) << "adapter " << a + 1;
            for (const json &cp : ca["partitions"]) {
                const std::string id = cp["id"];
                const json *op = partition_named(oa, id);
                ASSERT_TRUE(op) << id;
                for (const char *key : {"kind", "subtype", "size", "erase_size", "mcdi_type", "mtd"})
                    EXPECT_EQ(cp[key], (*op)[key]) << id << " " << key;
                std::string bytes = read_file(host.dir() + "/flash/" + id + ".bin");
                if (!c.with_flash)
                    bytes.assign(bytes.size(), '\xFF');
                EXPECT_TRUE(read_file(copy.dir + "/flash/" + id + ".bin") == bytes) << id;
            }
            // The VPD as the card holds it, however the host's kernel shows it.
            EXPECT_EQ(lab::eeprom_contents(cs.adapters[a]), lab::eeprom_contents(os.adapters[a]));
            EXPECT_EQ(cs.adapters[a].vpd_sysfs_size, os.adapters[a].vpd_sysfs_size);
            EXPECT_EQ(ca["ports"], oa["ports"]);
            for (const char *key : {"vendor_id", "device_id", "subsystem_vendor_id", "subsystem_device_id"})
                EXPECT_EQ(ca[key], oa[key]) << key;
            if (c.with_flash && oa["preset"] != "alder" && oa["preset"] != "alder-0710") {
                EXPECT_EQ(ca["firmware_version"], oa["firmware_version"]);
            }
        }
        for (const char *key :
             {"platform", "kernel_release", "driver_version", "hostname", "qsc_control_major", "modules_loaded"})
            EXPECT_EQ(captured["host"][key], original["host"][key]) << key;
        auto by_name = [](json interfaces) {
            std::sort(interfaces.begin(), interfaces.end(),
                      [](const json &x, const json &y) { return x["ifname"] < y["ifname"]; });
            return interfaces;
        };
        EXPECT_EQ(by_name(captured["interfaces"]), by_name(original["interfaces"]));
    }
}

TEST(CaptureScenario, RefusalsChangeNothing)
{
    TestLab host({"--adapter", "dogwood2"}); // mtdchar not loaded yet: no MTD nodes
    TestLab no_driver({"--no-driver"});
    TestLab esxi({"--platform", "esxi"}); // its ports are not in files
    const std::string root = fs::canonical(host.dir() + "/root").string();
    Removed full{host.dir() + ".full"};
    fs::create_directories(full.dir);
    std::ofstream(full.dir + "/notes.txt") << "keep\n";
    Removed empty_root{host.dir() + ".empty"};
    fs::create_directories(empty_root.dir);

    struct Case {
        std::string dir;
        std::vector<std::string> options;
        std::string err;
    };
    const std::string target = host.dir() + ".capture";
    const Case cases[] = {
        {full.dir, {"--root", root}, full.dir + " exists and is not an empty directory"},
        {target,
         {"--root", no_driver.dir() + "/root"},
         "no port of the qsc driver under " + fs::canonical(no_driver.dir() + "/root").string() +
             " (no interface in /sys/class/net whose device/driver is qsc)"},
        {target, {"--root", "/"}, "no port of the qsc driver under / (no interface in /sys/class/net whose "
                                  "device/driver is qsc)"},
        {target,
         {"--root", esxi.dir() + "/root"},
         "cannot read " + fs::canonical(esxi.dir() + "/root").string() + "/sys/class/net: No such file or directory"},
        {target, {"--root", empty_root.dir}, "cannot read " + empty_root.dir + "/sys/class/net: No such file or directory"},
        {target, {"--root", host.dir() + "/missing"}, "cannot read " + host.dir() + "/missing: No such file or directory"},
        {target,
         {"--root", root, "--with-flash"},
         "cannot read MTD device 0: /dev/mtd0: No such file or directory, /dev/mtdblock0: No such file or "
         "directory (load mtdchar first)"},
    };
    const auto before = snapshot(root);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.err);
        std::vector<std::string> args = {"capture", c.dir};
        args.insert(args.end(), c.options.begin(), c.options.end());
        expect_run(host.qslab(args), 125, "", "qslab: " + c.err + "\n");
        EXPECT_FALSE(fs::exists(target));
    }
    EXPECT_EQ(read_file(full.dir + "/notes.txt"), "keep\n");
    EXPECT_EQ(snapshot(root), before);
}
