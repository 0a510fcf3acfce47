// One lab directory opened for use: its description, fake root, emulated
// device state and the events of the current run.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "lab/controller/lab_mc.h"
#include "lab/flash/lab_run.h"
#include "lab/host/lab_fake_root.h"
#include "lab/host/lab_pci_config.h"
#include "lab/model/lab_model.h"

namespace lab {

class Lab : public LabRun {
public:
    // Writes a new lab into DIR (which may exist, but not hold a lab),
    // with a file of initial contents for every partition.
    static void create(const std::string &dir, const LabState &state);

    // Opens the lab's run (its description and flash) and rebuilds the
    // fake root from the description.
    explicit Lab(const std::string &dir);

    const std::string &root() const { return root_; }

    // The emulated file behind a canonical real path, or null.
    const EmulatedFile *emulated_file(const std::string &real_path) const;
    // The configuration space of an adapter's function; its state lasts
    // as long as this object, as a device's lasts until power-off.
    PciConfigSpace &config_space(size_t adapter, size_t port);
    // The adapter's VPD EEPROM; what is written to it is kept in lab.json.
    Eeprom &eeprom(size_t adapter);
    // The adapter's management controller, or null on a board without one.
    ManagementController *controller(size_t adapter);
    // The name a path in the fake root goes by inside the lab ("/sys/...").
    std::string lab_path(const std::string &real_path) const;

    // Saves lab.json and appends this run's events, ending with the
    // closing line, to DIR/events.log.
    void save(const std::string &closing);

private:
    std::string root_;
    std::map<std::string, EmulatedFile> emulated_;
    std::map<std::pair<size_t, size_t>, std::unique_ptr<PciConfigSpace>> config_spaces_;
    std::map<size_t, Eeprom> eeproms_;
    std::map<size_t, std::unique_ptr<ManagementController>> controllers_;
};

} // namespace lab
