#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs every test, then does the same for the optimised release build.
# Installs missing Debian packages first.
set -euo pipefail
cd "$(dirname "$0")/.."

# gettext extracts the catalogue template, groff checks the manual pages.
packages=(cmake ninja-build g++ libgtest-dev nlohmann-json3-dev libtinyxml2-dev gettext groff-base)
scripts/install-packages.sh "${packages[@]}"

# The sanitized build catches memory and undefined-behaviour faults.
build=${QS_TEST_BUILD_DIR:-build-test}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQS_SANITIZE=ON
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"

# The optimised build that the README installs from: some warnings (and so
# errors) only appear with optimisation, and the tests run once more on it.
# The demo, the benchmark and the Ansible test share this tree.
release=${QS_RELEASE_BUILD_DIR:-build-release}
scripts/build-release.sh
ctest --test-dir "$release" --output-on-failure -j"$(nproc)"
