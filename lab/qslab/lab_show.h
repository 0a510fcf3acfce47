// `qslab show`: the lab as a person reads it.
#pragma once

#include <cstdio>
#include <string>

#include "lab/model/lab_faults.h"

namespace lab {

void show_lab(const std::string &dir, FILE *out);
// "write of /dev/mtd0, occurrence 2: fails with EIO"
std::string fault_text(const Fault &fault);

} // namespace lab
