#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need, when any is missing.
# Shared by ./test.sh and ./demo.sh; the package scripts name the further packages they need as
# arguments. Needs root or sudo only when something is missing.
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config ccache libgtest-dev libgmock-dev libxml2-dev
          libacl1-dev acl attr e2fsprogs coreutils gdb passwd util-linux libc-bin php-cli
          php-mbstring php-sqlite3 libsystemd-dev systemd scdoc "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
((${#missing[@]})) || exit 0

echo "installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
