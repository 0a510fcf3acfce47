#!/bin/sh
# Builds qsupdate and its lab, then runs qsupdate against a simulated host
# with three Duskhollow adapters of different generations: no adapter or
# root access needed.
set -eu
cd "$(dirname "$0")/.."

scripts/install-packages.sh cmake ninja-build g++ nlohmann-json3-dev

echo "Building qsupdate and qslab in build-demo (release build)..."
log=build-demo.log
if ! { cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DQS_BUILD_TESTS=OFF &&
       cmake --build build-demo -j2 --target qsupdate qslab; } >"$log" 2>&1; then
    cat "$log"
    echo "The build failed; the log above is also in $log." >&2
    exit 1
fi
rm -f "$log"
qslab=build-demo/lab/qslab

lab=$(mktemp -d)
trap 'rm -rf "$lab"' EXIT
echo
echo "Creating a simulated Linux host (a \"lab\"): qsupdate will see its adapters as real ones."
"$qslab" create "$lab" --adapter dogwood2:2 --adapter cedar:2 --adapter birch:2

echo
echo "\$ qsupdate           # the status report: what each port runs, and what could update it"
"$qslab" run "$lab" -- || echo "(qsupdate exited with status $?)"

image="$lab/dogwood2-mcfw.bin"
echo
echo "A controller firmware image newer than the one the first adapter runs (7.4.3.1008):"
echo "\$ qslab image --type 3 --subtype 37 --version 7.4.4.1000 -o dogwood2-mcfw.bin"
"$qslab" image --type 3 --subtype 37 --version 7.4.4.1000 -o "$image"

echo
echo "\$ qsupdate --image=dogwood2-mcfw.bin    # the status report against that image"
"$qslab" run "$lab" -- --image="$image" || echo "(qsupdate exited with status $?)"

echo
echo "\$ qsupdate --write --yes --adapter=eth0 --image=dogwood2-mcfw.bin    # the update itself, with its progress"
"$qslab" run "$lab" -- --write --yes --adapter=eth0 --image="$image" || echo "(qsupdate exited with status $?)"

echo
echo "\$ qsupdate --adapter=eth0    # the status report again: the adapter runs the new version"
"$qslab" run "$lab" -- --adapter=eth0 || echo "(qsupdate exited with status $?)"

echo
echo "\$ qsupdate --list    # the Duskhollow ports qsupdate finds, with their MAC addresses"
"$qslab" run "$lab" -- --list

echo
echo "What the lab holds, and what happened in it (virtual time; no real waiting):"
"$qslab" show "$lab"
