# Sourced by the package tests: strict mode, the source tree as working directory, a scratch directory, a summary.
set -euo pipefail
launcher=${QS_TEST_LAUNCHER:-} # the emulator of a cross build
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
checks=0 failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
summary() { echo "$((checks - failures)) passed, $failures failed"; [ $failures -eq 0 ]; }

# qsupdate's long options as its option table lists them, each followed by "no" or "required" (its argument).
option_table() { sed -nE 's/^ *\{"([a-z0-9-]+)", (no|required)_argument.*/--\1 \2/p' app/qsupdate/qsupdate_main.cpp; }
# The options qslab's usage (in $usage) gives COMMAND, on its continuation lines too, one a line.
usage_options() {
    awk -v c="$1" '/^  qslab / { on = ($2 == c) } /^$/ { on = 0 } on' <<<"$usage" | grep -oE -- '--?[a-z][a-z-]*' |
        grep -vx -- '--' | LC_ALL=C sort -u || true
}
