#!/usr/bin/env bash
# po/qsupdate.pot is what xgettext extracts today: a text added, changed or removed without regenerating it fails.
source "$(dirname "$0")/harness.sh"
po/make-pot.sh "$work/qsupdate.pot"
checks=1
diff -u -I '^"POT-Creation-Date: ' po/qsupdate.pot "$work/qsupdate.pot" ||
    fail "po/qsupdate.pot is out of date: cmake --build BUILD --target pot, and commit it"
summary
