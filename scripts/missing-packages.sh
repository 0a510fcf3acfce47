#!/bin/sh
# Prints, one per line, those of the named Debian packages that are not
# installed. A name without an architecture means this machine's own (or
# "all"): once the big-endian test has added the s390x libraries, a plain
# `dpkg -s libgtest-dev` is ambiguous and would count as missing.
#   scripts/missing-packages.sh PACKAGE[:ARCH]...
native=$(dpkg --print-architecture)
for package; do
    case $package in
    *:*) wanted=${package#*:} ;;
    *) wanted=$native ;;
    esac
    found=$(dpkg-query -W -f='${Architecture} ${db:Status-Status}\n' "$package" 2>/dev/null || true)
    case "
$found
" in
    *"
$wanted installed
"* | *"
all installed
"*) ;;
    *) echo "$package" ;;
    esac
done
