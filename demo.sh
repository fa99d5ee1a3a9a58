#!/usr/bin/env bash
# Shows what tavrix does today on embedded defaults: a private registry store, run directory and
# product root under a temporary directory.
set -euo pipefail
cd "$(dirname "$0")"
[ -x build/bin/tavrix ] || { cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null && ninja -C build -j2 tavrix; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/product/admin/logs"
export TAVRIX_REGISTRY=$work/registry.reg
cat > "$TAVRIX_REGISTRY" <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]
"RunDirectory"="$work/run"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config]
"PRODUCT_ROOT_D"="$work/product"
"Debug"=dword:00000001
REG

show() {
  echo "\$ tavrix $*"
  set +e
  build/bin/tavrix "$@"
  local rc=$?
  set -e
  echo
  echo "(exit code $rc)"
  echo
}

show --help
show --extract-application --application-full-name=blog-1.0 --user-name=alice \
     --application-subdirectory=blog --db-password=secret
show --extract-application --application-full-name=blog-1.0 --www-root=/var/www/alice \
     --user-name=alice --application-subdirectory=/blog/

echo "The daily log file (UTF-16LE, debug logging on; the password is masked):"
for log in "$work"/product/admin/logs/*.log; do
  echo "== ${log#"$work"/}"
  iconv -f UTF-16 -t UTF-8 "$log" | tr -d '\r'
done
