#!/usr/bin/env bash
# `tavrix --delete-application` against `rm -rf`, on applications of 10,000 and 50,000 files
# made by the driver's generator. The file list has one FILE entry per top-level item of the
# application; rm -rf gets the same items. Each run copies the application twice (cp -a), syncs,
# and times both removals, each right after a `sync`, the two alternating which goes first. The
# whole process is timed on our side: start-up, the registry, the per-user lock, the list's
# parsing and the confinement checks included. Prints the median and min-max of each, the ratio,
# and how each time grows from the first size to the second. Needs root (the tool's run directory
# and lock are private to this run, under the work directory).
#   bench/delete.sh [runs]     (default 5; SIZES overrides "10000 50000 mediawiki": numbers are
#   generated trees of that many files, names Debian packages whose /usr/share tree is used)
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "bench/delete.sh needs root" >&2; exit 1; }
source bench/common.sh
ninja -C "$build" ${JOBS:+-j"$JOBS"} tavrix >/dev/null
tavrix=$(realpath "$build/bin/tavrix")

runs=${1:-5}
registry=$work/registry.reg
printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n"RunDirectory"="%s"\n' \
  "$work/run" >"$registry"

declare -A time_ours time_theirs
deletion=(env TAVRIX_REGISTRY="$registry" "$tavrix" --delete-application --application-full-name=bench
  --www-root="$work/ours" --user-name=bench --application-subdirectory=app --files="$work/files.xml")
delete_application() { "${deletion[@]}"; }
ours_delete() { timed delete_application; }
theirs_delete() { timed rm -rf -- "$work"/theirs/app/*; }

sizes=(${SIZES:-10000 50000 mediawiki})
for files in "${sizes[@]}"; do
  src=$work/src$files
  generate "$src" "$files"
  { echo '<files><SECTION PREFIX="htdocs">'
    find "$src" -mindepth 1 -maxdepth 1 -printf '<FILE>%f</FILE>\n'
    echo '</SECTION></files>'; } >"$work/files.xml"
  echo "file list: $(grep -c '<FILE>' "$work/files.xml") entries"
  ours=() theirs=()
  for ((run = 0; run < runs; run++)); do
    for side in ours theirs; do rm -rf "$work/$side"; mkdir -p "$work/$side"; cp -a "$src" "$work/$side/app"; done
    sync
    if ((run % 2)); then
      theirs+=("$(theirs_delete)"); sync; ours+=("$(ours_delete)"); sync
    else
      ours+=("$(ours_delete)"); sync; theirs+=("$(theirs_delete)"); sync
    fi
    [ -z "$(ls -A "$work/ours/app")" ] || { echo "the deletion left files" >&2; exit 1; }
  done
  rm -rf "$work/ours" && mkdir -p "$work/ours" && cp -a "$src" "$work/ours/app" && sync
  profile "delete-$files" "${deletion[@]}"
  report "delete $files vs rm -rf" "${ours[@]}" -- "${theirs[@]}"
  time_ours[$files]=$ours_median time_theirs[$files]=$theirs_median
  rm -rf "$src" "$work/ours" "$work/theirs"
done

if read -r small large < <(growth_pair "${sizes[@]}"); then
  growth "$small" "$large" "${time_ours[$small]}" "${time_ours[$large]}" "${time_theirs[$small]}" "${time_theirs[$large]}"
fi
