#!/bin/sh
# Builds the Debian package of tavrix and its two services: a Release build in build-deb/ of
# the three executables only (the tests are not needed for a package), then cpack.
# Prints the package's path. Usage: packaging/build-deb.sh
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-deb"

# Without the install target's dependency on "all", cpack builds nothing itself: only the
# executables the package carries are built below.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
ninja -C "$build" tavrix tavrix-management-service tavrix-impersonation-service
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/tavrix_*.deb
