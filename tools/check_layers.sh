#!/usr/bin/env bash
# Fails when a source file includes a header of a layer above its own, or includes os/posix/ from
# outside os/. Layers, bottom up (a directory belongs to the longest prefix listed):
#   os, runtime/core, runtime/fs/path, runtime/security/model, runtime/security, runtime/fs,
#   runtime/log, xml, runtime/pipe, runtime/process, service, security/disk, security/hosting,
#   siteapp, app, panel
# os/'s portable headers (os/*.h) may be used by every layer. tests/, bench/ and fuzz/ are not
# layers: they may include anything.
#   tools/check_layers.sh [source root]     (default: the repository this script is in)
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"

layers=(os runtime/core runtime/fs/path runtime/security/model runtime/security runtime/fs
        runtime/log xml runtime/pipe runtime/process service security/disk security/hosting
        siteapp app panel)

dirs=()
for layer in "${layers[@]}"; do [ -d "$layer" ] && dirs+=("$layer"); done

find "${dirs[@]}" -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.inc' \) -print0 |
  xargs -0 -r grep -Hn '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' |
  awk -v order="${layers[*]}" '
    BEGIN { n = split(order, names, " "); for (i = 1; i <= n; i++) rank[names[i]] = i }
    # The layer of a path: its longest listed prefix; "" when none.
    function layerOf(path,   best, i) {
      best = ""
      for (i = 1; i <= n; i++)
        if (index(path, names[i] "/") == 1 && length(names[i]) > length(best)) best = names[i]
      return best
    }
    {
      file = $0; sub(/:.*/, "", file)
      line = $0; sub(/^[^:]*:/, "", line); lineNo = line; sub(/:.*/, "", lineNo)
      header = line; sub(/^[^"]*"/, "", header); sub(/".*/, "", header)
      from = layerOf(file); to = layerOf(header)
      if (index(header, "os/posix/") == 1 && from != "os") {
        printf "%s:%s: includes %s: os/posix/ is private to os/\n", file, lineNo, header; bad = 1
      } else if (to != "" && from != "" && rank[to] > rank[from]) {
        printf "%s:%s: includes %s: layer %s is above %s\n", file, lineNo, header, to, from; bad = 1
      }
    }
    END { exit bad }'
