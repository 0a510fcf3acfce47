// One lab directory opened for use: its description, fake root, emulated
// device state and the events of the current run.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "lab/model/lab_events.h"
#include "lab/host/lab_fake_root.h"
#include "lab/model/lab_faults.h"
#include "lab/flash/lab_flash.h"
#include "lab/controller/lab_mc.h"
#include "lab/model/lab_model.h"
#include "lab/host/lab_pci_config.h"

namespace lab {

class Lab {
public:
    // Writes a new lab into DIR (which may exist, but not hold a lab),
    // with a file of initial contents for every partition.
    static void create(const std::string &dir, const LabState &state);

    // Loads DIR/lab.json, rebuilds the fake root from it and opens the
    // partitions' files (each must be there, as long as its partition).
    // Opening a lab starts a run: the partitions' activity counts restart.
    explicit Lab(const std::string &dir);
    Lab(const Lab &) = delete;
    Lab &operator=(const Lab &) = delete;

    LabState &state() { return state_; }
    EventLog &events() { return events_; }
    FaultTable &faults() { return *faults_; }
    // What the product asked of the host in this run, for `qslab run`'s
    // closing count: opens and ioctls through the platform, commands to
    // the management controllers.
    struct CallCounts {
        unsigned long opens = 0, ioctls = 0, mcdi_commands = 0;
    };
    CallCounts &calls() { return calls_; }
    const std::string &dir() const { return dir_; }
    const std::string &root() const { return root_; }

    // The emulated file behind a canonical real path, or null.
    const EmulatedFile *emulated_file(const std::string &real_path) const;
    // The configuration space of an adapter's function; its state lasts
    // as long as this object, as a device's lasts until power-off.
    PciConfigSpace &config_space(size_t adapter, size_t port);
    // The adapter's VPD EEPROM; what is written to it is kept in lab.json.
    Eeprom &eeprom(size_t adapter);
    // A partition of an adapter, by its index in the adapter's partitions.
    Flash &flash(size_t adapter, size_t partition);
    // The adapter's management controller, or null on a board without one.
    ManagementController *controller(size_t adapter);
    // The name a path in the fake root goes by inside the lab ("/sys/...").
    std::string lab_path(const std::string &real_path) const;

    // Saves lab.json and appends this run's events, ending with the
    // closing line, to DIR/events.log.
    void save(const std::string &closing);

private:
    std::string dir_;
    std::string root_;
    LabState state_;
    EventLog events_;
    CallCounts calls_;
    std::unique_ptr<FaultTable> faults_;
    std::map<std::string, EmulatedFile> emulated_;
    std::map<std::pair<size_t, size_t>, std::unique_ptr<PciConfigSpace>> config_spaces_;
    std::map<size_t, Eeprom> eeproms_;
    std::map<std::pair<size_t, size_t>, std::unique_ptr<Flash>> flashes_;
    std::map<size_t, std::unique_ptr<ManagementController>> controllers_;
};

std::string lab_json_path(const std::string &dir);
std::string events_log_path(const std::string &dir);

} // namespace lab
