// The shell commands qsupdate runs, answered from the lab's state.
#pragma once

#include <string>

#include "lab/host/lab.h"

namespace lab {

// Returns a wait status as system(3) would, and what the command printed.
// Commands the lab does not know fail as a missing command (127) and are
// logged.
int run_shell_command(Lab &lab, const std::string &command, std::string &output);

} // namespace lab
