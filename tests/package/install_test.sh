#!/usr/bin/env bash
# `cmake --install` with a prefix and DESTDIR puts every file where the GNU layout wants it, and nowhere else.
#   install_test.sh BUILD_DIR
build=$(realpath "$1")
source "$(dirname "$0")/harness.sh"
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
diff <(LC_ALL=C sort <<<"$expected") <(echo "$got") || fail "installed files differ (< expected, > installed)"
# The pages are whole, compressed without name or time stamp: magic, deflate, no flags (so no name), time 0.
for page in "$work"/dest/opt/qs/share/man/man*/*.gz; do
    source=man/$(basename "${page%.gz}")
    header=$(head -c 8 "$page" | od -An -tx1 | xargs)
    gzip -dc "$page" | cmp -s - "$source" && [ "$header" == "1f 8b 08 00 00 00 00 00" ] ||
        fail "$page is not $source compressed with gzip -n"
done
# Without the driver it says so after its banner.
banner=$($launcher "$work/dest/opt/qs/sbin/qsupdate" --help 2>&1 || true)
[[ $banner == *"firmware update utility"* ]] || fail "the installed qsupdate does not run"
checks=3
summary
