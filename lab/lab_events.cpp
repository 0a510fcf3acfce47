#include "lab/lab_events.h"

#include <cstdio>

namespace lab {

std::string format_seconds(uint64_t usec)
{
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%06llu s", static_cast<unsigned long long>(usec / 1000000),
                  static_cast<unsigned long long>(usec % 1000000));
    return text;
}

size_t EventLog::record(const std::string &text)
{
    return record_at(clock_us_, text);
}

size_t EventLog::record_at(uint64_t stamp_us, const std::string &text)
{
    // Appended piece by piece: GCC 12 at -O3 misreads "literal" + string.
    std::string line = "[";
    line += format_seconds(stamp_us);
    line += "] ";
    line += text;
    lines_.push_back(std::move(line));
    return lines_.size() - 1;
}

void EventLog::rewrite(size_t line, const std::string &text)
{
    std::string &old = lines_.at(line);
    old.replace(old.find("] ") + 2, std::string::npos, text);
}

void EventLog::sleep(unsigned long usec)
{
    // Polling loops sleep thousands of times; they are summed up, not
    // logged one by one.
    clock_us_ += usec;
    slept_us_ += usec;
    ++sleeps_;
}

void EventLog::busy_ns(uint64_t nsec)
{
    busy_ns_carry_ += nsec;
    clock_us_ += busy_ns_carry_ / 1000;
    busy_ns_carry_ %= 1000;
}

std::vector<std::string> EventLog::finish(const std::string &closing)
{
    if (sleeps_)
        record("slept " + std::to_string(sleeps_) + " times, " + format_seconds(slept_us_) +
               " in all");
    record(closing);
    sleeps_ = 0;
    slept_us_ = 0;
    std::vector<std::string> lines;
    lines.swap(lines_);
    return lines;
}

} // namespace lab
