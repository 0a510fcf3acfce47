// The `qslab` commands.  Each takes the arguments after its own name and
// returns the process exit status; failures of the lab itself throw
// std::runtime_error (UsageError for a bad command line).
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace lab {

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Lab;

int command_create(const std::vector<std::string> &args);
// Runs qsupdate against the lab: its output and status are qsupdate's own.
int command_run(const std::vector<std::string> &args);
// What `run` does before qsupdate starts: the lab's events go to its
// events.log as they happen, and a process that ends before the run does
// (exit, or an abort) saves the lab with a closing line that says so.
void watch_run(Lab &lab);
int command_show(const std::vector<std::string> &args);
int command_image(const std::vector<std::string> &args);
// Reads a partition's contents out, or replaces them.
int command_flash(const std::vector<std::string> &args);
// Adds to, lists or clears the fault table.
int command_fault(const std::vector<std::string> &args);
// Makes a new lab from what a host (or another lab's root) shows.
int command_capture(const std::vector<std::string> &args);

} // namespace lab
