#!/bin/sh
# How large the tests are against the code they test: non-blank lines of
# every text file under tests/ (C++, Python, shell, CMake, expected output
# alike) but the fuzz corpora, against non-blank C++ lines under app/, lib/
# and lab/.  Binary fixtures do not count.  The project keeps tests at a
# quarter to a third of the code.
set -eu
cd "$(dirname "$0")/.."
count() { xargs -r cat | grep -c -v '^[[:space:]]*$' || true; }
tests=$(git ls-files tests | grep -v '/corpus/' | xargs -r grep -I -l '' | count)
code=$(git ls-files app lib lab | grep -E '\.(c|cc|cpp|h|hpp)$' | count)
awk -v t="$tests" -v c="$code" 'BEGIN { printf "test lines %d, code lines %d: tests are %.1f%% of the code\n", t, c, 100 * t / c }'
