#!/usr/bin/env bash
# The foundation against the standard tools, side by side, on trees of 10,000 and 50,000 files
# shaped like PHP applications:
#   - the tree copy acting as a created user, against
#     `setpriv --reuid=U --regid=G --init-groups cp -r --preserve=mode,timestamps`, each into an
#     empty directory the user owns;
#   - the forced tree removal against `rm -rf`, each on one of those two copies, right after a
#     `sync` (a tree still in the page cache removes several times faster);
#   - a descriptor write with one inheritable grant (0x1F01FF, object and container inherit) for
#     a created group at the tree's root, with its projection onto the tree, against
#     `setfacl -R -m g:G:rwx,d:g:G:rwx` (the first run checks that both leave the same ACLs).
# Each pair runs several times, the two tools alternating which goes first; the script prints
# the median and min-max of each, the three ratios, and how each time grows from the first size
# to the second (linear growth is the ratio of the sizes). Needs root.
#   bench/foundation.sh [runs]     (default 5; SIZES overrides "10000 50000")
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "bench/foundation.sh needs root" >&2; exit 1; }
source bench/common.sh

runs=${1:-5}
user=tvxbu$$
group=tvxbg$$
useradd -M -N -s /usr/sbin/nologin "$user"
cleanups+=("userdel '$user'")
groupadd "$group"
cleanups+=("groupdel '$group'")
uid=$(id -u "$user")
gid=$(id -g "$user")
read -ra groups <<<"$(id -G "$user")"

declare -A time_ours time_theirs
remember() { time_ours[$1]=$ours_median; time_theirs[$1]=$theirs_median; }

fresh_target() { rm -rf "$1"; mkdir "$1"; chown "$user:$gid" "$1"; }
reset_acl() {
  setfacl -R -b "$1"
  setfattr -x trusted.tavrix.ntacl "$1" 2>/dev/null || true
  sync
}

sizes=(${SIZES:-10000 50000})
for files in "${sizes[@]}"; do
  src=$work/src$files
  generate "$src" "$files"
  copy_ours=() copy_cp=() rm_ours=() rm_rm=() acl_ours=() acl_setfacl=()
  for ((run = 0; run < runs; run++)); do
    fresh_target "$work/ours"
    fresh_target "$work/cp"
    sync
    ours_copy() { timed "$driver" copy "$src" "$work/ours/t" "$uid" "$gid" "${groups[@]}"; }
    cp_copy() {
      timed setpriv --reuid="$uid" --regid="$gid" --init-groups \
        cp -r --preserve=mode,timestamps "$src" "$work/cp/t"
    }
    if ((run % 2)); then
      copy_cp+=("$(cp_copy)"); sync; copy_ours+=("$(ours_copy)"); sync
    else
      copy_ours+=("$(ours_copy)"); sync; copy_cp+=("$(cp_copy)"); sync
    fi
    diff -r "$src" "$work/ours/t" >/dev/null || { echo "copy differs from the source" >&2; exit 1; }
    [ "$(stat -c %U "$work/ours/t")" = "$user" ] || { echo "copy is not the user's" >&2; exit 1; }

    if ((run % 2)); then
      rm_rm+=("$(timed rm -rf "$work/cp/t")"); sync; rm_ours+=("$(timed "$driver" remove "$work/ours/t")"); sync
    else
      rm_ours+=("$(timed "$driver" remove "$work/ours/t")"); sync; rm_rm+=("$(timed rm -rf "$work/cp/t")"); sync
    fi
    [ ! -e "$work/ours/t" ] || { echo "removal left the tree" >&2; exit 1; }

    ours_grant() { timed "$driver" grant "$src" "$group"; }
    setfacl_grant() { timed setfacl -R -m "g:$group:rwx,d:g:$group:rwx" "$src"; }
    if ((run % 2)); then
      reset_acl "$src"; acl_setfacl+=("$(setfacl_grant)")
      reset_acl "$src"; acl_ours+=("$(ours_grant)")
    else
      reset_acl "$src"; acl_ours+=("$(ours_grant)")
      ((run > 0)) || getfacl -R -p "$src" >"$work/ours.acl"
      reset_acl "$src"; acl_setfacl+=("$(setfacl_grant)")
      if ((run == 0)); then
        getfacl -R -p "$src" >"$work/setfacl.acl"
        cmp -s "$work/ours.acl" "$work/setfacl.acl" || { echo "the ACLs differ from setfacl's" >&2; exit 1; }
      fi
    fi
  done
  report "copy $files as a user vs cp -r" "${copy_ours[@]}" -- "${copy_cp[@]}"; remember "copy $files"
  report "remove $files vs rm -rf" "${rm_ours[@]}" -- "${rm_rm[@]}"; remember "remove $files"
  report "grant $files vs setfacl -R" "${acl_ours[@]}" -- "${acl_setfacl[@]}"; remember "grant $files"
  rm -rf "$src"
done

if ((${#sizes[@]} == 2)); then
  small=${sizes[0]} large=${sizes[1]}
  echo "growth from $small to $large files (linear: $(awk -v a="$large" -v b="$small" 'BEGIN {printf "%.1f", a / b}')x):"
  for what in copy remove grant; do
    awk -v w="$what" -v o1="${time_ours[$what $small]}" -v o2="${time_ours[$what $large]}" \
        -v t1="${time_theirs[$what $small]}" -v t2="${time_theirs[$what $large]}" \
        'BEGIN {printf "  %-7s ours %.1fx   theirs %.1fx\n", w, o2 / o1, t2 / t1}'
  done
fi
