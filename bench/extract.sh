#!/usr/bin/env bash
# `tavrix --extract-application` against the two-tool pipeline, on PHP packages of 10,000 and
# 50,000 files made by the driver's generator, with two of the package's top-level directories
# writable by the worker group. Ours: the whole process (the repository checks, the copy as the
# site user through the impersonation service, the grants and the commit with its drift repair),
# against both reference services. Theirs: `setpriv ... cp -r --preserve=mode,timestamps` as the
# same user into a fresh directory, then `setfacl -R -m g:G:rwx,d:g:G:rwx` on the same two
# directories. Each run starts from fresh targets after a `sync`, the two alternating which goes
# first. Prints medians and min-max, the ratio and the growth from the first size to the second.
# Needs root: it creates a user and its worker group, removed at the end. PROFILE_DIR: see
# bench/common.sh.
#   bench/extract.sh [runs]     (default 5; SIZES overrides "10000 50000 mediawiki": numbers are
#   generated trees of that many files, names Debian packages whose /usr/share tree is used)
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "bench/extract.sh needs root" >&2; exit 1; }
source bench/common.sh
source tools/panel-host.sh
ninja -C "$build" ${JOBS:+-j"$JOBS"} tavrix tavrix-management-service tavrix-impersonation-service >/dev/null
tavrix=$(realpath "$build/bin/tavrix")

runs=${1:-5}
user=tvxbench$$
group=IWPG_$user
useradd --no-create-home --shell /usr/sbin/nologin "$user"
cleanups+=("userdel '$user' 2>/dev/null")
groupadd "$group"
cleanups+=("groupdel '$group' 2>/dev/null")
uid=$(id -u "$user") gid=$(id -g "$user")

drive=$work/c
site=$drive/vhosts/$user/httpdocs
repository=$drive/data/var/cgitory/bench
mkdir -p "$site" "$drive/data" "$work/theirs"
chown -R "$uid:$gid" "$drive/vhosts/$user" "$work/theirs"
chmod 755 "$work" "$drive" "$drive/vhosts" "$drive/data"

registry=$work/registry.reg
panel_registry "$registry" "$work/run" "$drive"

# Both reference services on the private run directory, stopped at the end.
for service in "tavrix-management-service:$management_pipe" \
               "tavrix-impersonation-service:$impersonation_pipe"; do
  start_panel_service "$build/bin" "${service%%:*}" "$registry" "$work/run" "${service#*:}" \
    "$work/${service%%:*}.log"
  cleanups+=("kill $panel_service_pid 2>/dev/null; wait $panel_service_pid 2>/dev/null")
done

extraction=(env TAVRIX_REGISTRY="$registry" "$tavrix" --extract-application --application-full-name=bench
  --www-root="C:\\vhosts\\$user\\httpdocs" --user-name="$user" --application-subdirectory=app
  --metadata-file="$repository/APP-META.xml")
extract_application() { "${extraction[@]}" >"$work/ours.out"; }
two_tools() {
  setpriv --reuid="$uid" --regid="$gid" --init-groups cp -r --preserve=mode,timestamps \
    "$repository/htdocs" "$work/theirs/app"
  setfacl -R -m "g:$group:rwx,d:g:$group:rwx" "${writable[@]/#/$work/theirs/app/}"
}
ours_extract() { timed extract_application; }
theirs_extract() { timed two_tools; }

declare -A time_ours time_theirs
sizes=(${SIZES:-10000 50000 mediawiki})
for files in "${sizes[@]}"; do
  rm -rf "$repository"
  generate "$repository/htdocs" "$files"
  mapfile -t writable < <(find "$repository/htdocs" -mindepth 1 -maxdepth 1 -type d -printf '%f\n' | sort | head -2)
  { echo "<application xmlns='http://tavrix.dev/app-package/ns/1' xmlns:php='http://tavrix.dev/app-package/ns/1/php'>"
    echo "<mapping url='/' path='htdocs'>"
    for dir in "${writable[@]}"; do echo "<mapping url='$dir'><php:permissions writable='true'/></mapping>"; done
    echo "</mapping></application>"; } >"$repository/APP-META.xml"
  echo "writable: ${writable[*]} ($(find "${writable[@]/#/$repository/htdocs/}" | wc -l) entries)"
  ours=() theirs=()
  for ((run = 0; run < runs; run++)); do
    rm -rf "$site/app" "$drive/vhosts/$user/.kelvo" "$work/theirs/app"
    sync
    if ((run % 2)); then
      theirs+=("$(theirs_extract)"); sync; ours+=("$(ours_extract)"); sync
    else
      ours+=("$(ours_extract)"); sync; theirs+=("$(theirs_extract)"); sync
    fi
    [ "$(find "$site/app" -type f | wc -l)" -eq "$tree_files" ] || { echo "the extraction is incomplete" >&2; exit 1; }
    [ -z "$(find "$site/app" ! -user "$user")" ] || { echo "the extraction left files not the user's" >&2; exit 1; }
    getfacl -p "$site/app/${writable[0]}" | grep -qx "default:group:$group:rwx" ||
      { echo "the writable directory lacks the group's grant" >&2; exit 1; }
  done
  rm -rf "$site/app" "$drive/vhosts/$user/.kelvo"
  profile "extract-$files" "${extraction[@]}"
  report "extract $files vs cp + setfacl" "${ours[@]}" -- "${theirs[@]}"
  time_ours[$files]=$ours_median time_theirs[$files]=$theirs_median
done

if read -r small large < <(growth_pair "${sizes[@]}"); then
  growth "$small" "$large" "${time_ours[$small]}" "${time_ours[$large]}" "${time_theirs[$small]}" "${time_theirs[$large]}"
fi
