#include "lab/host/lab.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "lab/model/lab_vpd.h"

namespace fs = std::filesystem;

namespace lab {

std::string lab_json_path(const std::string &dir)
{
    return (fs::path(dir) / "lab.json").string();
}

std::string events_log_path(const std::string &dir)
{
    return (fs::path(dir) / "events.log").string();
}

void Lab::create(const std::string &dir, const LabState &state)
{
    fs::create_directories(dir);
    if (fs::exists(lab_json_path(dir)))
        throw std::runtime_error(dir + " already holds a lab");
    fs::create_directories(fs::path(dir) / "flash");
    for (const Adapter &a : state.adapters)
        for (const Partition &p : a.partitions)
            Flash::create_file(partition_file(dir, p), p);
    save_state(state, lab_json_path(dir));
    std::ofstream(events_log_path(dir), std::ios::trunc);
    build_fake_root(state, (fs::path(dir) / "root").string());
}

Lab::Lab(const std::string &dir)
    : dir_(dir), state_(load_state(lab_json_path(dir))), events_(state_.clock_us)
{
    fs::path root = fs::path(dir) / "root";
    emulated_ = build_fake_root(state_, root.string());
    root_ = fs::canonical(root).string();
    // A path in the fault table also stands for the file it resolves to,
    // whichever path the product then names it by.
    faults_ = std::make_unique<FaultTable>(state_.faults, events_);
    for (size_t i = 0; i < state_.faults.size(); ++i) {
        const std::string &target = state_.faults[i].target;
        std::error_code ec;
        if (!target.empty() && target[0] == '/') {
            fs::path real = fs::canonical(root_ + target, ec);
            if (!ec)
                faults_->add_alias(i, lab_path(real.string()));
        }
    }
    for (size_t a = 0; a < state_.adapters.size(); ++a)
        for (size_t i = 0; i < state_.adapters[a].partitions.size(); ++i) {
            Partition &p = state_.adapters[a].partitions[i];
            p.last_run = {};
            flashes_[{a, i}] = std::make_unique<Flash>(partition_file(dir, p), p, events_, *faults_);
        }
}

Flash &Lab::flash(size_t adapter, size_t partition)
{
    return *flashes_.at({adapter, partition});
}

ManagementController *Lab::controller(size_t adapter)
{
    auto &slot = controllers_[adapter];
    if (!slot && has_management_controller(state_.adapters.at(adapter)))
        slot = std::make_unique<ManagementController>(*this, adapter);
    return slot.get();
}

std::string Lab::lab_path(const std::string &real_path) const
{
    if (real_path.compare(0, root_.size() + 1, root_ + "/") == 0)
        return real_path.substr(root_.size());
    return real_path;
}

Eeprom &Lab::eeprom(size_t adapter)
{
    auto it = eeproms_.find(adapter);
    if (it == eeproms_.end()) {
        const Adapter &a = state_.adapters.at(adapter);
        it = eeproms_.emplace(adapter, Eeprom{eeprom_contents(a), a.vpd_writable, false}).first;
    }
    return it->second;
}

const EmulatedFile *Lab::emulated_file(const std::string &real_path) const
{
    auto it = emulated_.find(real_path);
    return it == emulated_.end() ? nullptr : &it->second;
}

PciConfigSpace &Lab::config_space(size_t adapter, size_t port)
{
    auto &slot = config_spaces_[{adapter, port}];
    if (!slot)
        slot = std::make_unique<PciConfigSpace>(state_.adapters.at(adapter), static_cast<unsigned>(port),
                                                eeprom(adapter));
    return *slot;
}

void Lab::save(const std::string &closing)
{
    for (auto &[adapter, controller] : controllers_)
        if (controller)
            controller->end_run();
    for (const auto &[key, space] : config_spaces_) {
        const std::string vpd_of = "VPD of " + state_.adapters[key.first].ports[key.second].pci_addr;
        if (unsigned reads = space->vpd_reads()) {
            unsigned unlocked = space->vpd_reads_unlocked();
            events_.record(vpd_of + " read through configuration space: " + std::to_string(reads) +
                           " reads of 4 bytes, " +
                           (unlocked ? std::to_string(unlocked) + " of them without the exclusive lock"
                                     : "all under the exclusive lock"));
        }
        if (unsigned writes = space->other_writes())
            events_.record("configuration space of " + state_.adapters[key.first].ports[key.second].pci_addr +
                           ": " + std::to_string(writes) + " writes outside the VPD registers");
        if (unsigned writes = space->vpd_writes())
            events_.record(vpd_of + " written through configuration space: " + std::to_string(writes) +
                           " writes of 4 bytes, " +
                           (state_.adapters[key.first].vpd_writable ? "stored"
                                                                    : "ignored by the write-protected EEPROM"));
    }
    // Reads are many and small: one line per partition sums them up.
    for (const Adapter &a : state_.adapters)
        for (const Partition &p : a.partitions)
            if (p.last_run.reads)
                events_.record("flash " + p.id + ": read " + std::to_string(p.last_run.bytes_read) +
                               " bytes in " + std::to_string(p.last_run.reads) +
                               (p.last_run.reads == 1 ? " read" : " reads"));
    // The EEPROM keeps what was written; erased bytes at its end need no
    // keeping.
    for (auto &[adapter, eeprom] : eeproms_)
        if (eeprom.written) {
            std::vector<uint8_t> bytes = eeprom.bytes;
            while (!bytes.empty() && bytes.back() == 0xFF)
                bytes.pop_back();
            state_.adapters[adapter].eeprom = bytes;
        }
    save_state(state_, lab_json_path(dir_));
    std::ofstream log(events_log_path(dir_), std::ios::app);
    for (const std::string &line : events_.finish(closing))
        log << line << '\n';
    if (!log)
        throw std::runtime_error("cannot write " + events_log_path(dir_));
}

} // namespace lab
