#!/bin/sh
# Builds the Debian package with dpkg-buildpackage (debian/), in a copy of the tree, so that the
# tree stays clean and the packages land beside the copy: in $TAVRIX_DEB_DIR, default
# /tmp/tavrix-deb (a fixed place, so that ccache finds the previous build's objects).
# Prints the package's path. Usage: packaging/build-deb.sh
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
out=${TAVRIX_DEB_DIR:-/tmp/tavrix-deb}
src=$out/tavrix

"$root/tools/install-deps.sh" debhelper dpkg-dev
rm -rf "$src" "$out"/tavrix_* "$out"/tavrix-dbgsym_*
mkdir -p "$src"
# The whole tree but what builds leave in it; .git stays, for the commit the build names.
tar -C "$root" --exclude='./build' --exclude='./build-*' --exclude='./obj-*' \
  --exclude='./debian/tavrix' --exclude='./debian/tavrix-dbgsym' --exclude='./debian/.debhelper' \
  --exclude='./debian/tmp' -cf - . | tar -C "$src" -xf -
# debhelper gives the build a HOME of its own: ccache is told where its cache is.
if command -v ccache >/dev/null; then
  CCACHE_DIR=$(ccache --get-config cache_dir)
  export CCACHE_DIR
fi
if ! (cd "$src" && dpkg-buildpackage -us -uc -b) >"$out/build.log" 2>&1; then
  tail -n 40 "$out/build.log" >&2
  echo "dpkg-buildpackage failed: $out/build.log" >&2
  exit 1
fi
ls "$out"/tavrix_*.deb
