#!/bin/bash
# Builds the Debian package with dpkg-buildpackage, installs it on this machine and takes it away
# again, checking what an operator relies on: lintian finds nothing, the files are in place with
# their manual pages, --version and --help work and write nothing, the tool and both services
# work from the installed files (started through their socket units where systemd runs, by hand
# otherwise) for all four commands on a real site, a changed configuration file survives a
# reinstall, and a purge leaves nothing behind.
# Installs system-wide, so it is not part of ./test.sh. Run as root: packaging/test-deb.sh
set -u

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: installing a package needs root"
  exit 0
fi
if dpkg-query -W -f='${Status}' tavrix 2>/dev/null | grep -q installed; then
  echo "SKIP: a tavrix package is already installed here; this test would replace and purge it"
  exit 0
fi

root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/install-deps.sh" debhelper dpkg-dev lintian man-db
work=$(mktemp -d /tmp/tavrix-deb-test.XXXXXX)
units="tavrix-management-service tavrix-impersonation-service"
impersonation_pipe="ZRC_pipe {110D2F0F-F073-4021-AB73-C7886FB9BD1E}"
failures=0
service_pids=""
site_user=tvxdeb$$
site_user_made=0

ok() { echo "ok   - $*"; }
fail() { echo "FAIL - $*"; failures=$((failures + 1)); }
check() { # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then ok "$what"; else fail "$what"; fi
}

# The trees a package may leave something in; dpkg's and apt's own records change by design, and
# the account database's lock files come and go while other tests here make accounts.
snapshot() {
  find /etc /usr /lib /var/lib /var/log /opt /srv -xdev \
    -path /var/lib/dpkg -prune -o -path /var/lib/apt -prune -o -path /var/log/apt -prune -o \
    -print 2>/dev/null | grep -Ev '^/etc/[^/]+\.lock$' | LC_ALL=C sort
}
accounts() { getent passwd | cut -d: -f1,6 | LC_ALL=C sort; getent group | cut -d: -f1 | LC_ALL=C sort; }

# Tests elsewhere that run the tool without a private registry leave /var/lib/tavrix and
# /run/tavrix behind; a purge removes them, so they are kept aside and put back at the end.
for dir in /var/lib/tavrix /run/tavrix; do
  if [ -e "$dir" ]; then
    mkdir -p "$work/saved$(dirname "$dir")" && cp -a "$dir" "$work/saved$dir"
  fi
done

cleanup() {
  for pid in $service_pids; do kill "$pid" 2>/dev/null; done
  if [ "$site_user_made" -eq 1 ]; then groupdel "IWPG_$site_user"; userdel "$site_user"; fi
  if dpkg-query -W -f='${Status}' tavrix 2>/dev/null | grep -q 'ok installed\|config-files'; then
    dpkg --purge tavrix >/dev/null 2>&1
  fi
  # What is there now came from the package (a purge that failed to remove it): replaced.
  for dir in /var/lib/tavrix /run/tavrix; do
    if [ -e "$work/saved$dir" ]; then rm -rf "$dir" && cp -a "$work/saved$dir" "$dir"; fi
  done
  rm -rf "$work"
}
trap cleanup EXIT

echo "# building the package"
deb=$("$root/packaging/build-deb.sh" | tail -n 1)
if [ ! -f "$deb" ]; then
  echo "FAIL - packaging/build-deb.sh made no package"
  exit 1
fi
ok "built $(basename "$deb")"
check "... with its -dbgsym package" sh -c "ls '$(dirname "$deb")'/tavrix-dbgsym_*.deb >/dev/null"
# lintian warns when it runs as root: it runs as nobody.
runuser -u nobody -- env HOME=/tmp lintian --fail-on error,warning \
  "$(dirname "$deb")"/tavrix_*.changes >"$work/lintian.log" 2>&1
check "lintian finds no error and no warning" test $? -eq 0 -a ! -s "$work/lintian.log"
sed 's/^/       /' "$work/lintian.log"
version=$(cd "$root" && dpkg-parsechangelog -S Version)

# A purge must bring these trees back to this state; /var/lib/tavrix and /run/tavrix included.
rm -rf /var/lib/tavrix /run/tavrix
snapshot >"$work/before.files"
accounts >"$work/before.accounts"

echo "# dpkg -i"
if dpkg -i "$deb" >"$work/install.log" 2>&1; then ok "dpkg -i"; else fail "dpkg -i"; cat "$work/install.log"; exit 1; fi

for program in tavrix tavrix-management-service tavrix-impersonation-service; do
  check "/usr/sbin/$program is an executable" test -x "/usr/sbin/$program"
done
for unit in $units; do
  check "unit $unit installed" test -f "/lib/systemd/system/$unit.service"
  check "unit $unit starts /usr/sbin/$unit" grep -qx "ExecStart=/usr/sbin/$unit" "/lib/systemd/system/$unit.service"
  check "unit $unit enabled" test "$(readlink "/etc/systemd/system/multi-user.target.wants/$unit.service")" = \
    "/lib/systemd/system/$unit.service"
  check "socket unit $unit enabled" test "$(readlink "/etc/systemd/system/sockets.target.wants/$unit.socket")" = \
    "/lib/systemd/system/$unit.socket"
done
check "the management socket unit listens on /run/tavrix/pipe/zrcpipe" \
  grep -qx "ListenSequentialPacket=/run/tavrix/pipe/zrcpipe" /lib/systemd/system/tavrix-management-service.socket
check "the impersonation socket unit listens on /run/tavrix/pipe/$impersonation_pipe" \
  grep -qxF "ListenSequentialPacket=/run/tavrix/pipe/$impersonation_pipe" \
  /lib/systemd/system/tavrix-impersonation-service.socket
check "the impersonation unit delegates its control group" \
  grep -qx "Delegate=yes" /lib/systemd/system/tavrix-impersonation-service.service
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify /lib/systemd/system/tavrix-*.service /lib/systemd/system/tavrix-*.socket \
    >"$work/verify.log" 2>&1
  check "systemd-analyze verify finds nothing in the units" test $? -eq 0 -a ! -s "$work/verify.log"
fi
for page in tavrix tavrix-services; do
  MANWIDTH=80 man -l "/usr/share/man/man8/$page.8.gz" >"$work/$page.txt" 2>"$work/$page.err"
  check "man -l renders $page(8)" test $? -eq 0 -a -s "$work/$page.txt" -a ! -s "$work/$page.err"
done
for page in tavrix-management-service tavrix-impersonation-service; do
  check "man finds $page(8)" sh -c "man -w $page >/dev/null 2>&1"
done
check "/etc/tavrix/registry.reg is a conffile" \
  sh -c "dpkg-query -W -f='\${Conffiles}' tavrix | grep -q '^ /etc/tavrix/registry.reg '"
check "/etc/tavrix/registry.reg is UTF-8 text" sh -c 'iconv -f UTF-8 -t UTF-8 /etc/tavrix/registry.reg >/dev/null'
mode() { stat -c '%a %U:%G' "$1" 2>/dev/null; }
check "/var/lib/tavrix made, 755 root" test "$(mode /var/lib/tavrix)" = "755 root:root"
check "/run/tavrix made, 755 root" test "$(mode /run/tavrix)" = "755 root:root"
check "/run/tavrix/lock made, 755 root" test "$(mode /run/tavrix/lock)" = "755 root:root"
check "/run/tavrix/pipe made, 755 root" test "$(mode /run/tavrix/pipe)" = "755 root:root"

echo "# --version and --help"
# What the tool's state, run and configuration directories hold, with owners, modes and sizes.
state() {
  find /var/lib/tavrix /run/tavrix /etc/tavrix -printf '%p %u %m %s %T@\n' 2>/dev/null | LC_ALL=C sort
}
state >"$work/state.before"
tavrix_plain() { env -u TAVRIX_REGISTRY -u TAVRIX_OPERATOR_REGISTRY -u TAVRIX_TOOL_REGISTRY "$@"; }
tavrix_plain tavrix --version >"$work/version.txt" 2>&1
check "tavrix --version exits 0" test $? -eq 0
check "tavrix --version prints 'tavrix $version (<commit>)'" grep -qx "tavrix $version ([0-9a-z]*)" "$work/version.txt"
tavrix_plain tavrix --help >"$work/help.txt" 2>&1
check "tavrix --help exits 0" test $? -eq 0
check "tavrix --help prints the usage" grep -q "^usage: tavrix" "$work/help.txt"
tavrix_plain runuser -u nobody -- /usr/sbin/tavrix --help >/dev/null 2>&1
check "tavrix --help exits 0 for a user other than root" test $? -eq 0
state >"$work/state.after"
if diff "$work/state.before" "$work/state.after" >"$work/state.diff"; then
  ok "--version and --help, as root and as nobody, changed nothing in /var/lib/tavrix, /run/tavrix, /etc/tavrix"
else
  fail "--version or --help changed /var/lib/tavrix, /run/tavrix or /etc/tavrix:"
  sed 's/^/       /' "$work/state.diff"
fi

# Starts a service by hand, as its unit's ExecStart does, on the installed configuration; waits
# for its "listening on" line.
start_service() { # start_service UNIT LOG [OPTIONS...]
  local program log=$2
  program=$(sed -n 's/^ExecStart=//p' "/lib/systemd/system/$1.service")
  shift 2
  env -u TAVRIX_REGISTRY -u TAVRIX_OPERATOR_REGISTRY -u TAVRIX_TOOL_REGISTRY \
    $program "$@" 2>"$log" &
  started_pid=$!
  service_pids="$service_pids $started_pid"
  for _ in $(seq 50); do
    grep -qs "listening on" "$log" && return 0
    kill -0 "$started_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
# Stops a service started by hand with SIGTERM; true when it ended with 0.
stop_service() {
  kill -TERM "$1" && wait "$1"
}

# The four commands as the panel runs them, through the installed services, on a site of a user
# made for it: the demo's package, request and file list. The tool's own registry file (which the
# purge removes) says where drive C: and PHP are and that every message goes to the daily log.
source "$root/tools/panel-host.sh"
setup_site() {
  useradd -M -U -s /usr/sbin/nologin "$site_user" && groupadd "IWPG_$site_user" && site_user_made=1 &&
    panel_site "$work" "$root/demo/sample-app" guestbook-1.0 "$site_user" &&
    mkdir "$work/product" &&
    panel_registry /var/lib/tavrix/registry.reg /run/tavrix "$drive" \
      "\"PRODUCT_ROOT_D\"=\"$work/product\"" '"Debug"=dword:00000001' '' \
      '[HKEY_LOCAL_MACHINE\SOFTWARE\WOW6432Node\Kelvo\ZRC Config\Config\Packages\script.php82]' \
      '@="php"' '"InstallDir"="C:\\php"'
}
# tavrix_command NAME OPTIONS...: runs the installed tool, its output kept in $work/NAME.log.
tavrix_command() {
  local name=$1
  shift
  if tavrix_plain /usr/sbin/tavrix "$@" >"$work/$name.log" 2>&1; then
    ok "tavrix $1 through the installed services exits 0"
  else
    fail "tavrix $1 through the installed services exits 0:"
    sed 's/^/       /' "$work/$name.log"
  fi
}
run_commands() {
  if ! setup_site; then
    fail "the site is set up"
    return
  fi
  tavrix_command extract --extract-application "${site_options[@]}" "$metadata"
  check "... copied index.php into the site as $site_user" \
    test "$(stat -c %U "$site/index.php" 2>/dev/null)" = "$site_user"
  chmod -R 755 "$site"
  tavrix_command update --update-application-permissions "${site_options[@]}" "$metadata"
  check "... gave uploads/ back to IWPG_$site_user after a chmod -R" \
    sh -c "getfacl -cpe '$site/uploads' 2>/dev/null | grep -q '^group:IWPG_$site_user:rwx.*effective:rwx'"
  panel_script_request "$work/request.xml" deb "Package test"
  tavrix_command script --run-application-script --application-full-name=guestbook-1.0 \
    --script-filename=install --script-name=install --user-name="$site_user" --fsa-xml-file="$work/request.xml"
  check "... its install script wrote config.php as $site_user" \
    test "$(stat -c %U "$site/config.php" 2>/dev/null)" = "$site_user"
  {
    echo '<files><SECTION PREFIX="htdocs">'
    find "$repository/guestbook-1.0/htdocs" -mindepth 1 -maxdepth 1 -printf '  <FILE>%f</FILE>\n'
    echo '  <FILE>config.php</FILE>'
    echo '</SECTION></files>'
  } >"$work/files.xml"
  tavrix_command delete --delete-application "${site_options[@]}" --files="$work/files.xml"
  check "... left the application's directory empty" test -z "$(ls -A "$site" 2>/dev/null)"
  # Read as the manual page and the README say; the tool made the log directory below the
  # panel's installation root.
  check "the daily log, read through iconv, holds the four commands' ends" \
    test "$(iconv -f UTF-16LE -t UTF-8 "$work"/product/admin/logs/kelvolog_debug*.log 2>/dev/null |
      tr -d '\r' | grep -c "^.* End command '.*' with code: 0$")" = 4
}

echo "# the services"
if [ -d /run/systemd/system ]; then
  # Stopped, the services are started again by the first connection to their sockets.
  systemctl stop $units
  for unit in $units; do
    check "$unit.socket starts" systemctl start "$unit.socket"
  done
  check "the management socket is 0666 root" test "$(mode /run/tavrix/pipe/zrcpipe)" = "666 root:root"
  run_commands
  for unit in $units; do
    check "$unit started by its socket under systemd" systemctl is-active --quiet "$unit.service"
  done
else
  echo "# systemd is not running as PID 1 here: starting the services by hand"
  start_service tavrix-management-service "$work/management.log"
  check "management service listens on /run/tavrix/pipe/zrcpipe" \
    sh -c "[ -S /run/tavrix/pipe/zrcpipe ] && grep -q 'listening on /run/tavrix/pipe/zrcpipe' '$work/management.log'"
  management=$started_pid
  start_service tavrix-impersonation-service "$work/impersonation.log"
  check "impersonation service listens on /run/tavrix/pipe/$impersonation_pipe" test -S "/run/tavrix/pipe/$impersonation_pipe"
  impersonation=$started_pid
  run_commands
  check "management service stops cleanly on SIGTERM" stop_service "$management"
  check "impersonation service stops cleanly on SIGTERM" stop_service "$impersonation"
  service_pids=""
fi

# Every example of the shipped file, uncommented, must be a store the tool reads: the service
# is pointed at such a copy with its own socket name and must listen under that name.
sed -e 's/^;\([["@]\)/\1/' -e 's/^"zrcpipe"=.*/"zrcpipe"="examples-check"/' /etc/tavrix/registry.reg \
  >"$work/examples.reg"
if start_service tavrix-management-service "$work/examples.log" --registry="$work/examples.reg" \
  --run-directory="$work/run"; then
  check "registry.reg with its examples uncommented is read" test -S "$work/run/pipe/examples-check"
  check "... and the service stops cleanly" stop_service "$started_pid"
else
  fail "registry.reg with its examples uncommented is read"
  cat "$work/examples.log"
fi
service_pids=""

echo "# dpkg -i of the same version again"
echo "; changed by the package test" >>/etc/tavrix/registry.reg
if dpkg -i "$deb" </dev/null >"$work/reinstall.log" 2>&1; then ok "dpkg -i again"; else fail "dpkg -i again"; cat "$work/reinstall.log"; fi
check "the changed /etc/tavrix/registry.reg is kept" grep -qx "; changed by the package test" /etc/tavrix/registry.reg

echo "# dpkg -r"
if dpkg -r tavrix >"$work/remove.log" 2>&1; then ok "dpkg -r"; else fail "dpkg -r"; cat "$work/remove.log"; fi
check "executables removed" sh -c '! ls /usr/sbin/tavrix* >/dev/null 2>&1'
check "the operator's registry file kept on removal" test -f /etc/tavrix/registry.reg
check "the tool's state kept on removal" test -d /var/lib/tavrix

echo "# dpkg --purge"
if dpkg --purge tavrix >"$work/purge.log" 2>&1; then ok "dpkg --purge"; else fail "dpkg --purge"; cat "$work/purge.log"; fi
check "package gone" sh -c "! dpkg-query -W -f='\${Status}' tavrix 2>/dev/null | grep -q 'installed\|config-files'"
check "/run/tavrix removed" test ! -e /run/tavrix
snapshot >"$work/after.files"
if diff "$work/before.files" "$work/after.files" >"$work/files.diff"; then
  ok "no file or directory left or taken away (/etc /usr /lib /var/lib /var/log /opt /srv)"
else
  fail "files differ after the purge:"
  sed 's/^/       /' "$work/files.diff"
fi
accounts >"$work/after.accounts"
# Other tests on this machine create and remove accounts meanwhile: only ours would name tavrix.
if diff "$work/before.accounts" "$work/after.accounts" | grep '^>' | grep -qi tavrix; then
  fail "an account naming tavrix was left"
else
  ok "no account left"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
