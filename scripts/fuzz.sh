#!/usr/bin/env bash
# Runs every libFuzzer target of tests/fuzz for SECONDS each (default 60),
# one after another, each on a scratch copy of its committed corpus, and
# prints one line per target: executions and findings.  Findings (crash,
# leak, timeout and out-of-memory inputs) are kept in the directory named
# at the end; exits non-zero when any target found something.  Builds the
# targets with clang in build-fuzz first, installing what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
case "$seconds" in ''|*[!0-9]*) echo "usage: scripts/fuzz.sh [SECONDS]" >&2; exit 2 ;; esac

packages=(cmake ninja-build clang libclang-rt-dev)
scripts/install-packages.sh "${packages[@]}"

build=${QS_FUZZ_BUILD_DIR:-build-fuzz}
CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQS_FUZZ=ON \
    -DQS_BUILD_TESTS=OFF -DQS_BUILD_LAB=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

findings=${QS_FUZZ_FINDINGS_DIR:-$build/findings}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$findings"

total_runs=0
total_found=0
printf '%-16s %14s %9s\n' target executions findings
for source in tests/fuzz/*_fuzz.cpp; do
    name=$(basename "$source" _fuzz.cpp)
    mkdir -p "$scratch/$name" "$findings/$name"
    cp tests/fuzz/corpus/"$name"/* "$scratch/$name"/ 2>/dev/null || true
    before=$(find "$findings/$name" -type f | wc -l)
    # Output of the code under test is noise here; libFuzzer keeps its own.
    "$build/tests/fuzz/${name}_fuzz" "$scratch/$name" -max_total_time="$seconds" -print_final_stats=1 \
        -close_fd_mask=3 -artifact_prefix="$findings/$name/" >"$scratch/$name.log" 2>&1 || true
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$scratch/$name.log" | tail -1)
    runs=${runs:-0}
    found=$(($(find "$findings/$name" -type f | wc -l) - before))
    printf '%-16s %14d %9d\n' "$name" "$runs" "$found"
    total_runs=$((total_runs + runs))
    total_found=$((total_found + found))
    [ "$found" -eq 0 ] || cp "$scratch/$name.log" "$findings/$name.log"
done
printf '%-16s %14d %9d\n' total "$total_runs" "$total_found"
if [ "$total_found" -ne 0 ]; then
    echo "Findings are in $findings (with each target's log)." >&2
    exit 1
fi
