#!/usr/bin/env bash
# Extracts the message catalogue template from the utility's sources:
# texts looked up with gettext("...") and texts marked N_("...") where they
# are defined and looked up later. Locations name files only, so that the
# template changes when texts do, not when lines move; an OUTPUT that
# differs only in its creation date is left as it is.
#   po/make-pot.sh OUTPUT
set -euo pipefail
output=$(realpath -m "$1")
cd "$(dirname "$0")/.."
mapfile -t sources < <(find app lib -name '*.cpp' -o -name '*.h' | LC_ALL=C sort)
xgettext --language=C++ --from-code=UTF-8 --keyword=N_ \
    --add-comments=TRANSLATORS: --add-location=file --sort-by-file \
    --package-name=qsupdate --msgid-bugs-address=support@duskhollow.example \
    --copyright-holder="qsupdate developers" \
    --output="$output.new" "${sources[@]}"
if [ -f "$output" ] &&
    diff -q -I '^"POT-Creation-Date: ' "$output" "$output.new" >/dev/null; then
    rm "$output.new"
else
    mv "$output.new" "$output"
fi
