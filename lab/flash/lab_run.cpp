#include "lab/flash/lab_run.h"

namespace lab {

LabRun::LabRun(const std::string &dir)
    : dir_(dir), state_(load_state(lab_json_path(dir))), events_(state_.clock_us)
{
    faults_ = std::make_unique<FaultTable>(state_.faults, events_);
    for (size_t a = 0; a < state_.adapters.size(); ++a)
        for (size_t i = 0; i < state_.adapters[a].partitions.size(); ++i) {
            Partition &p = state_.adapters[a].partitions[i];
            p.last_run = {};
            flashes_[{a, i}] = std::make_unique<Flash>(partition_file(dir, p), p, events_, *faults_);
        }
}

Flash &LabRun::flash(size_t adapter, size_t partition)
{
    return *flashes_.at({adapter, partition});
}

} // namespace lab
