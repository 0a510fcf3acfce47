// The lab's event log and virtual clock.  Events of one run are collected
// here and appended to DIR/events.log when the run ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lab {

class EventLog {
public:
    explicit EventLog(uint64_t &clock_us) : clock_us_(clock_us) {}

    // One line, stamped with the virtual time (or an earlier one, when
    // the line tells of something that started then); returns its number.
    size_t record(const std::string &text);
    size_t record_at(uint64_t stamp_us, const std::string &text);
    // Replaces the text of a line recorded earlier, keeping its stamp, so
    // that a run of like operations stays one line as it grows.
    void rewrite(size_t line, const std::string &text);
    // Lines recorded so far in this run.
    size_t count() const { return lines_.size(); }
    // Advances the clock instead of sleeping.
    void sleep(unsigned long usec);
    // Advances the clock by time a device is busy (not a sleep of the
    // product's); fractions of a microsecond are carried to the next call.
    void busy_ns(uint64_t nsec);
    // Adds the sleep summary (if anything slept) and the closing line, and
    // hands the lines over.
    std::vector<std::string> finish(const std::string &closing);

    uint64_t now_us() const { return clock_us_; }

private:
    uint64_t &clock_us_;
    std::vector<std::string> lines_;
    unsigned long sleeps_ = 0;
    uint64_t slept_us_ = 0;
    uint64_t busy_ns_carry_ = 0;
};

std::string format_seconds(uint64_t usec);

} // namespace lab
