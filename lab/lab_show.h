// `qslab show`: the lab as a person reads it.
#pragma once

#include <cstdio>
#include <string>

namespace lab {

void show_lab(const std::string &dir, FILE *out);

} // namespace lab
