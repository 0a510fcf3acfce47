#!/usr/bin/env bash
# Drives the bash completions as bash does (COMP_WORDS, COMP_CWORD, the function, COMPREPLY) and checks the
# candidates; qsupdate's options are compared with its option table, qslab's with its usage text.
#   completion_test.sh QSLAB
qslab=$1
source "$(dirname "$0")/harness.sh"
source completion/qsupdate
source completion/qslab
words() { paste -sd' ' -; } # one line of words

# expect "CANDIDATES" FUNCTION WORD...: completes the last word, the words split as bash splits them (at "=" too).
expect() {
    local want=$1 function=$2
    shift 2
    COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMPREPLY=()
    "$function" || true # a completion function need not end on success
    local got=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | words)
    checks=$((checks + 1))
    [ "$got" == "$want" ] || fail "$*"$'\n'"  want: $want"$'\n'"  got:  $got"
}

# Every long option of the parser, "=" after those that take a value.
table=$(option_table | sed -E 's/ required$/=/; s/ no$//' | LC_ALL=C sort | words)
[ "$(wc -w <<<"$table")" -ge 29 ] || { echo "FAIL: option table not found"; exit 1; }
shorts=$(sed -nE 's/.*short_options\[\] = "([^"]+)".*/\1/p' app/qsupdate/*.cpp | tr -d ':' | sed 's/./-& /g')
[ -n "$shorts" ] || { echo "FAIL: short options not found"; exit 1; }
expect "$table" _qsupdate qsupdate --
expect "$(printf '%s\n' $shorts $table | LC_ALL=C sort | words)" _qsupdate qsupdate -
expect "--fake-v1 --fake-v9 --fc --force --fpga --fpgadiag --full-erase" _qsupdate qsupdate --f
expect "--ipxe-image=" _qsupdate qsupdate --ip

# Interface names from a lab's /sys: the qsc ports, not lo or eno1 (all of them without the driver).
$launcher "$qslab" create "$work/lab" --adapter cedar:2 --adapter dogwood:4 >/dev/null
$launcher "$qslab" create "$work/bare" --no-driver >/dev/null
ports="eth0 eth1 eth2 eth3 eth4 eth5"
QS_COMPLETION_ROOT=$work/lab/root expect "$ports" _qsupdate qsupdate --adapter = ""
QS_COMPLETION_ROOT=$work/lab/root expect "eth2" _qsupdate qsupdate --write --adapter = eth2
QS_COMPLETION_ROOT=$work/lab/root expect "$ports" _qsupdate qsupdate -i ""
QS_COMPLETION_ROOT=$work/lab/root expect "eth0" _qsupdate qsupdate --adapter=eth0
QS_COMPLETION_ROOT=$work/bare/root expect "eno1 lo" _qsupdate qsupdate -i ""
mkdir "$work/images" && touch "$work/images/mcfw-7.4.bin" "$work/images/ipxe.rom" "$work/other" # image files
expect "$work/images/ipxe.rom $work/images/mcfw-7.4.bin" _qsupdate qsupdate --image = "$work/images/"
expect "$work/images/ipxe.rom" _qsupdate qsupdate --ipxe-image = "$work/images/i"
expect "$work/images/mcfw-7.4.bin" _qsupdate qsupdate --write --image "$work/images/m"

# qslab: commands, presets and options as its usage names them.
usage=$($launcher "$qslab" help)
commands=$( (sed -nE 's/^ *qslab ([a-z]+).*/\1/p' <<<"$usage"; echo capture; echo help) | LC_ALL=C sort -u | words)
expect "$commands" _qslab qslab ""
presets=$(sed -nE 's/^Adapter presets: (.*)\.$/\1/p' <<<"$usage" | tr -d ',' | tr " " "\n" | LC_ALL=C sort | words)
[ -n "$presets" ] || { echo "FAIL: presets not found in qslab's usage"; exit 1; }
expect "$presets" _qslab qslab create "$work/lab" --adapter ""
expect "esx esxi linux" _qslab qslab create d --platform ""
expect "" _qslab qslab run d -- --wri
expect "ioctl" _qslab qslab fault d --operation io
for command in create image flash fault capture; do
    # Every option of the command's usage lines (none while qslab's usage does not name the command).
    want=$(usage_options "$command")
    got=$(COMP_WORDS=(qslab "$command" d -) COMP_CWORD=3; _qslab || true; printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort -u)
    missing=$(comm -23 <(echo "$want") <(echo "$got") | words)
    checks=$((checks + 1))
    [ -z "$missing" ] || fail "qslab $command does not complete $missing"
done

summary
