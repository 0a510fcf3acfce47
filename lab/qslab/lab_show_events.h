// The event log as `qslab show` prints it: what a person reads, with the
// runs of like lines the log keeps one by one condensed into counts.
// events.log itself keeps every line.
#pragma once

#include <string>
#include <vector>

namespace lab {

// Lines "[<seconds> s] <event>" in, the same out but condensed:
// - consecutive controller queries (information, metadata and board
//   configuration commands, accepted or refused, whatever their partition
//   type) make one line of counts per command, stamped with the first:
//   "MCDI information (40 commands, 2 refused with EINVAL), board
//   configuration (42 commands)";
// - consecutive erases or writes of one partition, each starting where
//   the one before ended, make one line for the whole range:
//   "flash a1-mcfw-25: erase 0x0-0x1fffff (32 blocks)".
std::vector<std::string> condensed_events(const std::vector<std::string> &lines);

} // namespace lab
