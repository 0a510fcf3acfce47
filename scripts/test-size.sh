#!/bin/sh
# How large the tests are against the code they test: non-blank lines of
# every file under tests/ (C++, Python, shell, expected output alike) but
# the fuzz corpora and the binary fixtures, against non-blank C++ lines
# under app/, lib/ and lab/.  The project keeps tests at a quarter to a
# third of the code.
set -eu
cd "$(dirname "$0")/.."
count() { xargs -r cat | grep -c -v '^[[:space:]]*$' || true; }
tests=$(git ls-files tests | grep -v -E '/corpus/|/fixtures/' | count)
code=$(git ls-files app lib lab | grep -E '\.(c|cc|cpp|h|hpp)$' | count)
echo "test lines $tests, code lines $code: tests are $((100 * tests / code))% of the code"
