#!/usr/bin/env bash
# The layer check itself: a clean tree passes, an upward include and an os/posix/ include from
# outside os/ are each caught and named.
set -uo pipefail
check="$(cd "$(dirname "$0")" && pwd)/check_layers.sh"
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree"/{os/posix,runtime/core,runtime/fs,siteapp}
printf '#include "os/posix/fd.h"\n#include "os/error.h"\n' > "$tree/os/posix/a.cpp"
printf '#include "os/error.h"\n' > "$tree/runtime/core/b.cpp"
printf '#include "runtime/core/b.h"\n' > "$tree/siteapp/c.cpp"
fail() { echo "FAIL: $*"; exit 1; }

"$check" "$tree" >/dev/null || fail "a clean tree was refused"

printf '#include "siteapp/c.h"\n' > "$tree/runtime/core/up.cpp"
out=$("$check" "$tree") && fail "an upward include passed"
grep -q 'runtime/core/up.cpp:1: includes siteapp/c.h' <<<"$out" || fail "upward include not named: $out"
rm "$tree/runtime/core/up.cpp"

printf '#include <vector>\n  #include "os/posix/fd.h"\n' > "$tree/runtime/fs/private.h"
out=$("$check" "$tree") && fail "an os/posix include from runtime/fs passed"
grep -q 'runtime/fs/private.h:2: includes os/posix/fd.h' <<<"$out" || fail "private include not named: $out"
echo "layer check catches wrong includes"
