// The registry as the reports and the update procedure rely on it, written
// out independently of the family modules, for checking them.
#pragma once

#include <vector>

struct ExpectedRow {
    unsigned type;
    unsigned subtype;
    unsigned flags;
    const char *name;
};

// All 81 rows in walk order.
const std::vector<ExpectedRow> &expected_registry();
