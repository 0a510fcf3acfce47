#!/bin/sh
# Installs those of the named Debian packages that are missing, with
# apt-get (through sudo unless root). A name without an architecture means
# this machine's own (or "all"): once the big-endian test has added the
# s390x libraries, a plain `dpkg -s libgtest-dev` is ambiguous and would
# count as missing every time.
#   scripts/install-packages.sh PACKAGE[:ARCH]...
set -eu
native=$(dpkg --print-architecture)
missing=""
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
    *) missing="$missing $package" ;;
    esac
done
[ -n "$missing" ] || exit 0
echo "Installing the Debian packages that are missing:$missing"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo apt-get update -q
# shellcheck disable=SC2086 # one word per package
$sudo apt-get install -y -q $missing
