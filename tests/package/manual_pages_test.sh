#!/usr/bin/env bash
# The manual pages render without a warning, and document every option qsupdate accepts (its option table and its
# --help) and every qslab command, so that a new option or command without documentation fails.
#   manual_pages_test.sh QSLAB
qslab=$1
source "$(dirname "$0")/harness.sh"

for page in man/qsupdate.8 man/qslab.1; do
    warnings=$(groff -man -ww -z "$page" 2>&1) || fail "groff failed on $page"
    [ -z "$warnings" ] || fail "groff warns on $page: $warnings"
done

documents() { grep -qF -- "$2" "$1"; }
escaped() { sed 's/-/\\-/g' <<<"$1"; } # in the page's source a long option is written \-\-name

$launcher "$qslab" create "$work/lab" >/dev/null
help=$($launcher "$qslab" run "$work/lab" -- --help)
mapfile -t from_help < <(grep -oE -- '(^|[ ,])--?[a-zA-Z][a-z-]*' <<<"$help" | sed 's/^[ ,]*//' | sort -u)
mapfile -t from_table < <(option_table | cut -d' ' -f1)
[ ${#from_help[@]} -ge 20 ] || fail "found only ${#from_help[@]} options in qsupdate --help"
[ ${#from_table[@]} -ge 29 ] || fail "found only ${#from_table[@]} options in the option table"
for option in "${from_help[@]}" "${from_table[@]}"; do
    documents man/qsupdate.8 "$(escaped "$option")" || fail "qsupdate.8 does not document $option"
done

usage=$($launcher "$qslab" help)
mapfile -t commands < <(sed -nE 's/^ *qslab ([a-z]+).*/\1/p' <<<"$usage" | sort -u)
[ ${#commands[@]} -ge 6 ] || fail "found only ${#commands[@]} commands in qslab's usage"
for command in "${commands[@]}"; do
    documents man/qslab.1 ".B $command" || fail "qslab.1 does not document the command $command"
    for option in $(usage_options "$command"); do
        documents man/qslab.1 "$(escaped "$option")" || fail "qslab.1 does not document $option of $command"
    done
done
for word in /var/lib/qsutils /proc/mtd /dev/qsc_control "EXIT STATUS" EXAMPLES; do
    documents man/qsupdate.8 "$word" || fail "qsupdate.8 does not mention $word"
done

checks=$((${#from_help[@]} + ${#from_table[@]} + ${#commands[@]}))
summary
