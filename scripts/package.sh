#!/usr/bin/env bash
# Builds the Debian packages qsupdate and qsupdate-lab from a release build
# with Debian's hardening flags, checks them with lintian (any error fails)
# and prints their paths. With --check-install it also installs them with
# apt-get, runs what they installed and removes them again (needs root).
#   scripts/package.sh [--check-install]
set -euo pipefail
cd "$(dirname "$0")/.."
check_install=false
[ "${1-}" = --check-install ] && check_install=true

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
packages=(cmake ninja-build g++ nlohmann-json3-dev dpkg-dev lintian)
scripts/install-packages.sh "${packages[@]}"

build=${QS_PACKAGE_BUILD_DIR:-build-package}
out=$build/packages
# Debian's flags with every hardening feature: fortified functions, stack
# protector, full RELRO with immediate binding.
# Given on the command line, not in the environment, which CMake reads only
# when it first configures a build directory.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQS_BUILD_TESTS=OFF \
    -DQS_DEBIAN_DOCS=ON -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
cmake --build "$build" -j"$(nproc)"
rm -rf "$out"
cpack --config "$build/CPackConfig.cmake" -B "$out" >/dev/null
mapfile -t debs < <(find "$out" -maxdepth 1 -name '*.deb' | sort)
[ ${#debs[@]} -gt 0 ] || { echo "cpack made no package" >&2; exit 1; }

status=0
for deb in "${debs[@]}"; do
    # Errors fail; warnings and the rest are shown.
    lintian --fail-on error --display-info "$deb" || status=1
done
[ $status -eq 0 ] || { echo "lintian found errors" >&2; exit 1; }

if $check_install; then
    $sudo apt-get install -y -q "${debs[@]/#/./}" >/dev/null
    trap '$sudo apt-get remove -y -q qsupdate qsupdate-lab >/dev/null' EXIT
    lab=$(mktemp -d)
    qslab create "$lab/lab" >/dev/null
    qslab run "$lab/lab" -- --list
    rm -rf "$lab"
    [ -x /usr/sbin/qsupdate ] && man -w qsupdate >/dev/null && man -w qslab >/dev/null &&
        [ -f /usr/share/bash-completion/completions/qsupdate ] ||
        { echo "the packages did not install what they should" >&2; exit 1; }
    echo "Installed and ran: ${debs[*]}"
fi
realpath "${debs[@]}"
