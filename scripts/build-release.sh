#!/bin/sh
# Configures and builds the optimised release tree that the test command,
# the demo, the benchmark and the Ansible test share, so that whoever runs
# them all builds it once.  Installs what configuring it needs.
#   scripts/build-release.sh [--quiet] [TARGET...]   (default: everything)
# With --quiet the build's output goes to a log that is shown only when the
# build fails.  The tree is build-release unless QS_RELEASE_BUILD_DIR names
# another.
set -eu
cd "$(dirname "$0")/.."

quiet=false
if [ "${1:-}" = --quiet ]; then
    quiet=true
    shift
fi
release=${QS_RELEASE_BUILD_DIR:-build-release}

# The tests are part of this tree's configuration, so what they need is
# needed to configure it at all.
scripts/install-packages.sh cmake ninja-build g++ libgtest-dev nlohmann-json3-dev libtinyxml2-dev

targets=""
for target; do
    targets="$targets --target $target"
done
build() {
    cmake -S . -B "$release" -G Ninja -DCMAKE_BUILD_TYPE=Release &&
        # shellcheck disable=SC2086 # one word per target
        cmake --build "$release" -j"$(nproc)" $targets
}
if ! $quiet; then
    build
    exit
fi
log=$release.log
if ! build >"$log" 2>&1; then
    cat "$log"
    echo "The build failed; the log above is also in $log." >&2
    exit 1
fi
rm -f "$log"
