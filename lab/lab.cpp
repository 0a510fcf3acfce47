#include "lab/lab.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

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
        slot = std::make_unique<PciConfigSpace>(state_.adapters.at(adapter), static_cast<unsigned>(port));
    return *slot;
}

void Lab::save(const std::string &closing)
{
    for (const auto &[key, space] : config_spaces_)
        if (space->vpd_reads())
            events_.record("VPD of " + state_.adapters[key.first].ports[key.second].pci_addr +
                           " read through configuration space: " +
                           std::to_string(space->vpd_reads()) + " reads of 4 bytes");
    save_state(state_, lab_json_path(dir_));
    std::ofstream log(events_log_path(dir_), std::ios::app);
    for (const std::string &line : events_.finish(closing))
        log << line << '\n';
    if (!log)
        throw std::runtime_error("cannot write " + events_log_path(dir_));
}

} // namespace lab
