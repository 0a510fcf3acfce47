#include "lab/model/lab_events.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

namespace lab {

std::string format_seconds(uint64_t usec)
{
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%06llu s", static_cast<unsigned long long>(usec / 1000000),
                  static_cast<unsigned long long>(usec % 1000000));
    return text;
}

EventLog::~EventLog()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void EventLog::write_through(const std::string &path)
{
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    off_t end = fd_ < 0 ? -1 : ::lseek(fd_, 0, SEEK_END);
    if (end < 0)
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    end_ = static_cast<uint64_t>(end);
    starts_.clear();
    write_from(0);
}

void EventLog::write_from(size_t first)
{
    if (fd_ < 0)
        return;
    starts_.resize(first);
    std::string text;
    for (size_t i = first; i < lines_.size(); ++i) {
        starts_.push_back(end_ + text.size());
        text += lines_[i];
        text += '\n';
    }
    if (::pwrite(fd_, text.data(), text.size(), static_cast<off_t>(end_)) != static_cast<ssize_t>(text.size()))
        write_failed_ = true;
    end_ += text.size();
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
    write_from(lines_.size() - 1);
    return lines_.size() - 1;
}

void EventLog::rewrite(size_t line, const std::string &text)
{
    std::string &old = lines_.at(line);
    old.replace(old.find("] ") + 2, std::string::npos, text);
    if (fd_ >= 0) {
        // The line may be shorter than it was: what followed it goes.
        end_ = starts_.at(line);
        if (::ftruncate(fd_, static_cast<off_t>(end_)) != 0)
            write_failed_ = true;
        write_from(line);
    }
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
    if (fd_ < 0)
        return lines;
    ::close(fd_);
    fd_ = -1;
    starts_.clear();
    if (write_failed_)
        throw std::runtime_error("cannot write the event log");
    return {};
}

} // namespace lab
