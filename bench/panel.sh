#!/bin/bash
# bench/panel.sh [count]: getString round trips (default 10,000) of the management-service client
# against a running tavrix-management-service on a private registry and run directory; prints
# the median and 99th-percentile latency. Builds Release into $BUILD_DIR (default build-bench).
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-10000}
build=${BUILD_DIR:-build-bench}
[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C "$build" ${JOBS:+-j"$JOBS"} tavrix-management-service tavrix-management-bench >/dev/null

work=$(mktemp -d /var/tmp/tavrix-bench.XXXXXX)
service=
cleanup() {
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
"$build/bin/tavrix-management-bench" "$count"
