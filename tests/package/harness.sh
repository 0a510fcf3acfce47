# Sourced by the package tests: strict mode, the source tree as the working
# directory, a scratch directory, FAIL lines and the count that ends a test.
set -euo pipefail
launcher=${QS_TEST_LAUNCHER:-} # the emulator of a cross build
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
checks=0 failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
summary() { echo "$((checks - failures)) passed, $failures failed"; [ $failures -eq 0 ]; }

# qsupdate's long options as its option table lists them, each followed by "no" or "required" (its argument).
option_table() { sed -nE 's/^ *\{"([a-z0-9-]+)", (no|required)_argument.*/--\1 \2/p' app/qsupdate/qsupdate_main.cpp; }
# qslab's usage (QSLAB), one line per usage line, its indented continuations joined to it.
qslab_usage() {
    $launcher "$1" help | awk '/^  qslab / { if (line) print line; line = $0; next }
                              /^ +[^ ]/ && line { line = line $0; next }
                              { if (line) print line; line = "" }
                              END { if (line) print line }'
}
# The options of COMMAND in that usage (in $usage), one a line.
usage_options() {
    grep -E "^ *qslab $1 " <<<"$usage" | grep -oE -- '--?[a-z][a-z-]*' | grep -vx -- '--' | LC_ALL=C sort -u || true
}
