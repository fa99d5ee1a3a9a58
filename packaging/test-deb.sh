#!/bin/bash
# Installs the Debian package on this machine and takes it away again, checking what an operator
# relies on: the files in place, the state and run directories, the enabled units, the tool and
# both services working from the installed files (started through their socket units where
# systemd runs, by hand otherwise), one real extraction through them into a site, and a purge
# that leaves nothing behind.
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

# The trees a package may leave something in; dpkg's and apt's own records change by design.
snapshot() {
  find /etc /usr /lib /var/lib /var/log /opt /srv -xdev \
    -path /var/lib/dpkg -prune -o -path /var/lib/apt -prune -o -path /var/log/apt -prune -o \
    -print 2>/dev/null | LC_ALL=C sort
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
check "/etc/tavrix/registry.reg is a conffile" \
  sh -c "dpkg-query -W -f='\${Conffiles}' tavrix | grep -q '^ /etc/tavrix/registry.reg '"
check "/etc/tavrix/registry.reg is UTF-8 text" sh -c 'iconv -f UTF-8 -t UTF-8 /etc/tavrix/registry.reg >/dev/null'
mode() { stat -c '%a %U:%G' "$1" 2>/dev/null; }
check "/var/lib/tavrix made, 755 root" test "$(mode /var/lib/tavrix)" = "755 root:root"
check "/run/tavrix made, 755 root" test "$(mode /run/tavrix)" = "755 root:root"
check "/run/tavrix/lock made, 755 root" test "$(mode /run/tavrix/lock)" = "755 root:root"
check "/run/tavrix/pipe made, 755 root" test "$(mode /run/tavrix/pipe)" = "755 root:root"

echo "# the README's first command"
env -u TAVRIX_REGISTRY -u TAVRIX_OPERATOR_REGISTRY -u TAVRIX_TOOL_REGISTRY \
  tavrix --help >"$work/help.txt" 2>&1
check "tavrix --help exits 0" test $? -eq 0
check "tavrix --help prints the usage" grep -q "^usage: tavrix" "$work/help.txt"
runuser -u nobody -- env -u TAVRIX_REGISTRY /usr/sbin/tavrix --help >/dev/null 2>&1
check "tavrix --help exits 0 for a user other than root" test $? -eq 0

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

# One real extraction, as the panel runs it, through the installed services: the demo's package
# into a site of a user made for it, on the installed registry files (the tool's own file, which
# the purge removes, says where drive C: is) and the default run directory.
source "$root/tools/panel-host.sh"
extract() {
  useradd -M -U -s /usr/sbin/nologin "$site_user" && groupadd "IWPG_$site_user" && site_user_made=1 &&
    panel_site "$work" "$root/demo/sample-app" guestbook-1.0 "$site_user" &&
    mkdir -p "$work/product/admin/logs" &&
    panel_registry /var/lib/tavrix/registry.reg /run/tavrix "$drive" "\"PRODUCT_ROOT_D\"=\"$work/product\"" ||
    return 1
  env -u TAVRIX_REGISTRY -u TAVRIX_OPERATOR_REGISTRY -u TAVRIX_TOOL_REGISTRY \
    /usr/sbin/tavrix --extract-application "${site_options[@]}" "$metadata" >"$work/extract.log" 2>&1
}
check_extraction() {
  if extract; then
    ok "tavrix --extract-application through the installed services exits 0"
  else
    fail "tavrix --extract-application through the installed services exits 0:"
    sed 's/^/       /' "$work/extract.log"
  fi
  check "... and copied the package's index.php into the site as $site_user" \
    test "$(stat -c %U "$site/index.php" 2>/dev/null)" = "$site_user"
}

echo "# the services"
if [ -d /run/systemd/system ]; then
  # Stopped, the services are started again by the first connection to their sockets.
  systemctl stop $units
  for unit in $units; do
    check "$unit.socket starts" systemctl start "$unit.socket"
  done
  check "the management socket is 0666 root" test "$(mode /run/tavrix/pipe/zrcpipe)" = "666 root:root"
  check_extraction
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
  check_extraction
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
