#!/usr/bin/env bash
# Load and save times of a security metadata file of 10,000 entries (well-known, local and
# directory accounts; allowing, denying and revoking): the save writes a temporary file, flushes
# it, renames it over the old one and flushes the directory; the load reads it back through the
# streaming reader. Prints the median, min and max of the runs.
#   bench/entries.sh [runs] [entries]        (defaults: 11 runs, 10000 entries)
# Environment: BUILD_DIR (default build-bench, configured as Release), JOBS (ninja jobs).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-11}
entries=${2:-10000}

build=${BUILD_DIR:-build-bench}
[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C "$build" ${JOBS:+-j"$JOBS"} metadata_bench >/dev/null

work=$(mktemp -d /var/tmp/tavrix-entries.XXXXXX)
trap 'rm -rf "$work"' EXIT

# One warm-up run, then the measured ones: "<save us> <load us>" per line.
"$build/bench/metadata_bench" "$work" "$entries" 1 >/dev/null
"$build/bench/metadata_bench" "$work" "$entries" "$runs" >"$work/times"
size=$(stat -c %s "$work/site/.kelvo/.Security")

summary() { # column -> "median min max" in milliseconds
  cut -d' ' -f"$1" "$work/times" | sort -n |
    awk '{v[NR]=$1} END {printf "%.1f ms (%.1f-%.1f)", v[int((NR+1)/2)]/1000, v[1]/1000, v[NR]/1000}'
}
echo "metadata file of $entries entries, $((size / 1024)) KiB, $runs runs"
echo "save  $(summary 1)"
echo "load  $(summary 2)"
