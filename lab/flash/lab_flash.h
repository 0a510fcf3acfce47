// One flash partition of an adapter, kept in its file DIR/flash/<id>.bin.
// The file is the single truth: every path to the partition (the MTD
// character and block devices of each port, the management controller)
// goes through this object, and every change is written through to the
// file at once, so that it survives a process that ends by exit().
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <sys/types.h>

#include "lab/model/lab_events.h"
#include "lab/model/lab_faults.h"
#include "lab/model/lab_model.h"

namespace lab {

class Flash {
public:
    // Opens the partition's file; throws std::runtime_error naming the file
    // when it is missing or not as long as the partition.
    Flash(const std::string &path, Partition &partition, EventLog &events, FaultTable &faults);
    ~Flash();
    Flash(const Flash &) = delete;
    Flash &operator=(const Flash &) = delete;

    // Writes a new partition file: the initial contents, then erased bytes.
    static void create_file(const std::string &path, const Partition &partition);

    const Partition &partition() const { return partition_; }

    // Every operation names the partition to the fault table by its id and
    // by the names of the path it came through (`via`, e.g. "/dev/mtd3").
    // A range that does not lie inside the partition fails with EINVAL.
    // The results are counts of bytes, or -1 with errno.  Erases and
    // writes are logged one by one unless `logged` is false (the management
    // controller sums its commands up itself).

    ssize_t read(uint64_t offset, std::span<uint8_t> out, const std::vector<std::string> &via = {});
    // Programs bytes: NOR flash can only clear bits, so the flash keeps the
    // AND of old and new; an EEPROM (erase size 1) takes the new bytes.
    ssize_t program(uint64_t offset, std::span<const uint8_t> data, const std::vector<std::string> &via = {},
                    bool logged = true);
    // Sets whole erase blocks to 0xFF; the range must be aligned to them.
    int erase(uint64_t offset, uint64_t length, const std::vector<std::string> &via = {}, bool logged = true);
    // The contents as the adapter's own controller sees them: no time, no
    // fault, no count.  False when the range is not inside the partition.
    bool peek(uint64_t offset, std::span<uint8_t> out) const;
    // Replaces bytes whatever they held, as a block device over the flash
    // does by rewriting each erase block it touches.
    ssize_t write_in_place(uint64_t offset, std::span<const uint8_t> data,
                           const std::vector<std::string> &via = {});

private:
    bool in_range(uint64_t offset, uint64_t length) const;
    const Fault *strike(const char *operation, const std::vector<std::string> &via);
    ssize_t write(uint64_t offset, std::span<const uint8_t> data, const std::vector<std::string> &via,
                  bool in_place, bool logged);
    bool read_file(uint64_t offset, std::span<uint8_t> out) const;
    bool write_file(uint64_t offset, std::span<const uint8_t> data) const;
    void log(const char *what, uint64_t offset, uint64_t length, const std::string &amount);

    std::string path_;
    Partition &partition_;
    EventLog &events_;
    FaultTable &faults_;
    int fd_ = -1;
    // The erase block a block device last rewrote: it stays in the block
    // device's cache, so writes that go on inside it cost no new erase.
    std::optional<uint64_t> cached_block_;
};

} // namespace lab
