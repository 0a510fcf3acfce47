#include "lab/host/lab.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "lab/model/lab_vpd.h"

namespace fs = std::filesystem;

namespace lab {

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

Lab::Lab(const std::string &dir) : LabRun(dir)
{
    fs::path root = fs::path(dir) / "root";
    emulated_ = build_fake_root(state(), root.string());
    root_ = fs::canonical(root).string();
    // A path in the fault table also stands for the file it resolves to,
    // whichever path the product then names it by.
    const std::vector<Fault> &entries = state().faults;
    for (size_t i = 0; i < entries.size(); ++i) {
        const std::string &target = entries[i].target;
        std::error_code ec;
        if (!target.empty() && target[0] == '/') {
            fs::path real = fs::canonical(root_ + target, ec);
            if (!ec)
                faults().add_alias(i, lab_path(real.string()));
        }
    }
}

ManagementController *Lab::controller(size_t adapter)
{
    auto &slot = controllers_[adapter];
    if (!slot && has_management_controller(state().adapters.at(adapter)))
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
        const Adapter &a = state().adapters.at(adapter);
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
        slot = std::make_unique<PciConfigSpace>(state().adapters.at(adapter), static_cast<unsigned>(port),
                                                eeprom(adapter));
    return *slot;
}

void Lab::save(const std::string &closing)
{
    for (auto &[adapter, controller] : controllers_)
        if (controller)
            controller->end_run();
    for (const auto &[key, space] : config_spaces_) {
        const std::string vpd_of = "VPD of " + state().adapters[key.first].ports[key.second].pci_addr;
        if (unsigned reads = space->vpd_reads()) {
            unsigned unlocked = space->vpd_reads_unlocked();
            events().record(vpd_of + " read through configuration space: " + std::to_string(reads) +
                           " reads of 4 bytes, " +
                           (unlocked ? std::to_string(unlocked) + " of them without the exclusive lock"
                                     : "all under the exclusive lock"));
        }
        if (unsigned writes = space->other_writes())
            events().record("configuration space of " + state().adapters[key.first].ports[key.second].pci_addr +
                           ": " + std::to_string(writes) + " writes outside the VPD registers");
        if (unsigned writes = space->vpd_writes())
            events().record(vpd_of + " written through configuration space: " + std::to_string(writes) +
                           " writes of 4 bytes, " +
                           (state().adapters[key.first].vpd_writable ? "stored"
                                                                    : "ignored by the write-protected EEPROM"));
    }
    // Reads are many and small: one line per partition sums them up.
    for (const Adapter &a : state().adapters)
        for (const Partition &p : a.partitions)
            if (p.last_run.reads)
                events().record("flash " + p.id + ": read " + std::to_string(p.last_run.bytes_read) +
                               " bytes in " + std::to_string(p.last_run.reads) +
                               (p.last_run.reads == 1 ? " read" : " reads"));
    // The EEPROM keeps what was written; erased bytes at its end need no
    // keeping.
    for (auto &[adapter, eeprom] : eeproms_)
        if (eeprom.written) {
            std::vector<uint8_t> bytes = eeprom.bytes;
            while (!bytes.empty() && bytes.back() == 0xFF)
                bytes.pop_back();
            state().adapters[adapter].eeprom = bytes;
        }
    save_state(state(), lab_json_path(dir()));
    std::ofstream log(events_log_path(dir()), std::ios::app);
    for (const std::string &line : events().finish(closing))
        log << line << '\n';
    if (!log)
        throw std::runtime_error("cannot write " + events_log_path(dir()));
}

} // namespace lab
