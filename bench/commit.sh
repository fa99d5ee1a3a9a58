#!/usr/bin/env bash
# The commit against setfacl -R, on trees of 10,000 and 50,000 files shaped like PHP
# applications, for one allowing entry (0x1F01FF, object and container inherit) for a created
# group at the tree's root:
#   - the first commit (the checker: the required list written at the root with its
#     projection onto the tree, then nothing left to repair) against
#     `setfacl -R -m g:G:rwx,d:g:G:rwx` on the same tree, both starting from no ACL;
#   - the second, unchanged commit (the walk finds the root's list right, the drift walk reads
#     every object's ACL and writes none: the script fails if any object's change time moves) against the same
#     setfacl -R run again on the tree it already changed.
# Each pair runs several times, the two alternating which goes first; the script prints the
# median and min-max of each, the ratios, how each time grows from the first size to the
# second, and (with strace) the system calls per object of one unchanged commit and one setfacl
# run. Needs root.
#   bench/commit.sh [runs]     (default 5; SIZES overrides "10000 50000 mediawiki": numbers are
#   generated trees of that many files, names Debian packages whose /usr/share tree is used)
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "bench/commit.sh needs root" >&2; exit 1; }
source bench/common.sh

runs=${1:-5}
group=tvxcg$$
groupadd "$group"
cleanups+=("groupdel '$group'")

declare -A time_ours time_theirs
remember() { time_ours[$1]=$ours_median; time_theirs[$1]=$theirs_median; }

reset_acl() {
  setfacl -R -b "$1"
  setfattr -x trusted.tavrix.ntacl "$1" 2>/dev/null || true
  sync
}
# The commit, timed.
ours_commit() {
  local start end
  start=$(date +%s%N)
  "$driver" commit "$1" "$group"
  end=$(date +%s%N)
  echo $(((end - start) / 1000))
}
# The commit of a tree it committed already, timed; writing anything moves an object's change
# time, which leaves $work/wrote behind.
unchanged_commit() {
  local before
  before=$(find "$1" -printf '%C@ %p\n' | md5sum)
  ours_commit "$1"
  [ "$(find "$1" -printf '%C@ %p\n' | md5sum)" = "$before" ] || echo "$1" >"$work/wrote"
}
setfacl_grant() { timed setfacl -R -m "g:$group:rwx,d:g:$group:rwx" "$1"; }

# System calls per object of a command on the tree $1 (every traced call counted once, those
# strace cannot name included; a call another thread interrupted is printed twice, the second
# time as "<... resumed>").
calls_per_object() {
  local tree=$1; shift
  strace -f -qq -o "$work/trace" "$@" >/dev/null
  awk -v objects="$(find "$tree" | wc -l)" '!/^[0-9]+ +(\+\+\+|---)/ && !/resumed>/ {n++} END {printf "%.2f", n / objects}' "$work/trace"
}

sizes=(${SIZES:-10000 50000 mediawiki})
for files in "${sizes[@]}"; do
  tree=$work/tree$files
  generate "$tree" "$files"
  first_ours=() first_setfacl=() again_ours=() again_setfacl=()
  for ((run = 0; run < runs; run++)); do
    if ((run % 2)); then
      reset_acl "$tree"; first_setfacl+=("$(setfacl_grant "$tree")")
      again_setfacl+=("$(setfacl_grant "$tree")")
      reset_acl "$tree"; first_ours+=("$(ours_commit "$tree")")
      again_ours+=("$(unchanged_commit "$tree")")
    else
      reset_acl "$tree"; first_ours+=("$(ours_commit "$tree")")
      ((run > 0)) || getfacl -R -p "$tree" >"$work/ours.acl"
      again_ours+=("$(unchanged_commit "$tree")")
      reset_acl "$tree"; first_setfacl+=("$(setfacl_grant "$tree")")
      if ((run == 0)); then
        getfacl -R -p "$tree" >"$work/setfacl.acl"
        cmp -s "$work/ours.acl" "$work/setfacl.acl" || { echo "the ACLs differ from setfacl's" >&2; exit 1; }
      fi
      again_setfacl+=("$(setfacl_grant "$tree")")
    fi
    [ ! -e "$work/wrote" ] || { echo "the unchanged commit wrote below $(cat "$work/wrote")" >&2; exit 1; }
  done
  report "first commit $files vs setfacl -R" "${first_ours[@]}" -- "${first_setfacl[@]}"; remember "first $files"
  report "unchanged commit $files vs setfacl -R" "${again_ours[@]}" -- "${again_setfacl[@]}"; remember "again $files"
  reset_acl "$tree"
  profile "first-commit-$files" "$driver" commit "$tree" "$group"
  profile "unchanged-commit-$files" "$driver" commit "$tree" "$group"
  if command -v strace >/dev/null; then
    echo "  system calls per object, unchanged: ours $(calls_per_object "$tree" "$driver" commit "$tree" "$group")" \
         "setfacl -R $(calls_per_object "$tree" setfacl -R -m "g:$group:rwx,d:g:$group:rwx" "$tree")"
  fi
  rm -rf "$tree"
done

if read -r small large < <(growth_pair "${sizes[@]}"); then
  echo "growth from $small to $large files (linear: $(awk -v a="$large" -v b="$small" 'BEGIN {printf "%.1f", a / b}')x):"
  for what in first again; do
    awk -v w="$what" -v o1="${time_ours[$what $small]}" -v o2="${time_ours[$what $large]}" \
        -v t1="${time_theirs[$what $small]}" -v t2="${time_theirs[$what $large]}" \
        'BEGIN {printf "  %-7s ours %.1fx   theirs %.1fx\n", w, o2 / o1, t2 / t1}'
  done
fi
