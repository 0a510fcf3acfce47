#!/usr/bin/env bash
# po/qsupdate.pot is what xgettext extracts from the sources today: a text
# added, changed or removed without regenerating it fails here.
set -euo pipefail
cd "$(dirname "$0")/../.."
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
po/make-pot.sh "$work/qsupdate.pot"
if diff -u -I '^"POT-Creation-Date: ' po/qsupdate.pot "$work/qsupdate.pot"; then
    echo "1 passed, 0 failed"
else
    echo "FAIL: po/qsupdate.pot is out of date: cmake --build BUILD --target pot, and commit it"
    echo "0 passed, 1 failed"
    exit 1
fi
