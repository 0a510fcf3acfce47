#include "lab/controller/lab_mc_log.h"

#include <cstdio>

#include "lab/model/lab_faults.h"

namespace lab {

namespace {

std::string counted(uint64_t n, const char *one, const char *many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

} // namespace

McdiLog::Run &McdiLog::run_for(Kind kind, const std::string &head, bool continues)
{
    bool last = run_ && events_.count() == run_->line + 1;
    if (!last || !continues || run_->kind != kind || run_->head != head) {
        run_ = Run{kind, head};
        run_->line = events_.record_at(started_us_, head);
    }
    return *run_;
}

std::string McdiLog::text(const Run &run) const
{
    switch (run.kind) {
    case Kind::transfer:
        return run.head + ": " + counted(run.bytes, "byte", "bytes") + " in " +
               counted(run.commands, "command", "commands");
    case Kind::erase: {
        char range[48];
        std::snprintf(range, sizeof range, "0x%llx-0x%llx", static_cast<unsigned long long>(run.first),
                      static_cast<unsigned long long>(run.end - 1));
        return run.head + ": " + range + " (" +
               (run.erase_size == 1 ? "whole EEPROM"
                                    : counted((run.end - run.first) / run.erase_size, "block", "blocks")) +
               ")";
    }
    default:
        return run.commands == 1 ? run.head : run.head + " (" + std::to_string(run.commands) + " commands)";
    }
}

void McdiLog::command(const std::string &head)
{
    Run &run = run_for(Kind::command, head);
    ++run.commands;
    events_.rewrite(run.line, text(run));
}

void McdiLog::transfer(const std::string &head, uint64_t bytes)
{
    Run &run = run_for(Kind::transfer, head);
    ++run.commands;
    run.bytes += bytes;
    events_.rewrite(run.line, text(run));
}

void McdiLog::erase(const std::string &head, uint64_t offset, uint64_t length, uint32_t erase_size)
{
    Run &run = run_for(Kind::erase, head, run_ && run_->end == offset);
    if (run.commands++ == 0) {
        run.first = offset;
        run.erase_size = erase_size;
    }
    run.end = offset + length;
    events_.rewrite(run.line, text(run));
}

void McdiLog::failure(const std::string &head, int rc, const std::string &why)
{
    command(head + ": " + errno_name(rc) + " (" + why + ")");
}

} // namespace lab
