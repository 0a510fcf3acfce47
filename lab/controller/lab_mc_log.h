// The management controller's lines in the event log.  An update is
// hundreds of commands, so consecutive commands of one kind on one
// partition type make one line that grows as they come: "MCDI write
// 0x100: 4096 bytes in 18 commands".
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "lab/model/lab_events.h"

namespace lab {

class McdiLog {
public:
    explicit McdiLog(EventLog &events) : events_(events) {}

    // A command arrives: a line it starts is stamped with this time.
    void begin() { started_us_ = events_.now_us(); }
    // `head` names the command and its type: "MCDI update start 0x100".
    // A repeated command adds "(2 commands)".
    void command(const std::string &head);
    // Reads and writes: "MCDI read 0x100: 1000 bytes in 4 commands".
    void transfer(const std::string &head, uint64_t bytes);
    // Erases, while each starts where the last ended: "MCDI erase 0x100:
    // 0x0-0x1ffff (2 blocks)"; an EEPROM (erase size 1) is erased whole.
    void erase(const std::string &head, uint64_t offset, uint64_t length, uint32_t erase_size);
    // A refused command: "MCDI write 0x100: EPERM (no update in progress)".
    void failure(const std::string &head, int rc, const std::string &why);
    // The next command starts a new line.
    void end_run() { run_.reset(); }

private:
    enum class Kind { command, transfer, erase };
    struct Run {
        Kind kind;
        std::string head;
        size_t line = 0;
        unsigned commands = 0;
        uint64_t bytes = 0;
        uint64_t first = 0, end = 0;
        uint32_t erase_size = 0;
    };
    // The run this command continues (its line is still the last one), or
    // a new one.
    Run &run_for(Kind kind, const std::string &head, bool continues = true);
    std::string text(const Run &run) const;

    EventLog &events_;
    std::optional<Run> run_;
    uint64_t started_us_ = 0;
};

} // namespace lab
