// The lab's event log and virtual clock.  Events of one run are collected
// here and appended to DIR/events.log when the run ends, or, for a run
// that may end the process before that, written there as they happen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lab {

class EventLog {
public:
    explicit EventLog(uint64_t &clock_us) : clock_us_(clock_us) {}
    ~EventLog();
    EventLog(const EventLog &) = delete;
    EventLog &operator=(const EventLog &) = delete;

    // Appends the lines so far to the file and every later line (and
    // rewrite) as it happens, so that the file holds the run even when the
    // process ends without finishing it.  Throws when the file cannot be
    // opened.
    void write_through(const std::string &path);

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
    // hands over the lines not yet written through.  Throws when a line
    // could not be written through.
    std::vector<std::string> finish(const std::string &closing);

    uint64_t now_us() const { return clock_us_; }

private:
    // Writes lines_ from `first` on at the file's end, which is where line
    // `first` starts.
    void write_from(size_t first);

    uint64_t &clock_us_;
    std::vector<std::string> lines_;
    int fd_ = -1;                  // the file written through, or none
    std::vector<uint64_t> starts_; // where each line starts in it
    uint64_t end_ = 0;             // where the next line goes
    bool write_failed_ = false;
    unsigned long sleeps_ = 0;
    uint64_t slept_us_ = 0;
    uint64_t busy_ns_carry_ = 0;
};

std::string format_seconds(uint64_t usec);

} // namespace lab
