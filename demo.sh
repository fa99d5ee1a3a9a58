#!/usr/bin/env bash
# Runs what a panel runs when a site installs, configures and removes an application, on the
# guestbook package of demo/sample-app, and prints what each command did:
#   1. --extract-application             the package's files copied into the site as the site user,
#                                        uploads/ granted to and install/ denied to the worker group
#   2. --update-application-permissions  the same access rules applied again
#   3. --run-application-script          the install script run as the site user; it writes config.php
#   4. --delete-application              the application's files removed
# Everything lives under a temporary directory (registry, run directory, drive C: with the
# repository and the site) with a site user and its worker group created for the run; all of it,
# and both services, are gone when the script ends, whether it succeeds or fails.
set -euo pipefail
cd "$(dirname "$0")"

if [ "$(id -u)" -ne 0 ]; then
  cat >&2 <<'EOF'
./demo.sh needs root: it creates a site user and its worker group (useradd, groupadd), starts
the impersonation service, which runs the site's file copy and script as that user, and sets
POSIX ACLs on the site's directories. Run it again as root, for example: sudo ./demo.sh
EOF
  exit 1
fi

tools/install-deps.sh
[ -f build/build.ninja ] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build -j2 tavrix tavrix-management-service tavrix-impersonation-service >/dev/null
bin=$PWD/build/bin
package_source=$PWD/demo/sample-app
source "$PWD/tools/panel-host.sh"

umask 022
app=guestbook-1.0
user=gbdemo$$
group=IWPG_$user
work=$(mktemp -d /tmp/tavrix-demo.XXXXXX)
service_pids=()
user_made=0
group_made=0

cleanup() {
  local rc=$?
  set +e
  for pid in "${service_pids[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  ((group_made)) && groupdel "$group"
  ((user_made)) && userdel "$user"
  rm -rf "$work"
  if [ "$rc" -eq 0 ]; then echo "demo finished: services stopped, $user and $group removed, $work removed"
  else echo "demo FAILED (exit code $rc); services stopped, accounts and $work removed" >&2; fi
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- The host: drive C:, the repository, the site, the accounts, PHP, the registry -------------
useradd -M -U -s /usr/sbin/nologin "$user"
user_made=1
groupadd "$group"
group_made=1
panel_site "$work" "$package_source" "$app" "$user"
mkdir -p "$work/product/admin/logs"

export TAVRIX_REGISTRY=$work/registry.reg
panel_registry "$TAVRIX_REGISTRY" "$work/run" "$drive" \
  "\"PRODUCT_ROOT_D\"=\"$work/product\"" \
  '"Debug"=dword:00000001' \
  '' \
  '[HKEY_LOCAL_MACHINE\SOFTWARE\WOW6432Node\Kelvo\ZRC Config\Config\Packages\script.php82]' \
  '@="php"' \
  '"InstallDir"="C:\\php"'

# --- Both services, on the private run directory ------------------------------------------------
start_service() { # program, socket name below <run>/pipe
  start_panel_service "$bin" "$1" "$TAVRIX_REGISTRY" "$work/run" "$2" "$work/$1.log" || return 1
  service_pids+=("$panel_service_pid")
}
start_service tavrix-management-service "$management_pipe"
start_service tavrix-impersonation-service "$impersonation_pipe"

# --- Showing and checking ----------------------------------------------------------------------
heading() { printf '\n=== %s\n\n' "$*"; }

# Runs tavrix with the given options, prints the command line (temporary paths shortened to
# $WORK), its output and its exit code; the output stays in $output and the code in $rc.
run_tavrix() {
  echo "\$ tavrix $*" | sed "s|$work|\$WORK|g"
  set +e
  output=$("$bin/tavrix" "$@" 2>&1)
  rc=$?
  set -e
  [ -z "$output" ] || sed "s|$work|\$WORK|g" <<<"$output"
  echo "(exit code $rc)"
}

# Stops the demo with a message unless the condition holds.
expect() { # description, command...
  local what=$1; shift
  "$@" || { echo "not as expected: $what" >&2; exit 1; }
}

show_site() {
  echo "Files below the site directory (owner:group mode path):"
  (cd "$site" && find . -mindepth 1 -printf '  %u:%g %m %P\n' | sort -k3)
  for dir in "$site" "$site/uploads" "$site/install"; do
    echo
    getfacl -p "$dir" 2>/dev/null | sed "s|$work|\$WORK|g"
  done
}

owned_by_site_user() { [ "$(stat -c %U "$site/index.php")" = "$user" ]; }
acl_has() { getfacl -p "$1" 2>/dev/null | grep -qx "$2"; }
check_access_rules() {
  expect "uploads/ grants $group full access" acl_has "$site/uploads" "group:$group:rwx"
  expect "install/ denies $group all access" acl_has "$site/install" "group:$group:---"
}

printf '%s\n' "site user $user, worker group $group, repository C:\\data\\var\\cgitory, site" \
  "C:\\vhosts\\demo.example\\httpdocs (C: is \$WORK/c, \$WORK is $work)"

# --- 1. Extract -----------------------------------------------------------------------------
heading "1. Extract the package into the site"
run_tavrix --extract-application "${site_options[@]}" "$metadata"
expect "the extraction succeeds" test "$rc" -eq 0
show_site
expect "the site's files belong to $user" owned_by_site_user
check_access_rules

# --- 2. Update permissions -------------------------------------------------------------------
heading "2. Apply the package's access rules again (after a chmod -R 755 of the site)"
chmod -R 755 "$site"
run_tavrix --update-application-permissions "${site_options[@]}" "$metadata"
expect "the permission update succeeds" test "$rc" -eq 0
getfacl -p "$site/uploads" "$site/install" | sed "s|$work|\$WORK|g"
check_access_rules

# --- 3. Run the install script ---------------------------------------------------------------
heading "3. Run the install script as the site user"
panel_script_request "$work/request.xml" demo "Demo guestbook"
echo "The request file:"
sed "s|$work|\$WORK|g" "$work/request.xml"
echo
run_tavrix --run-application-script --application-full-name=$app --script-filename=install \
  --script-name=install --user-name="$user" --fsa-xml-file="$work/request.xml"
expect "the install script succeeds" test "$rc" -eq 0
echo
echo "What tavrix logged of the run (the daily log file):"
for log in "$work"/product/admin/logs/*.log; do
  iconv -f UTF-16 -t UTF-8 "$log" | tr -d '\r' | sed -n '/Calling /,$p' | sed "s|$work|\$WORK|g"
done
echo
echo "config.php, written by the script ($(stat -c '%U:%G %a' "$site/config.php")):"
sed 's/^/  /' "$site/config.php"
expect "config.php belongs to $user" test "$(stat -c %U "$site/config.php")" = "$user"
expect "config.php holds the request's database name" grep -q "'guestbook_demo'" "$site/config.php"

# --- 4. Delete -------------------------------------------------------------------------------
heading "4. Delete the application's files"
# What the package put at the top of the site directory, and the file its script wrote.
mapfile -t installed < <(find "$repository/$app/htdocs" -mindepth 1 -maxdepth 1 -printf '%f\n' | sort)
installed+=(config.php)
{
  echo '<files><SECTION PREFIX="htdocs">'
  for entry in "${installed[@]}"; do echo "  <FILE>$entry</FILE>"; done
  echo '</SECTION></files>'
} > "$work/files.xml"
echo "The file list:"
cat "$work/files.xml"
echo
run_tavrix --delete-application "${site_options[@]}" --files="$work/files.xml"
expect "the deletion succeeds" test "$rc" -eq 0
echo "Left in the site directory: $(find "$site" -mindepth 1 -maxdepth 1 -printf '%f ')"
for entry in "${installed[@]}"; do
  expect "$entry is removed" test ! -e "$site/$entry"
done
