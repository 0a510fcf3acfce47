// Runs qsupdate_main against a given platform and collects what a user
// would see: standard output, standard error, exit status.
#pragma once

#include <string>
#include <vector>

class Platform;

struct RunResult {
    int status = -1; // exit status, or 128 + signal number
    std::string out, err;
};

// In a child process with no input, so that nothing qsupdate does to its
// streams or its process reaches the test; args exclude "qsupdate".
RunResult run_qsupdate(Platform &platform, const std::vector<std::string> &args);
// In this process, so that a test can see what reaches its stand-ins.
RunResult run_qsupdate_here(Platform &platform, const std::vector<std::string> &args);
