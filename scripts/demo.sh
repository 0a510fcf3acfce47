#!/bin/sh
# Builds qsupdate and its lab, then tells the story of one update on a
# simulated host with two Duskhollow adapters of different generations:
# the status report, the update it offers for an image, that update with
# its progress, the report again, and what the lab recorded.  No adapter
# or root access needed.
set -eu
cd "$(dirname "$0")/.."

echo "Building qsupdate and qslab in build-release (release build)..."
scripts/build-release.sh --quiet qsupdate qslab

# The lab stays for a look afterwards; the names are short on screen.
cd "${QS_RELEASE_BUILD_DIR:-build-release}"
qslab=$PWD/lab/qslab
lab=demo-lab
rm -rf "$lab"
run() { "$qslab" run "$lab" -- "$@" || echo "(qsupdate exited with status $?)"; }
running() { "$qslab" show "$lab" | sed -n 's/^  PCI ids .*, firmware //p' | head -n 1; }

echo
echo "A simulated Linux host (a \"lab\" in $(basename "$PWD")/$lab), whose adapters qsupdate takes for real ones:"
"$qslab" create "$lab" --adapter dogwood2:1 --adapter cedar:1

echo
echo "\$ qsupdate    # the status report: what each port runs"
run

echo
echo "\$ qslab image --type mcfw --subtype 37 --version 7.4.4.1000 -o dogwood2-mcfw.bin"
"$qslab" image --type mcfw --subtype 37 --version 7.4.4.1000 -o dogwood2-mcfw.bin >/dev/null
echo "\$ qsupdate --image=dogwood2-mcfw.bin    # the report against that image: an update for eth0"
report=$(run --image=dogwood2-mcfw.bin)
echo "$report"

# The command the report offers, run as printed (answering its question).
offered=$(echo "$report" | sed -n 's/^   - run "qsupdate \(.*\)" to perform an update$/\1/p' | head -n 1)
if [ -z "$offered" ]; then
    echo "The report offered no update." >&2
    exit 1
fi
before=$(running)
echo
echo "\$ qsupdate $offered    # the offered update, with its progress (answering y)"
eval "set -- $offered"
echo y | run "$@"
# What the last run did to each partition, before the next run starts anew.
touched=$("$qslab" show "$lab" | grep ' last run: erases' | grep -v 'erases 0 (0 bytes), writes 0 ')
elapsed=$(awk '/\] run [0-9]+:/ { start = substr($1, 2) }
               /\] qsupdate exited/ { took = substr($1, 2) - start }
               END { printf "%.1f", took }' "$lab/events.log")

echo
echo "\$ qsupdate --adapter=eth0 --mc    # the report again, of the controller firmware: the new version"
run --adapter=eth0 --mc

echo
echo "What the lab recorded of the update (all of it: qslab show $(basename "$PWD")/$lab):"
echo "  controller firmware of adapter 1 as ethtool reports it: $before before, $(running) after"
echo "$touched" | while read -r id rest; do
    block=$(echo "$rest" | sed -n 's/.* in \([0-9]*\) \(KiB\|MiB\) blocks.*/\1 \2/p')
    case $block in
        *KiB) block=$((${block% KiB} * 1024)) ;;
        *MiB) block=$((${block% MiB} * 1048576)) ;;
        *) block=1 ;; # an EEPROM is written without erasing
    esac
    erased=$(echo "$rest" | sed -n 's/.*erases [0-9]* (\([0-9]*\) bytes\?).*/\1/p')
    written=$(echo "$rest" | sed -n 's/.*writes [0-9]* (\([0-9]*\) bytes\?).*/\1/p')
    blocks=$((erased / block))
    [ "$blocks" = 1 ] && what="1 block" || what="$blocks blocks"
    echo "  $id: $what erased ($erased bytes), $written bytes written"
done
echo "  the update's time on the adapter, on the lab's virtual clock: $elapsed s"
