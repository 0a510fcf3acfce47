#!/usr/bin/env bash
# `cmake --install` with a prefix and DESTDIR puts every file where the
# GNU layout wants it, under DESTDIR and the prefix only.
#   install_test.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
DESTDIR=$work/dest cmake --install "$build" --prefix /opt/qs >"$work/log"

expected="opt/qs/sbin/qsupdate
opt/qs/share/bash-completion/completions/qsupdate
opt/qs/share/man/man8/qsupdate.8.gz
opt/qs/share/qsupdate/qsupdate.pot"
if [ -x "$build/lab/qslab" ]; then
    expected+="
opt/qs/bin/qslab
opt/qs/share/bash-completion/completions/qslab
opt/qs/share/man/man1/qslab.1.gz"
fi
got=$(cd "$work/dest" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort)
expected=$(LC_ALL=C sort <<<"$expected")
failures=0
diff <(echo "$expected") <(echo "$got") || { echo "FAIL: installed files differ (< expected, > installed)"; failures=1; }
# The pages are whole, compressed without name or time stamp.
for page in "$work"/dest/opt/qs/share/man/man*/*.gz; do
    source=$(dirname "$0")/../../man/$(basename "${page%.gz}")
    # Magic, deflate, no flags (so no name), time 0:
    if ! gzip -dc "$page" | cmp -s - "$source" || [ "$(head -c 8 "$page" | od -An -tx1 | xargs)" != "1f 8b 08 00 00 00 00 00" ]; then
        echo "FAIL: $page is not $source compressed with gzip -n"
        failures=$((failures + 1))
    fi
done
# Without the driver it says so after its banner.
banner=$(${QS_TEST_LAUNCHER:-} "$work/dest/opt/qs/sbin/qsupdate" --help 2>&1 || true)
[[ $banner == *"firmware update utility"* ]] || { echo "FAIL: the installed qsupdate does not run"; failures=$((failures + 1)); }
echo "$((3 - failures)) passed, $failures failed"
[ $failures -eq 0 ]
