#!/usr/bin/env bash
# Tree copy against `cp -a` and tree removal against `rm -rf`, on generated trees of 1,000 and
# 10,000 files shaped like PHP applications.
#   bench/fs.sh [runs]     (default 5 runs per measurement; SIZES overrides "1000 10000")
# Each measurement starts from the same state for both tools: the source tree was read once
# before (warm page cache), the target or the tree to remove was just made and written back
# with `sync`, and the two tools alternate which goes first. Times are wall-clock times of the
# whole command (process start included for both).
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh

runs=${1:-5}
for files in ${SIZES:-1000 10000}; do
  src=$work/src$files
  generate "$src" "$files"
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
