#!/usr/bin/env bash
# Cross-builds the unit and scenario tests for s390x, a big-endian host, and
# runs them under qemu-user, so that a layout read or written in host order
# instead of little-endian shows as a failing test. Installs missing Debian
# packages first. Usage: scripts/test-big-endian.sh [BUILD-DIR]
# (default build-s390x; kept between runs, so a second run builds only what
# changed).
set -euo pipefail
cd "$(dirname "$0")/.."

# The target's libraries come from Debian's s390x multiarch packages: tinyxml2
# has no source package on the machine to cross-build, and one mechanism for
# GoogleTest too keeps find_package unchanged. The C and C++ runtimes are named
# because the emulator loads them from the host's root.
packages=(cmake ninja-build g++-s390x-linux-gnu qemu-user nlohmann-json3-dev
          libc6:s390x libstdc++6:s390x libgtest-dev:s390x libtinyxml2-dev:s390x)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
if ! dpkg --print-foreign-architectures | grep -qx s390x; then
    $sudo dpkg --add-architecture s390x
fi
scripts/install-packages.sh "${packages[@]}"

build=${1:-build-s390x}
start=$SECONDS
# No sanitizers: AddressSanitizer under qemu-user is unreliable, and the
# sanitized build on the host runs the same tests. Debug keeps the
# assertions, and warnings are errors as ever.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/s390x-toolchain.cmake"
cmake --build "$build" -j"$(nproc)"
built=$SECONDS

# Emulated tests are slow: two at a time at most on a shared machine.
status=0
ctest --test-dir "$build" --output-on-failure -j2 --timeout 600 || status=$?
echo "big-endian (s390x under qemu-user): build $((built - start)) s, tests $((SECONDS - built)) s," \
    "$([ $status -eq 0 ] && echo passed || echo FAILED)"
exit $status
