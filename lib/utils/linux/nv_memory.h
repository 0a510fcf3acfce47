// What the host and the adapters' controllers have said in this run about
// which partitions there are, so that a report asks each question once
// rather than once per port, row and kind.  It is forgotten whenever
// something may have changed the answer (nv_forget_answers).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct qsu_device;

// One device line of "/proc/mtd".
struct mtd_listing_entry {
    std::string name;
    uint32_t number;
    uint32_t size;
    uint32_t erase_size;
};

// The devices "/proc/mtd" listed, up to its first line that is not one, or
// null when it has not been read since it was last forgotten.
const std::vector<mtd_listing_entry> *nv_remembered_mtd_listing();
void nv_remember_mtd_listing(const std::vector<mtd_listing_entry> &listing);
// After a module load or a device node made: the driver may list anew.
void nv_forget_mtd_listing();

// What a port's management controller answered about one of its partition
// types: that it has none, or its geometry and subtype.
struct mcdi_partition_answer {
    bool exists;
    uint32_t reported_type;
    uint32_t size;
    uint32_t erase_size;
    uint32_t write_size;
    uint32_t subtype;
};

// Asked through this port, as the controller may answer each port
// differently.  False when it has not been asked since it was last
// forgotten.
bool nv_remembered_mcdi_answer(const qsu_device *dev, uint32_t mcdi_type, mcdi_partition_answer *answer);
void nv_remember_mcdi_answer(const qsu_device *dev, uint32_t mcdi_type, const mcdi_partition_answer &answer);
