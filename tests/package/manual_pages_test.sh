#!/usr/bin/env bash
# The manual pages render without a warning, and document every option
# qsupdate accepts (its option table and its --help) and every qslab
# command, so that a new option or command without documentation fails.
#   manual_pages_test.sh QSLAB
set -euo pipefail
qslab=$1
launcher=${QS_TEST_LAUNCHER:-} # the emulator of a cross build
cd "$(dirname "$0")/../.."
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for page in man/qsupdate.8 man/qslab.1; do
    warnings=$(groff -man -ww -z "$page" 2>&1) || fail "groff failed on $page"
    [ -z "$warnings" ] || fail "groff warns on $page: $warnings"
done

documents() { grep -qF -- "$2" "$1"; }
escaped() { sed 's/-/\\-/g' <<<"$1"; } # in the page's source a long option is written \-\-name

lab=$(mktemp -d) && trap 'rm -rf "$lab"' EXIT
$launcher "$qslab" create "$lab/lab" >/dev/null
help=$($launcher "$qslab" run "$lab/lab" -- --help)
mapfile -t from_help < <(grep -oE -- '(^|[ ,])--?[a-zA-Z][a-z-]*' <<<"$help" | sed 's/^[ ,]*//' | sort -u)
mapfile -t from_table < <(sed -nE 's/^ *\{"([a-z0-9-]+)", (no|required)_argument.*/--\1/p' app/qsupdate/qsupdate_main.cpp)
[ ${#from_help[@]} -ge 20 ] || fail "found only ${#from_help[@]} options in qsupdate --help"
[ ${#from_table[@]} -ge 29 ] || fail "found only ${#from_table[@]} options in the option table"
for option in "${from_help[@]}" "${from_table[@]}"; do
    documents man/qsupdate.8 "$(escaped "$option")" || fail "qsupdate.8 does not document $option"
done

# A command's usage may go on over indented lines of its own.
usage=$($launcher "$qslab" help | awk '/^  qslab / { if (line) print line; line = $0; next }
                               /^ +[^ ]/ && line { line = line $0; next }
                               { if (line) print line; line = "" }
                               END { if (line) print line }')
mapfile -t commands < <(sed -nE 's/^ *qslab ([a-z]+).*/\1/p' <<<"$usage" | sort -u)
[ ${#commands[@]} -ge 6 ] || fail "found only ${#commands[@]} commands in qslab's usage"
for command in "${commands[@]}"; do
    documents man/qslab.1 ".B $command" || fail "qslab.1 does not document the command $command"
    options=$(grep -E "^ *qslab $command " <<<"$usage" | grep -oE -- '--?[a-z][a-z-]*' | grep -vx -- '--' || true)
    for option in $options; do
        documents man/qslab.1 "$(escaped "$option")" || fail "qslab.1 does not document $option of $command"
    done
done
for word in /var/lib/qsutils /proc/mtd /dev/qsc_control "EXIT STATUS" EXAMPLES; do
    documents man/qsupdate.8 "$word" || fail "qsupdate.8 does not mention $word"
done

echo "$(( ${#from_help[@]} + ${#from_table[@]} + ${#commands[@]} )) checked, $failures failed"
[ $failures -eq 0 ]
