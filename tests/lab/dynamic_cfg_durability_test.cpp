// What the dynamic configuration holds across runs, on the lab's flash:
// what the presets recorded, random edits each synced and read back by a
// fresh open, and syncs cut off part-way, after which the next open reads
// the old versions or the new ones, never a mixture and never nothing.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>

#include <gtest/gtest.h>

#include "lab/model/lab_preset_flash.h"
#include "lib/utils/byteorder.h"
#include "lib/utils/linux/dynamic_cfg.h"
#include "lib/utils/linux/nv.h"
#include "lib/utils/linux/qsu_device.h"
#include "tests/lab/support/lab_fixture.h"

namespace {

using Versions = std::map<image_type_t, firmware_version>;

bool operator==(firmware_version l, firmware_version r)
{
    return l.a == r.a && l.b == r.b && l.c == r.c && l.d == r.d;
}

std::string text(firmware_version v)
{
    char buf[VERSION_STRING_LEN];
    return version_string(buf, v, false);
}

// A lab directory that runs of qsupdate's own code open one after another.
class LabDir {
public:
    // Without bundle metadata, versions come from the configuration alone.
    explicit LabDir(lab::LabState state, bool bundle_metadata = false) : state_(state)
    {
        for (lab::Adapter &a : state.adapters)
            for (lab::Partition &p : a.partitions)
                if (p.kind == NV_PART_BUNDLE_METADATA && !bundle_metadata)
                    p.initial_contents.clear();
        char name[] = "/tmp/qslab-durability-XXXXXX";
        if (!mkdtemp(name))
            std::abort();
        dir_ = name;
        lab::Lab::create(dir_, state);
        for (const lab::Partition &p : state.adapters.at(0).partitions)
            if (p.kind == NV_PART_DYNAMIC_CFG && config_id_.empty()) {
                config_id_ = p.id;
                config_blocks_ = p.size / p.erase_size;
            }
    }
    ~LabDir() { std::filesystem::remove_all(dir_); }
    const std::string &dir() const { return dir_; }
    const lab::LabState &state() const { return state_; }
    // The first port's configuration partition, and its erase blocks.
    const std::string &config_id() const { return config_id_; }
    uint32_t config_blocks() const { return config_blocks_; }
    void set_faults(const nlohmann::json &faults)
    {
        lab::LabState s = lab::load_state(lab::lab_json_path(dir_));
        s.faults = lab::faults_from_json(faults);
        lab::save_state(s, lab::lab_json_path(dir_));
    }

private:
    lab::LabState state_;
    std::string dir_;
    std::string config_id_;
    uint32_t config_blocks_ = 0;
};

// One run: the lab opened, ports enumerated and grouped, NV access chosen.
class HostRun {
public:
    explicit HostRun(const LabDir &dir) : lab_(dir.dir()), platform_(lab_), scoped_(platform_)
    {
        nv_reset_for_tests();
        testing::internal::CaptureStderr();
        EXPECT_EQ(qsu_device_init(), 0);
        ports_ = qsu_device_enum(&devs_);
        EXPECT_GE(ports_, 1);
        EXPECT_EQ(nv_init(), 0);
        testing::internal::GetCapturedStderr();
    }
    ~HostRun()
    {
        for (int i = 0; i < ports_; ++i)
            close(i);
        std::free(devs_);
        lab_.save("test run ended");
    }
    int ports() const { return ports_; }
    qsu_device *port(int i) { return &devs_[i]; }
    dynamic_cfg_context *open(int i)
    {
        if (!devs_[i].dyn_context) {
            // A damaged configuration says so.
            testing::internal::CaptureStdout();
            testing::internal::CaptureStderr();
            dynamic_cfg_open(&devs_[i], NV_PART_DYNAMIC_CFG);
            testing::internal::GetCapturedStderr();
            testing::internal::GetCapturedStdout();
        }
        return devs_[i].dyn_context;
    }
    void close(int i)
    {
        if (devs_[i].dyn_context)
            dynamic_cfg_close(devs_[i].dyn_context);
    }
    // Sync's result, with what it said on standard error.
    std::pair<int, std::string> sync(int i)
    {
        testing::internal::CaptureStderr();
        int rc = dynamic_cfg_sync(open(i), nullptr);
        return {rc, testing::internal::GetCapturedStderr()};
    }
    Versions versions(int i, const std::vector<image_type_t> &types)
    {
        Versions v;
        for (image_type_t t : types)
            v[t] = dynamic_cfg_get_version(open(i), t);
        return v;
    }
    std::string family(int i)
    {
        char buf[64];
        int n = dynamic_cfg_get_family(open(i), buf, sizeof buf);
        return n < 0 ? "(none)" : std::string(buf, std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1));
    }

private:
    lab::Lab lab_;
    lab::LabPlatform platform_;
    ScopedPlatform scoped_;
    qsu_device *devs_ = nullptr;
    int ports_ = 0;
};

struct Generation {
    const char *preset;
    std::vector<image_type_t> types; // what its configuration records
    bool shared;                     // one configuration for the adapter
    bool global_vpd;                 // one dynamic VPD for the adapter
};

const std::vector<image_type_t> kBirchTypes = {IMAGE_TYPE_MCFW, IMAGE_TYPE_BOOTROM, IMAGE_TYPE_PHY,
                                               IMAGE_TYPE_FPGA, IMAGE_TYPE_FPGA_BACKUP, IMAGE_TYPE_FCFW,
                                               IMAGE_TYPE_CPLD};
const std::vector<image_type_t> kBd20Types = {IMAGE_TYPE_MCFW, IMAGE_TYPE_BOOTROM, IMAGE_TYPE_FPGA,
                                              IMAGE_TYPE_FPGA_BACKUP, IMAGE_TYPE_FCFW, IMAGE_TYPE_MUMFW,
                                              IMAGE_TYPE_UEFIROM, IMAGE_TYPE_BUNDLE};
const Generation kGenerations[] = {
    {"birch", kBirchTypes, false, false},
    {"cedar", kBd20Types, true, false},
    {"dogwood", kBd20Types, true, true},
    {"dogwood2", kBd20Types, true, true},
};

// Random edits of versions and keywords through either port, each synced;
// after each, every port opened afresh from the flash reads the model.
TEST(DynamicConfigDurability, RandomEditsReadBackAfterEverySync)
{
    for (const Generation &g : kGenerations) {
        SCOPED_TRACE(g.preset);
        LabDir dir(lab_host(lab::HostKind::linux_host, {{g.preset, 2}}));
        std::mt19937 rng(7);
        // Versions per configuration, keywords per dynamic VPD.
        std::map<int, Versions> versions;
        std::map<int, std::map<std::string, std::string>> keywords;
        auto owner = [](bool shared, int port) { return shared ? 0 : port; };
        auto run = std::make_unique<HostRun>(dir);
        for (int i = 0; i < 2; ++i) { // whatever the preset holds
            versions[owner(g.shared, i)] = run->versions(i, g.types);
            for (char k = '0'; k <= '9'; ++k) {
                char buf[64];
                if (dynamic_cfg_get_string(run->open(i), 'V', k, buf, sizeof buf) >= 0)
                    keywords[owner(g.global_vpd, i)][std::string{'V', k}] = buf;
            }
        }
        for (int step = 0; step < 40; ++step) {
            const int port = static_cast<int>(rng() % 2);
            dynamic_cfg_context *ctx = run->open(port);
            ASSERT_NE(ctx, nullptr);
            switch (rng() % 3) {
            case 0: {
                const image_type_t t = g.types[rng() % g.types.size()];
                const firmware_version v = {static_cast<uint16_t>(rng() % 10), static_cast<uint16_t>(rng()),
                                            static_cast<uint16_t>(rng() % 100), static_cast<uint16_t>(rng())};
                ASSERT_EQ(dynamic_cfg_set_version(ctx, t, rng() % 64, v, true), 0);
                versions[owner(g.shared, port)][t] = v;
                break;
            }
            case 1: {
                const std::string key = {'V', static_cast<char>('0' + rng() % 10)};
                const std::string value(1 + rng() % 40, static_cast<char>('a' + rng() % 26));
                ASSERT_EQ(dynamic_cfg_set_string(ctx, key[0], key[1], value.c_str()), 0);
                keywords[owner(g.global_vpd, port)][key] = value;
                break;
            }
            default: {
                const std::string key = {'V', static_cast<char>('0' + rng() % 10)};
                ASSERT_EQ(dynamic_cfg_set_string(ctx, key[0], key[1], nullptr), 0);
                keywords[owner(g.global_vpd, port)].erase(key);
            }
            }
            auto [rc, err] = run->sync(port);
            ASSERT_EQ(rc, 0) << err;
            // Another port's unsynced view of a shared configuration is the
            // same buffer, so closing everything loses nothing.
            if (step % 10 == 9) { // a new run: nothing cached
                run.reset();
                run = std::make_unique<HostRun>(dir);
            }
            for (int i = 0; i < 2; ++i)
                run->close(i);
            for (int i = 0; i < 2; ++i) {
                SCOPED_TRACE("step " + std::to_string(step) + ", port " + std::to_string(i));
                Versions read = run->versions(i, g.types);
                for (image_type_t t : g.types)
                    EXPECT_EQ(text(read[t]), text(versions[owner(g.shared, i)][t])) << "type " << t;
                dynamic_cfg_context *c = run->open(i);
                for (char k = '0'; k <= '9'; ++k) {
                    char buf[64];
                    const auto &model = keywords[owner(g.global_vpd, i)];
                    auto it = model.find(std::string{'V', k});
                    int n = dynamic_cfg_get_string(c, 'V', k, buf, sizeof buf);
                    EXPECT_EQ(n < 0 ? std::string("(none)") : std::string(buf), it == model.end() ? "(none)" : it->second)
                        << "V" << k;
                }
            }
            if (::testing::Test::HasFailure())
                return;
        }
    }
}

// A sync cut off anywhere, or whose erase fails part-way, loses nothing:
// a single failure is written over again, and when every try fails the
// copy kept on the host stands in for the partition until the next sync.
// The next open reads the old versions or the new ones, never a mixture
// and never a rebuilt, empty configuration.
TEST(DynamicConfigDurability, AnInterruptedSyncLosesNothing)
{
    const std::string cut = "write_cut_after", err = "errno";
    const unsigned every = 0;
    const struct {
        unsigned occurrence;
        const char *operation;
        nlohmann::json how;
    } faults[] = {
        {1, "write", {{cut, 0}}},     {1, "write", {{cut, 57}}},     {16, "write", {{cut, 4000}}},
        {8, "write", {{err, "EIO"}}}, {3, "erase", {{err, "EIO"}}},  {every, "write", {{cut, 0}}},
        {every, "write", {{cut, 21}}}, {every, "write", {{cut, 4095}}}, {every, "write", {{err, "EIO"}}},
        {every, "erase", {{err, "EIO"}}},
    };
    for (const Generation &g : kGenerations) {
        if (g.preset == std::string("dogwood"))
            continue; // the same layout as dogwood2's
        SCOPED_TRACE(g.preset);
        LabDir dir(lab_host(lab::HostKind::linux_host, {{g.preset, 1}}));
        Versions old_versions, new_versions;
        uint16_t n = 1;
        for (image_type_t t : g.types) {
            old_versions[t] = {1, n, 0, static_cast<uint16_t>(100 + n)};
            new_versions[t] = {2, n, 0, static_cast<uint16_t>(200 + n)};
            ++n;
        }
        auto record = [&](HostRun &run, const Versions &v, const char *family) {
            dynamic_cfg_context *ctx = run.open(0);
            for (const auto &[t, ver] : v)
                EXPECT_EQ(dynamic_cfg_set_version(ctx, t, 1, ver, true), 0);
            EXPECT_EQ(dynamic_cfg_set_family(run.port(0), ctx, family), 0);
            return run.sync(0);
        };
        const std::string qsutils = dir.dir() + "/root/var/lib/qsutils";
        auto kept = [&] {
            std::error_code ec;
            return std::filesystem::exists(qsutils, ec) &&
                   std::any_of(std::filesystem::directory_iterator(qsutils), {}, [](const auto &e) {
                       return e.path().filename().string().starts_with("dynamic_cfg_");
                   });
        };
        dir.set_faults({});
        EXPECT_EQ(record(*std::make_unique<HostRun>(dir), old_versions, "1.0.0").first, 0);
        EXPECT_FALSE(kept()) << "a stored configuration keeps no copy";
        for (const auto &f : faults) {
            SCOPED_TRACE(std::string(f.operation) + " " + std::to_string(f.occurrence) + " " + f.how.dump());
            nlohmann::json fault = f.how;
            fault.update({{"target", dir.config_id()}, {"operation", f.operation},
                          {"occurrence", f.occurrence ? nlohmann::json(f.occurrence) : nlohmann::json("every")}});
            dir.set_faults(nlohmann::json::array({fault}));
            auto [rc, said] = record(*std::make_unique<HostRun>(dir), new_versions, "2.0.0");
            EXPECT_EQ(rc, f.occurrence == every ? -1 : 0) << said;
            EXPECT_EQ(kept(), rc != 0) << "the copy stays exactly while the write failed";

            dir.set_faults({});
            HostRun after(dir);
            const Versions read = after.versions(0, g.types);
            const std::string family = after.family(0);
            auto same = [&](const Versions &v) {
                return std::all_of(v.begin(), v.end(), [&](const auto &tv) { return read.at(tv.first) == tv.second; });
            };
            // A partition the failed erase left whole still holds the old
            // configuration; one it left damaged is read from the copy.
            const bool left_whole = f.occurrence == every && f.operation == std::string("erase");
            EXPECT_TRUE(left_whole ? same(old_versions) : same(new_versions))
                << "controller firmware " << text(read.at(IMAGE_TYPE_MCFW));
            EXPECT_EQ(family, left_whole ? "1.0.0" : "2.0.0");
            after.close(0);
            EXPECT_EQ(record(after, old_versions, "1.0.0").first, 0); // for the next case
            EXPECT_FALSE(kept()) << "the copy is gone once the partition holds it";
        }
    }
}

} // namespace
