#!/usr/bin/env bash
# The cancellation check itself: handlers that throw on, keep the exception or come after a
# ThreadCanceled handler pass; one that drops what it caught is named with its line; tests/ is
# not scanned; a tree without sources fails.
set -uo pipefail
check="$(cd "$(dirname "$0")" && pwd)/check_cancelation.sh"
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree"/{runtime/core,tests}
fail() { echo "FAIL: $*"; exit 1; }

"$check" "$tree" >/dev/null 2>&1 && fail "a tree without sources passed"

cat > "$tree/runtime/core/a.cpp" <<'CPP'
void a() { try { f(); } catch (...) { log(); throw; } }
void b() { try { f(); } catch (...) { error = std::current_exception(); } }
void c() {
  try { f(); } catch (const ThreadCanceled&) { throw; } catch (...) { if (x) { y(); } }
}
CPP
printf 'void t() { try { f(); } catch (...) {} }\n' > "$tree/tests/t.cpp"
"$check" "$tree" >/dev/null || fail "handlers that let the cancellation pass were refused"

printf '\n\nvoid d() {\n  try { f(); } catch (...) { if (x) { throw; } }\n  try { g(); } catch (...) { { } }\n}\n' \
  > "$tree/runtime/core/d.h"
out=$("$check" "$tree") && fail "a swallowing handler passed"
[ "$out" = "runtime/core/d.h:5: catch (...) may swallow ThreadCanceled" ] || fail "not named exactly: $out"
echo "cancellation check catches swallowing handlers"
