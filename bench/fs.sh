#!/usr/bin/env bash
# Tree copy against `cp -a` and tree removal against `rm -rf`, on generated trees of 1,000 and
# 10,000 files shaped like PHP applications.
#   bench/fs.sh [runs]     (default 5 runs per measurement)
# Environment: BUILD_DIR (default build-bench, configured as Release), JOBS (ninja jobs),
# WORK_DIR (where the trees go; default a new directory under /var/tmp, removed at the end),
# SIZES (default "1000 10000").
#
# Each measurement starts from the same state for both tools: the source tree was read once
# before (warm page cache), the target or the tree to remove was just made and written back
# with `sync`, and the two tools alternate which goes first. Times are wall-clock times of the
# whole command (process start included for both).
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-5}
build=${BUILD_DIR:-build-bench}
sizes=${SIZES:-"1000 10000"}
[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C "$build" ${JOBS:+-j"$JOBS"} tavrix_bench_fs >/dev/null
driver=$(realpath "$build/bin/tavrix_bench_fs")

if [ -n "${WORK_DIR:-}" ]; then
  work=$WORK_DIR
  mkdir -p "$work"
else
  work=$(mktemp -d /var/tmp/tavrix-bench.XXXXXX)
  trap 'rm -rf "$work"' EXIT
fi

# Microseconds that the command took.
timed() {
  local start end
  start=$(date +%s%N)
  "$@"
  end=$(date +%s%N)
  echo $(((end - start) / 1000))
}

# "median min max" of the numbers given.
stats() { printf '%s\n' "$@" | sort -n | awk '{v[NR]=$1} END {printf "%d %d %d", v[int((NR+1)/2)], v[1], v[NR]}'; }

ms() { awk -v us="$1" 'BEGIN {printf "%.1f", us / 1000}'; }

report() { # label, ours..., --, theirs...
  local label=$1; shift
  local ours=() theirs=() side=ours
  for t in "$@"; do
    if [ "$t" = "--" ]; then side=theirs; continue; fi
    if [ $side = ours ]; then ours+=("$t"); else theirs+=("$t"); fi
  done
  read -r om omin omax <<<"$(stats "${ours[@]}")"
  read -r tm tmin tmax <<<"$(stats "${theirs[@]}")"
  printf '%-28s ours %8s ms (%s-%s)   theirs %8s ms (%s-%s)   ratio %s\n' "$label" \
    "$(ms "$om")" "$(ms "$omin")" "$(ms "$omax")" "$(ms "$tm")" "$(ms "$tmin")" "$(ms "$tmax")" \
    "$(awk -v a="$om" -v b="$tm" 'BEGIN {printf "%.2f", a / b}')"
}

for files in $sizes; do
  src=$work/src$files
  rm -rf "$src"
  "$driver" generate "$src" "$files" 42
  echo "tree of $files files: $(find "$src" -type d | wc -l) directories, $(du -sh "$src" | cut -f1)"
  find "$src" -type f -exec cat {} + >/dev/null

  copy_ours=() copy_cp=() rm_ours=() rm_rm=()
  for ((run = 0; run < runs; run++)); do
    rm -rf "$work/ours" "$work/cp"
    sync
    if ((run % 2)); then
      copy_cp+=("$(timed cp -a "$src" "$work/cp")"); sync
      copy_ours+=("$(timed "$driver" copy "$src" "$work/ours")"); sync
    else
      copy_ours+=("$(timed "$driver" copy "$src" "$work/ours")"); sync
      copy_cp+=("$(timed cp -a "$src" "$work/cp")"); sync
    fi
    diff -r "$src" "$work/ours" >/dev/null || { echo "copy differs from the source" >&2; exit 1; }

    if ((run % 2)); then
      rm_rm+=("$(timed rm -rf "$work/cp")"); sync
      rm_ours+=("$(timed "$driver" remove "$work/ours")"); sync
    else
      rm_ours+=("$(timed "$driver" remove "$work/ours")"); sync
      rm_rm+=("$(timed rm -rf "$work/cp")"); sync
    fi
    [ ! -e "$work/ours" ] || { echo "removal left the tree" >&2; exit 1; }
  done
  report "copy $files vs cp -a" "${copy_ours[@]}" -- "${copy_cp[@]}"
  report "remove $files vs rm -rf" "${rm_ours[@]}" -- "${rm_rm[@]}"
  rm -rf "$src"
done
