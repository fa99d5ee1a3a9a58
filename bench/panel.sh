#!/bin/bash
# bench/panel.sh [count]: getString round trips (default 10,000) of the management-service client
# against a running tavrix-management-service on a private registry and run directory; prints
# the median and 99th-percentile latency. Builds Release into $BUILD_DIR (default build-bench).
# bench/panel.sh soak [connections]: the service's resident memory and descriptors before and
# after that many connections (default 50,000), one round trip each; then the latency of root's
# round trips while an unprivileged user floods the socket with connects, and how many lines the
# service logged for them.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=latency
if [ "${1:-}" = soak ]; then mode=soak; shift; fi
count=${1:-10000}
[ "$mode" = soak ] && count=${1:-50000}
build=${BUILD_DIR:-build-bench}
[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C "$build" ${JOBS:+-j"$JOBS"} tavrix-management-service tavrix-management-bench >/dev/null

work=$(mktemp -d /var/tmp/tavrix-bench.XXXXXX)
service= flooder=
cleanup() {
  [ -n "$flooder" ] && kill "$flooder" 2>/dev/null && wait "$flooder" 2>/dev/null
  [ -n "$service" ] && kill "$service" 2>/dev/null && wait "$service" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
cat > "$work/registry.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]
"RunDirectory"="$work/run"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config]
"PRODUCT_DATA_D"="C:\\\\panel\\\\data"
REG
export TAVRIX_REGISTRY=$work/registry.reg
"$build/bin/tavrix-management-service" 2>"$work/service.log" &
service=$!
for _ in $(seq 100); do [ -S "$work/run/pipe/zrcpipe" ] && break; sleep 0.05; done
if [ "$mode" = latency ]; then
  "$build/bin/tavrix-management-bench" "$count"
  exit 0
fi

usage() { # resident memory and open descriptors of the service
  echo "RSS $(awk '/^VmRSS/ {print $2, $3}' "/proc/$service/status"), $(ls "/proc/$service/fd" | wc -l) descriptors," \
       "$(ls "/proc/$service/task" | wc -l) threads"
}
"$build/bin/tavrix-management-bench" 100 >/dev/null
echo "before: $(usage)"
"$build/bin/tavrix-management-bench" "$count" fresh
echo "after $count connections: $(usage)"

# The flooder connects and closes as fast as it can, as nobody (not in the allow-list).
chmod 0755 "$work"
setpriv --reuid=65534 --regid=65534 --clear-groups /usr/bin/python3 -c '
import signal, socket, sys
count = 0
def report(*_):
    print(f"flooder: {count} connects refused", flush=True)
    sys.exit(0)
signal.signal(signal.SIGTERM, report)
while True:
    s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    try:
        s.connect(sys.argv[1])
        s.recv(1)
    except OSError:
        pass
    s.close()
    count += 1
' "$work/run/pipe/zrcpipe" &
flooder=$!
lines=$(wc -l <"$work/service.log")
"$build/bin/tavrix-management-bench" 10000 | sed 's/^/under the flood: /'
kill "$flooder" 2>/dev/null || true; wait "$flooder" || true; flooder=
echo "log lines written during the flood: $(($(wc -l <"$work/service.log") - lines))"
echo "after the flood: $(usage)"
