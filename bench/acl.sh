#!/usr/bin/env bash
# A descriptor write with one inheritable grant (0x1F01FF, object and container inherit) for a
# created group at a tree's root, with its projection onto the tree, against
# `setfacl -R -m g:G:rwx,d:g:G:rwx` on the same tree. Needs root (the descriptor store's trusted
# attributes, a created group).
#   bench/acl.sh [runs]     (default 5 runs)
# Environment: BUILD_DIR (default build-bench, configured as Release), JOBS (ninja jobs),
# FILES (default 10000), WORK_DIR (where the tree goes; default a new directory under /var/tmp,
# removed at the end).
#
# Each run starts both tools from the same tree without ACLs or stored descriptors, in a warm
# page cache, and the two alternate which goes first. Times are wall-clock times of the whole
# command (process start included for both). The first run also checks that both leave the
# same ACLs on every file and directory.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-5}
files=${FILES:-10000}
build=${BUILD_DIR:-build-bench}
[ "$(id -u)" -eq 0 ] || { echo "bench/acl.sh needs root" >&2; exit 1; }
[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C "$build" ${JOBS:+-j"$JOBS"} tavrix_bench_fs tavrix_bench_acl >/dev/null
generator=$(find "$build" -name tavrix_bench_fs -type f | head -1)
driver=$(find "$build" -name tavrix_bench_acl -type f | head -1)

group=tvxbench$$
groupadd "$group"
if [ -n "${WORK_DIR:-}" ]; then
  work=$WORK_DIR
  mkdir -p "$work"
  trap 'groupdel "$group"' EXIT
else
  work=$(mktemp -d /var/tmp/tavrix-acl-bench.XXXXXX)
  trap 'groupdel "$group"; rm -rf "$work"' EXIT
fi
tree=$work/tree
rm -rf "$tree"
"$generator" generate "$tree" "$files" 42
echo "tree of $files files: $(find "$tree" -type d | wc -l) directories"

reset() {
  setfacl -R -b "$tree"
  setfattr -x trusted.tavrix.ntacl "$tree" 2>/dev/null || true
  sync
}
# Microseconds that the command took.
timed() {
  local start end
  start=$(date +%s%N)
  "$@"
  end=$(date +%s%N)
  echo $(((end - start) / 1000))
}
ours() { timed "$driver" grant "$tree" "$group"; }
theirs() { timed setfacl -R -m "g:$group:rwx,d:g:$group:rwx" "$tree"; }
# "median min max" in milliseconds.
stats() { printf '%s\n' "$@" | sort -n | awk '{v[NR]=$1} END {printf "%.1f %.1f %.1f", v[int((NR+1)/2)]/1000, v[1]/1000, v[NR]/1000}'; }

ours_t=() theirs_t=()
for ((run = 0; run < runs; run++)); do
  if ((run % 2)); then
    reset; theirs_t+=("$(theirs)")
    reset; ours_t+=("$(ours)")
  else
    reset; ours_t+=("$(ours)")
    if ((run == 0)); then getfacl -R -p "$tree" >"$work/ours.acl"; fi
    reset; theirs_t+=("$(theirs)")
    if ((run == 0)); then
      getfacl -R -p "$tree" >"$work/theirs.acl"
      cmp -s "$work/ours.acl" "$work/theirs.acl" || { echo "the ACLs differ from setfacl's" >&2; exit 1; }
    fi
  fi
done
read -r om omin omax <<<"$(stats "${ours_t[@]}")"
read -r tm tmin tmax <<<"$(stats "${theirs_t[@]}")"
printf 'grant %s files vs setfacl -R   ours %s ms (%s-%s)   setfacl %s ms (%s-%s)   ratio %s\n' \
  "$files" "$om" "$omin" "$omax" "$tm" "$tmin" "$tmax" "$(awk -v a="$om" -v b="$tm" 'BEGIN {printf "%.2f", a / b}')"
