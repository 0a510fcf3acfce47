// Injected faults: one table in lab.json serves every emulated file and
// device.  An entry names a target (a path, an interface, a flash partition
// by its id, or "*" for any), an operation, optionally an ioctl request or
// driver command, which occurrence fails (or every one), and either the
// errno it fails with or, for writes and controller answers, how many bytes
// get through before it is cut short.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace lab {

class EventLog;

struct Fault {
    std::string target;     // "/sys/...", "/dev/...", an interface name, a partition id, or "*"
    // open, read, write, erase, ioctl, lock (flock), command, run (a shell
    // command) or mcdi (a management controller command, failed in its answer)
    std::string operation;
    std::string request;    // ioctl request, driver or MCDI command as written; "" for any
    unsigned occurrence = 0; // 1 for the first matching operation of a run; 0 for every one
    int error = 0;          // errno of the failure
    std::optional<size_t> write_cut_after; // writes only: bytes accepted instead of failing
    // With write_cut_after: once the cut write is on the flash, the host
    // loses power and the run ends there.
    bool power_cut = false;
    // Flash writes only: the write reports success while the flash does
    // not take it (nothing at all, or one byte that keeps its old value).
    enum class Silent { none, drop, stuck_byte } silent = Silent::none;
    // MCDI commands only: the controller carries the command out but its
    // answer holds only this many bytes, as an older firmware's does.
    std::optional<size_t> answer_cut_after = std::nullopt;
};

// What the fault does to the operation it strikes: "fails with EIO",
// "cut short after 4 bytes", ...; in the past tense once `done`.
std::string fault_effect(const Fault &fault, bool done = false);

// A power cut: what is on the flash stays, everything else of the run ends
// at once, as on a host that lost power.
[[noreturn]] void lose_power(EventLog &events);
// What else the power takes: the host's platform, while it is installed,
// drops the files it has not flushed to disk.  An empty hook clears it.
void set_power_loss_hook(std::function<void()> hook);

// Reads and writes the "faults" array; throws std::runtime_error on a bad entry.
std::vector<Fault> faults_from_json(const nlohmann::json &j);
nlohmann::json faults_to_json(const std::vector<Fault> &faults);

// "EIO" for 5, or the number as text for errno values the lab has no name for.
std::string errno_name(int error);

// An ethtool command as a request of its own: a fault naming it
// ("ETHTOOL_RESET") strikes that command only, while one naming
// SIOCETHTOOL strikes every ethtool command.
constexpr unsigned long ethtool_request(uint32_t cmd)
{
    return (0x8946ul << 16) | (cmd & 0xFFFF);
}

// One operation the product makes: the names its object goes by (a path as
// named and as resolved, or an interface name), and its request if any.
struct FaultSite {
    std::vector<std::string> targets;
    const char *operation;
    std::optional<unsigned long> request;
};

// One operation of a run as the fault table saw it: what it was made on,
// and its place among the run's operations of its kind, so that a fault
// on "*" with that operation and occurrence strikes it and nothing else.
struct TracedOperation {
    std::string target; // the first name its object goes by; "" for a socket
    std::string operation;
    std::optional<unsigned long> request;
    unsigned occurrence = 0; // from 1
};

// The faults of one run: counts operations per entry and says which ones
// fail.  Injected faults are recorded in the event log.
class FaultTable {
public:
    FaultTable(const std::vector<Fault> &faults, EventLog &events);

    // From now on, every operation that a fault could strike is kept, in
    // the order the run made them.
    void start_trace() { tracing_ = true; }
    const std::vector<TracedOperation> &trace() const { return trace_; }

    // One more entry, for a lab already open (its target matched as named).
    void add(const Fault &fault);
    // Paths named in targets are also matched in their resolved form.
    void add_alias(size_t entry, const std::string &resolved);
    // The fault striking this operation, or null.  Every entry the
    // operation matches counts it.
    const Fault *strike(const FaultSite &site);

private:
    struct Entry {
        Fault fault;
        std::vector<std::string> names;
        std::optional<unsigned long> request;
        unsigned seen = 0;
    };
    std::vector<Entry> entries_;
    EventLog &events_;
    bool tracing_ = false;
    std::vector<TracedOperation> trace_;
    std::map<std::string, unsigned> traced_per_operation_;
};

} // namespace lab
