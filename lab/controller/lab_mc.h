// An adapter's management controller, as the driver's private ioctl
// reaches it (MCDI).  It serves the adapter's partitions by their
// controller partition types, through the same flash as the MTD devices,
// under its own rules: writes and erases only between update start and
// update finish of the same type, erases aligned to the erase size, no
// request or range that overruns.  At the finish of a controller-firmware
// update it records its verdict in the status partition.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "lab/controller/lab_mc_log.h"
#include "lab/model/lab_model.h"
#include "lab/wire/lab_wire.h"

namespace lab {

class LabRun;
class Flash;

// The first generation's boards carry no management controller.
bool has_management_controller(const Adapter &adapter);

// One command as the driver hands it over.
struct McdiCall {
    unsigned cmd = 0;
    int form = 1;                       // 1: 0xEF0C, 2: 0xEF21
    std::span<const uint8_t> payload;   // all of the envelope's payload
    size_t request_len = 0;             // `len` or `inlen`
    size_t response_room = 0;           // what the response may take
    std::string ifname;                 // the port it came through
};

struct McdiAnswer {
    int rc = 0; // 0 or an errno
    std::vector<uint8_t> response;
};

class ManagementController {
public:
    ManagementController(LabRun &lab, size_t adapter);
    ManagementController(const ManagementController &) = delete;
    ManagementController &operator=(const ManagementController &) = delete;

    McdiAnswer call(const McdiCall &call);
    // The envelopes: the response, its length and the error go back where
    // the driver puts them.
    void serve(const std::string &ifname, wire::McdiRequest &req);
    void serve(const std::string &ifname, wire::McdiRequest2 &req);

    // Updates still open when the run ends are logged, then forgotten, as
    // the controller forgets them when the host lets go of it.
    void end_run();

private:
    Adapter &adapter();
    unsigned generation();
    // The partition of a type, and its flash; a refusal (EINVAL) when the
    // adapter has none.
    size_t partition_index(uint32_t type);
    Flash &flash_of(uint32_t type);

    std::vector<uint8_t> answer(const McdiCall &call, const std::string &head, std::span<const uint8_t> req);
    std::vector<uint8_t> information(uint32_t type);
    std::vector<uint8_t> metadata(uint32_t type);
    std::vector<uint8_t> board_config();
    std::vector<uint8_t> read(const std::string &head, const McdiCall &call, std::span<const uint8_t> req);
    void write(const std::string &head, const McdiCall &call, std::span<const uint8_t> req);
    void erase(const std::string &head, std::span<const uint8_t> req);
    std::string finish(uint32_t type);
    void need_update(uint32_t type);

    LabRun &lab_;
    size_t adapter_;
    McdiLog log_;
    std::set<uint32_t> updating_; // types between update start and finish
};

} // namespace lab
