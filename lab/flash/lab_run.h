// What every path to an open lab's adapters shares: the description, the
// run's events and fault table, the count of the product's calls, and each
// partition's flash.  The host builds on it; the management controller
// needs no more than this.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "lab/flash/lab_flash.h"
#include "lab/model/lab_events.h"
#include "lab/model/lab_faults.h"
#include "lab/model/lab_model.h"

namespace lab {

class LabRun {
public:
    // Loads DIR/lab.json and opens the partitions' files (each must be
    // there, as long as its partition).  Opening a lab starts a run: the
    // partitions' activity counts restart.
    explicit LabRun(const std::string &dir);
    LabRun(const LabRun &) = delete;
    LabRun &operator=(const LabRun &) = delete;

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

    // A partition of an adapter, by its index in the adapter's partitions.
    Flash &flash(size_t adapter, size_t partition);

protected:
    ~LabRun() = default;

private:
    std::string dir_;
    LabState state_;
    EventLog events_;
    CallCounts calls_;
    std::unique_ptr<FaultTable> faults_;
    std::map<std::pair<size_t, size_t>, std::unique_ptr<Flash>> flashes_;
};

} // namespace lab
