// Every operation of a clean update failed in turn: it says so, loses nothing, and a rerun completes.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "lab/model/lab_image.h"
#include "lab/model/lab_preset_config.h"
#include "lab/model/lab_preset_flash.h"
#include "lib/utils/byteorder.h"
#include "lib/utils/firmware_version.h"
#include "lib/utils/linux/dynamic_cfg.h"
#include "lib/utils/linux/dynamic_cfg_birch.h"
#include "lib/utils/linux/nv.h"
#include "lib/utils/linux/qsu_device.h"
#include "lib/utils/linux/vpd.h"
#include "tests/lab/support/lab_fixture.h"
#include "tests/unit/support/run_main.h"

namespace {

// A whole partition file at once: they are megabytes, read thousands of times.
std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::string bytes(std::filesystem::file_size(path), '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

// A configuration's items and dynamic VPD, generations and checksums aside.
std::string summary(const uint8_t *bytes, size_t size, bool tlv)
{
    std::string out;
    auto hex = [&](const uint8_t *p, size_t n, const char *then) {
        for (size_t i = 0; i < n; ++i)
            out += "0123456789abcdef"[p[i] >> 4], out += "0123456789abcdef"[p[i] & 15];
        out += then;
    };
    if (!tlv) {
        const size_t length = load_le16(bytes + 4), vpd = load_le32(bytes + 8), room = load_le32(bytes + 12);
        hex(bytes + 20, std::min(length, size) - std::min<size_t>(20, length), "|");
        if (vpd <= size && room <= size - vpd && vpd_is_valid(bytes + vpd, room))
            hex(bytes + vpd, vpd_used_len(bytes + vpd), "");
        return out;
    }
    for (size_t segment = 0; segment + 20 <= size && load_le32(bytes + segment) == 0xBD20DA7A;) {
        const size_t total = load_le32(bytes + segment + 16);
        out += "[";
        for (size_t at = segment + 20; at + 8 <= size && at < segment + total;) {
            const uint32_t tag = load_le32(bytes + at), len = load_le32(bytes + at + 4);
            if (tag == 0xEEEEEEEE || len > size - at - 8)
                break;
            if (tag != 0xBD201A57) {
                hex(bytes + at, 4, "=");
                hex(bytes + at + 8, len, " ");
            }
            at += 8 + (len + 3) / 4 * 4;
        }
        out += "]";
        if (total == 0)
            break;
        segment += total;
    }
    return out;
}

struct Update {
    const char *name;
    lab::HostKind host;
    const char *preset;
    uint32_t type, subtype; // of the image, and so of the row that writes it
};

// One run's outcome, as a user and the adapter see it.
struct Outcome {
    RunResult run;
    std::vector<lab::TracedOperation> trace;
    std::vector<bool> up; // each port's interface afterwards
    std::map<std::string, std::string> flash;
};

// A two-port lab with a rich configuration, put back to its first state before every faulty run.
class Bench {
public:
    explicit Bench(const Update &u) : update_(u)
    {
        lab::LabState state = lab_host(u.host, {{u.preset, 2}});
        lab::enrich_dynamic_config(state.adapters.at(0));
        // Files made and removed by the thousand: in memory where the host has it.
        dir_ = (std::filesystem::is_directory("/dev/shm") ? "/dev/shm/" : testing::TempDir()) + "qslab-faults-XXXXXX";
        if (!mkdtemp(dir_.data()))
            std::abort();
        lab::Lab::create(dir_, state);
        for (const lab::Partition &p : state.adapters.at(0).partitions) {
            if (lab::partition_image_type(p.kind) == int(u.type) && p.subtype == u.subtype)
                target = p.id;
            if (p.kind == NV_PART_DYNAMIC_CFG)
                configs_.insert(p.id);
            if (p.kind == NV_PART_STATUS || (p.kind == NV_PART_BUNDLE_METADATA && u.type == 13))
                also_changed_.insert(p.id); // the controller's verdict; a bundle unpacked at the reset
        }
        description_ = read_file(lab::lab_json_path(dir_));
        port = state.adapters.at(0).ports.at(0).ifname;
        pristine = flash();
        old_configs = configs();
        image_ = "/tmp" + dir_.substr(dir_.rfind('/')) + ".bin"; // not under /dev, which the lab maps
        const std::vector<uint8_t> bytes = lab::build_plain_image({u.type, u.subtype, {9, 0, 0, 1}, {}, 4096});
        std::ofstream(image_, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    }
    ~Bench()
    {
        std::filesystem::remove_all(dir_);
        std::filesystem::remove(image_);
    }

    bool may_change(const std::string &id) const { return id == target || is_config(id) || also_changed_.count(id); }
    bool is_config(const std::string &id) const { return configs_.count(id) != 0; }

    void reset()
    {
        for (const auto &[id, bytes] : pristine)
            if (slurp(file(id)) != bytes)
                std::ofstream(file(id), std::ios::binary | std::ios::trunc) << bytes;
        std::ofstream(lab::lab_json_path(dir_), std::ios::trunc) << description_;
        std::filesystem::remove(dir_ + "/root/run/qsupdate/qsupdate.lock");
        std::filesystem::remove_all(dir_ + "/root/var/lib/qsutils"); // kept copies, made nodes
        std::filesystem::remove(lab::events_log_path(dir_));
    }

    // A node made or a module loaded since the first state.
    bool host_changed() const
    {
        auto host = [](const std::string &text) {
            nlohmann::json j = nlohmann::json::parse(text);
            j.erase("clock_us");
            j.erase("runs");
            return j;
        };
        return host(read_file(lab::lab_json_path(dir_))) != host(description_);
    }

    // A configuration copy kept on the host.
    bool kept() const
    {
        std::error_code ec;
        auto files = std::filesystem::directory_iterator(dir_ + "/root/var/lib/qsutils", ec);
        return std::any_of(begin(files), end(files),
                           [](const auto &e) { return e.path().filename().string().starts_with("dynamic_cfg_"); });
    }

    // qsupdate writing the image, with the faults in the lab's table.
    Outcome run(const std::vector<lab::Fault> &faults, bool all_ports = false)
    {
        Outcome o;
        lab::Lab lab(dir_);
        for (const lab::Fault &f : faults)
            lab.faults().add(f);
        lab::LabPlatform platform(lab);
        lab.faults().start_trace();
        nv_reset_for_tests();
        std::vector<std::string> args = {"--write", "-s", "--image=" + image_};
        if (!all_ports)
            args.push_back("--adapter=" + port);
        o.run = run_qsupdate_here(platform, args);
        o.trace = lab.faults().trace();
        for (const lab::Port &p : lab.state().adapters.at(0).ports)
            o.up.push_back(p.up);
        lab.save("test run ended"); // what the next run finds: nodes made, modules loaded
        o.flash = flash();
        return o;
    }

    // Each port's configuration as qsupdate opens it (a kept copy in place of a damaged partition).
    std::vector<std::string> configs()
    {
        lab::Lab lab(dir_);
        lab::LabPlatform platform(lab);
        ScopedPlatform scoped(platform);
        nv_reset_for_tests();
        testing::internal::CaptureStdout(); // a damaged configuration says so
        testing::internal::CaptureStderr();
        qsu_device *devs = nullptr;
        int ports = (qsu_device_init(), qsu_device_enum(&devs));
        nv_init();
        std::vector<std::string> all;
        for (int i = 0; i < ports; ++i) {
            dynamic_cfg_context *ctx = dynamic_cfg_open(&devs[i], NV_PART_DYNAMIC_CFG);
            if (!ctx) {
                all.push_back("(does not open)");
                continue;
            }
            dynamic_cfg_part *part = ctx->part;
            if (!part->is_bd20)
                birch_dynamic_cfg_to_flash_order(part);
            all.push_back(summary(part->buffer, part->buffer_size, part->is_bd20));
            if (!part->is_bd20)
                birch_dynamic_cfg_to_host_order(part);
            char version[VERSION_STRING_LEN]; // the updated kind's, as qsupdate reads it
            all.back() += std::string("|v") + version_string(version, dynamic_cfg_get_version(ctx, image_type_t(update_.type)), false);
            dynamic_cfg_close(ctx);
        }
        std::free(devs);
        testing::internal::GetCapturedStderr();
        testing::internal::GetCapturedStdout();
        return all;
    }

private:
    std::string file(const std::string &id) const { return dir_ + "/flash/" + id + ".bin"; }
    std::map<std::string, std::string> flash() const
    {
        std::map<std::string, std::string> all;
        for (const auto &e : std::filesystem::directory_iterator(dir_ + "/flash"))
            all[e.path().stem().string()] = slurp(e.path().string());
        return all;
    }

    Update update_;
    std::string dir_, image_, description_;
    std::set<std::string> configs_, also_changed_;

public:
    std::string target, port;                      // the partition the image goes to; the port that writes it
    std::map<std::string, std::string> pristine;   // every partition's first bytes
    std::vector<std::string> old_configs;          // each port's configuration at first
};

std::string signature(const lab::TracedOperation &op)
{
    return op.operation + " " + op.target + " " + (op.request ? std::to_string(*op.request) : "");
}

// Discovery, the write (target changes), the sync (configuration changes) and the walk around the write.
struct Stretches {
    size_t discovery, write_first, write_last, sync;
    Stretches(const Bench &bench, const std::vector<lab::TracedOperation> &trace)
    {
        auto first = [&](auto pred) { return static_cast<size_t>(std::ranges::find_if(trace, pred) - trace.begin()); };
        discovery = first([](const lab::TracedOperation &op) { return op.target == "/proc/mtd" || op.operation == "mcdi"; });
        auto changes = [&](const std::string &id) {
            return [&bench, id](const lab::TracedOperation &op) {
                const bool own = id.empty() ? bench.is_config(op.target) : op.target == id;
                return own && (op.operation == "erase" || op.operation == "write" ||
                               (op.operation == "mcdi" && (op.request == 0x38 || op.request == 0x3C)));
            };
        };
        write_first = first(changes(bench.target));
        auto last = std::find_if(trace.rbegin(), trace.rend(), changes(bench.target));
        write_last = static_cast<size_t>(trace.rend() - last) - 1;
        sync = first(changes(""));
    }
    const char *of(size_t i) const
    {
        return i < discovery ? "discovery" : i >= write_first && i <= write_last ? "write" : i < sync ? "walk" : "sync";
    }
};

// Points that fail alike are tried once: per host in discovery, host and generation in the walk, else neighbours.
std::string group_of(const Update &u, const Stretches &at, const std::vector<lab::TracedOperation> &trace, size_t i)
{
    const std::string stretch = at.of(i);
    if (stretch == "discovery")
        return std::to_string(int(u.host)) + "|" + stretch + "|" + signature(trace[i]);
    if (stretch == "walk")
        return std::to_string(int(u.host)) + u.preset + "|" + stretch + "|" + signature(trace[i]);
    return std::string(u.name) + "|" + stretch + "|" + (i ? signature(trace[i - 1]) : "") + "|" +
           signature(trace[i]) + "|" + (i + 1 < trace.size() ? signature(trace[i + 1]) : "");
}

// Failure points after which the update completes by design.
struct Recovery {
    const char *stretch;
    std::vector<const char *> operations; // any when empty
    const char *target;                   // a part of the object's name; any when empty
};
const Recovery kRecoveries[] = {
    // A port's identity beyond its PCI ids, another driver's interface, a held lock's holder name.
    {"discovery", {}, ""},
    // The MTD block device serves when the character driver does not load.
    {"walk", {"run"}, "modprobe mtdchar"},
    // A row the board does not carry probes as absent; an unknown configuration subtype is 0.
    {"walk", {"socket", "command", "ioctl", "mcdi"}, ""},
    // A partition a port does not open is reached through its sibling.
    {"walk", {"open"}, "/dev/"},
    {"walk", {"read"}, "bundle-metadata"}, // versions then come from the configuration
    // The controller's own verdict and metadata rewrites: the last ones stay.
    {"walk", {"erase", "write"}, "status"},
    {"walk", {"erase", "write"}, "bundle-metadata"},
    {"sync", {"ioctl"}, "eth0"}, // bringing the interface up is tried twice
    // A configuration write that fails is made again from the whole one in memory.
    {"sync", {"open", "read", "lseek", "erase", "write", "ioctl", "mcdi", "command", "socket"}, ""},
    // A copy left over after its directory's flush failed holds what the partition holds.
    {"sync", {"fsync"}, "/var/lib/qsutils"},
};

bool recovers(const char *stretch, const lab::TracedOperation &op)
{
    return std::ranges::any_of(kRecoveries, [&](const Recovery &r) {
        return stretch == std::string(r.stretch) && op.target.find(r.target) != std::string::npos &&
               (r.operations.empty() || std::ranges::count(r.operations, op.operation) != 0);
    });
}

const Update kUpdates[] = {
    {"dogwood2 controller firmware", lab::HostKind::linux_host, "dogwood2", 3, 37},
    {"dogwood2 boot ROM", lab::HostKind::linux_host, "dogwood2", 2, 7},
    {"dogwood2 bundle", lab::HostKind::linux_host, "dogwood2", 13, 2},
    {"dogwood controller firmware", lab::HostKind::linux_host, "dogwood", 3, 32},
    {"dogwood boot ROM", lab::HostKind::linux_host, "dogwood", 2, 6},
    {"dogwood UEFI ROM", lab::HostKind::linux_host, "dogwood", 12, 0},
    {"cedar controller firmware", lab::HostKind::linux_host, "cedar", 3, 18},
    {"cedar boot ROM", lab::HostKind::linux_host, "cedar", 2, 4},
    {"cedar micro-controller firmware", lab::HostKind::linux_host, "cedar", 11, 2},
    {"birch controller firmware", lab::HostKind::linux_host, "birch", 3, 8},
    {"birch boot ROM", lab::HostKind::linux_host, "birch", 2, 2},
    {"birch FPGA", lab::HostKind::linux_host, "birch", 6, 4},
    {"ESXi dogwood2 controller firmware", lab::HostKind::esxi, "dogwood2", 3, 37},
};

TEST(UpdateFaultMatrix, EveryFailurePointOfAnUpdate)
{
    std::set<std::string> tried;
    for (const Update &u : kUpdates) {
        SCOPED_TRACE(u.name);
        Bench bench(u);
        ASSERT_FALSE(bench.target.empty());
        Outcome clean = bench.run({});
        ASSERT_EQ(clean.run.status, 0) << clean.run.err;
        // The image's code (beyond it, a block device, which cannot erase, leaves the old bytes).
        const std::string updated = clean.flash.at(bench.target).substr(0, 4096);
        ASSERT_NE(updated, bench.pristine.at(bench.target).substr(0, 4096));
        const Stretches at(bench, clean.trace);
        const std::vector<std::string> updated_configs = bench.configs();
        for (const std::string &config : updated_configs)
            ASSERT_TRUE(config.ends_with("|v9.0.0.1")) << "the new version recorded on each port: " << config;
        for (size_t i = 0; i < clean.trace.size(); ++i) {
            const lab::TracedOperation &op = clean.trace[i];
            if (!tried.insert(group_of(u, at, clean.trace, i)).second)
                continue;
            bench.reset();
            Outcome o = bench.run({{"*", op.operation, "", op.occurrence, EIO, std::nullopt}});
            SCOPED_TRACE(signature(op) + "#" + std::to_string(op.occurrence) + " -> exit " +
                         std::to_string(o.run.status) + ", " + o.run.err);
            EXPECT_EQ(o.up, clean.up) << "the interface as it was found";
            for (const auto &[id, bytes] : o.flash)
                EXPECT_TRUE(bench.may_change(id) || bytes == bench.pristine.at(id)) << id << " changed";
            const bool complete = o.flash.at(bench.target).compare(0, 4096, updated) == 0;
            // What this run said beyond what every run says (ESXi's serial number).
            const std::string said = o.run.err.starts_with(clean.run.err) ? o.run.err.substr(clean.run.err.size()) : o.run.err;
            const bool named = said.find(bench.port.substr(0, bench.port.size() - 1)) != std::string::npos ||
                               said.find("partition") != std::string::npos || said.find("NVRAM") != std::string::npos;
            EXPECT_TRUE(o.run.status == 0 ? complete && recovers(at.of(i), op) : i < at.discovery ? !said.empty() : named)
                << "exit 0 only for an update done by a known recovery; a failure says what failed, after discovery "
                   "naming the port or the partition";
            if (o.flash == bench.pristine && !bench.host_changed())
                continue; // the next run is the clean one
            const std::vector<std::string> now = bench.configs();
            for (size_t port = 0; port < now.size(); ++port)
                EXPECT_TRUE(now[port] == bench.old_configs.at(port) || (now[port] == updated_configs.at(port) && complete))
                    << "port " << port << "'s configuration neither the old one nor the new one: " << now[port];
            if (o.run.status != 0) {
                // Over every port, as a plain rerun goes, so a sibling left behind catches up.
                Outcome again = bench.run({}, true);
                EXPECT_EQ(again.run.status, 0) << again.run.err;
                EXPECT_EQ(again.flash.at(bench.target).compare(0, 4096, updated), 0) << "a second run completes";
                EXPECT_EQ(bench.configs(), updated_configs) << "after a second run";
            }
        }
    }
}

// A configuration no try stores fails the update; its kept copy stands in until a later run stores it.
TEST(UpdateFaultMatrix, AConfigurationNoTryStoresIsKeptUntilARunDoes)
{
    const struct {
        unsigned occurrence; // 0: every try
        const char *operation;
        std::optional<size_t> cut; // bytes a write takes; none: it fails with EIO
    } faults[] = {{1, "write", 57},       {0, "write", 0}, {0, "write", 21}, {0, "write", 4095},
                  {0, "write", std::nullopt}, {0, "erase", std::nullopt}};
    for (const Update &u : {kUpdates[0], kUpdates[6], kUpdates[9]}) {
        SCOPED_TRACE(u.name);
        Bench bench(u);
        ASSERT_EQ(bench.run({}).run.status, 0);
        const std::vector<std::string> updated = bench.configs();
        const std::string config = bench.is_config("a1-dynamic-cfg-00") ? "a1-dynamic-cfg-00" : "a1-dynamic-cfg-00-p0";
        for (const auto &f : faults) {
            SCOPED_TRACE(std::string(f.operation) + " #" + std::to_string(f.occurrence) + " cut " +
                         std::to_string(f.cut.value_or(-1)));
            bench.reset();
            Outcome o = bench.run({{config, f.operation, "", f.occurrence, EIO, f.cut}});
            const bool stored = f.occurrence != 0, left_whole = !stored && f.operation == std::string("erase");
            EXPECT_EQ(o.run.status == 0, stored) << o.run.err;
            EXPECT_EQ(bench.kept(), !stored) << "a copy kept exactly while the partition lacks it";
            const std::vector<std::string> now = bench.configs();
            // The first port's from the copy; a Birch sibling's not yet recorded, as the run stopped.
            for (size_t port = 0; port < now.size(); ++port)
                EXPECT_TRUE(now[port] == updated[port] || ((left_whole || port) && now[port] == bench.old_configs[port]))
                    << "port " << port << ": " << now[port];
            EXPECT_EQ(bench.run({}, true).run.status, 0);
            EXPECT_EQ(bench.configs(), updated);
            EXPECT_FALSE(bench.kept()) << "the copy gone once the partition holds it";
        }
    }
}

} // namespace
