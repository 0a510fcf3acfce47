// Runs qsupdate_main in a child process against a given platform, and
// collects what a user would see: standard output, standard error, status.
#pragma once

#include <string>
#include <vector>

class Platform;

struct RunResult {
    int status = -1; // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// args exclude the program name, which is "qsupdate".
RunResult run_qsupdate(Platform &platform, const std::vector<std::string> &args,
                       const std::string &input = "");
