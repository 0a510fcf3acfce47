#!/usr/bin/env bash
# Measures the status report on a simulated host of 16 adapters and 32
# ports of every generation: qsupdate's CPU time per run (median), the time
# the run would take on the host (the lab's virtual clock), the flash it
# reads against what the report needs, and how often it opens files,
# issues ioctls and sends management-controller commands.  Then updates the
# controller firmware of each adapter and compares the modeled flash time
# of each update with the physical minimum, and what reading the written
# flash back to check it costs.
# Usage: scripts/bench.sh [RUNS]   (default 7)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-7}

echo "Building qsupdate and qslab in build-release (release build)..."
scripts/build-release.sh --quiet qsupdate qslab
qslab=${QS_RELEASE_BUILD_DIR:-build-release}/lab/qslab

lab=$(mktemp -d)
trap 'rm -rf "$lab"' EXIT
adapters=()
for preset in dogwood2 dogwood cedar birch oem dogwood2 dogwood cedar birch oem dogwood2 dogwood cedar birch \
              alder-0710 oem; do
    adapters+=(--adapter "$preset:2")
done
"$qslab" create "$lab" "${adapters[@]}"

# CPU time (user + system) of each `qslab run`, which runs qsupdate in its
# own process against the emulated host.
TIMEFORMAT=%3U+%3S
times=()
for _ in $(seq "$runs"); do
    t=$({ time "$qslab" run "$lab" -- >/dev/null 2>&1; } 2>&1)
    times+=("$(echo "$t" | awk -F+ '{ printf "%.3f", $1 + $2 }')")
done
median=$(printf '%s\n' "${times[@]}" | sort -n | awk '{ t[NR] = $1 } END { print t[int((NR + 1) / 2)] }')

# The last run's block of the event log: its first and last stamps give
# the virtual time, its closing count the host calls.
block=$(awk '/\] run [0-9]+: / { block = "" } { block = block $0 "\n" } END { printf "%s", block }' "$lab/events.log")
virtual=$(echo "$block" | awk -F'[][ ]' 'NR == 1 { start = $2 } NF { end = $2 } END { printf "%.6f", end - start }')
calls=$(echo "$block" | sed -n 's/.*host calls: //p')
read -r opens ioctls commands < <(echo "$calls" | awk '{ print $1, $3, $5 }')

# Flash read in the last run, against what the report needs: each dynamic
# configuration whole once, plus a 4-byte probe through each port that
# shows it; each bundle metadata whole once, or its first 8 bytes when
# they say it is erased.
read -r bytes_read bytes_needed < <("$qslab" show "$lab" | awk '
    function bytes(text,    f) {
        split(text, f, " ")
        return f[1] * (f[2] == "KiB" ? 1024 : f[2] == "MiB" ? 1048576 : 1)
    }
    /last run:/ && match($0, /reads [0-9]+ \(([0-9]+) bytes\)/) {
        s = substr($0, RSTART, RLENGTH); gsub(/.*\(| bytes\)/, "", s); read += s
    }
    / dynamic configuration subtype / && match($0, /, [0-9]+ (KiB|MiB|bytes?) in /) {
        size = bytes(substr($0, RSTART + 2, RLENGTH - 6))
        ports = gsub(/mtd[0-9]+ /, "&")
        needed += size + 4 * ports
    }
    / bundle metadata subtype / && match($0, /, [0-9]+ (KiB|MiB|bytes?) in /) {
        metadata[$1] = bytes(substr($0, RSTART + 2, RLENGTH - 6))
    }
    /bundle-metadata-[0-9a-f]+: erased/ { id = $1; sub(/:$/, "", id); erased[id] = 1 }
    END {
        for (id in metadata) needed += erased[id] ? 8 : metadata[id]
        print read + 0, needed + 0
    }')

echo
echo "Status report of 16 adapters, 32 ports, $runs runs:"
echo "  CPU time per run (median):  $median s   (all runs: ${times[*]})"
echo "  modeled host time of a run: $virtual s (the lab's virtual clock)"
echo "  flash read per run:         $bytes_read bytes; the report needs $bytes_needed"
echo "  opens per run:              $opens"
echo "  ioctls per run:             $ioctls"
echo "  controller commands per run: $commands"

# Then the controller firmware of every adapter that has one is updated,
# one adapter per run through its first port: the flash time the lab
# models for the run (its erase and write lines, at the partition's
# rates) against the physical minimum (the erase blocks the image needs
# and its bytes, at the same rates), and qsupdate's CPU time.  Each write
# is read back and compared with the image: the bytes the run read from
# the partition, at its read rate, are that check's cost.
code_size=524288
echo
echo "Controller firmware update of each adapter ($code_size-byte image):"
# One line per controller-firmware partition: id, erase size, erase time
# per block (us), read and write time per byte (ns).  lab.json keeps each
# partition's keys in alphabetical order.
partitions=$(awk -F'[:,"]+' '
    /"erase_block_us"/ { eb = $3 + 0 }
    /"erase_size"/ { es = $4 }
    /"id"/ { id = $4 }
    /"read_byte_ns"/ { rb = $3 + 0 }
    /"write_byte_ns"/ { if (id ~ /-mcfw-/) print id, es, eb, rb, $3 + 0 }' "$lab/lab.json")
show=$("$qslab" show "$lab")
while read -r id erase_size erase_us read_ns write_ns; do
    erase_size=$((erase_size))
    adapter=${id%%-*}
    number=${adapter#a}
    subtype=$((16#${id##*-}))
    preset=$(sed -n "s/^Adapter $number: .*(preset \(.*\))$/\1/p" <<<"$show")
    port=$(awk -v n="$number" '$0 ~ "^Adapter " n ":" { on = 1; next }
                               on && $1 == "0" { print $2; exit }' <<<"$show")
    image="$lab/$id.bin"
    "$qslab" image --type 3 --subtype "$subtype" --version 9.0.0.1 --size "$code_size" -o "$image"
    t=$({ time "$qslab" run "$lab" -- --write --yes --adapter="$port" --image="$image" </dev/null >/dev/null 2>&1; } 2>&1)
    cpu=$(awk -F+ '{ printf "%.3f", $1 + $2 }' <<<"$t")
    block=$(awk '/\] run [0-9]+: / { block = "" } { block = block $0 "\n" } END { printf "%s", block }' \
            "$lab/events.log")
    awk -v id="$id" -v eb="$erase_us" -v rb="$read_ns" -v wb="$write_ns" -v es="$erase_size" \
                        -v len="$code_size" -v name="$adapter $preset $port" -v cpu="$cpu" '
        index($0, "flash " id ": erase ") && match($0, /\(([0-9]+) blocks?\)/) {
            blocks += substr($0, RSTART + 1, RLENGTH - 2) + 0
        }
        index($0, "flash " id ": write ") && match($0, /\(([0-9]+) bytes/) {
            bytes += substr($0, RSTART + 1, RLENGTH - 1) + 0
        }
        index($0, "flash " id ": read ") && match($0, /read [0-9]+ bytes/) {
            read_back += substr($0, RSTART + 5, RLENGTH - 11) + 0
        }
        END {
            need = int((len + es - 1) / es)
            modeled = (blocks * eb) / 1e6 + bytes * wb / 1e9
            minimum = (need * eb) / 1e6 + len * wb / 1e9
            printf "  %-20s flash %7.2f s modeled (%d blocks erased, %d bytes written), %6.2f s minimum (%d blocks, %d bytes); read back %d bytes, %.3f s modeled; CPU %s s\n",
                   name, modeled, blocks, bytes, minimum, need, len, read_back, read_back * rb / 1e9, cpu
        }' <<<"$block"
done <<<"$partitions"
