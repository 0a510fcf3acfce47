#!/bin/sh
# Builds qsupdate and its lab, then runs qsupdate against a simulated host
# with two Duskhollow adapters: no adapter or root access needed.
set -eu
cd "$(dirname "$0")/.."

missing=""
for package in cmake ninja-build g++ nlohmann-json3-dev; do
    dpkg -s "$package" >/dev/null 2>&1 || missing="$missing $package"
done
if [ -n "$missing" ]; then
    echo "Installing the Debian packages the build needs:$missing"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update
    $sudo apt-get install -y $missing
fi

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
"$qslab" create "$lab" --adapter dogwood2:2 --adapter birch:2

echo
echo "\$ qsupdate --list    # the Duskhollow ports qsupdate finds, with their MAC addresses"
"$qslab" run "$lab" -- --list

echo
echo "\$ qsupdate --version # the utility's version and the adapter driver's"
"$qslab" run "$lab" -- --version

echo
echo "What the lab holds, and what happened in it (virtual time; no real waiting):"
"$qslab" show "$lab"
