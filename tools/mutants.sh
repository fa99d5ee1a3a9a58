#!/usr/bin/env bash
# Plants the faults listed in tools/mutants.txt in the working tree, one at a time, rebuilds the
# test executables each one names, runs them and says whether they noticed: KILLED (a test
# failed), SURVIVED (all passed: the suite misses that fault) or ERROR (the fault could not be
# planted or does not build: fix its row). Exits 1 unless every fault was killed.
#   tools/mutants.sh              every fault of the table
#   tools/mutants.sh ID...        those faults only
#   BUILD_DIR=dir                 the build directory (default build); configured when missing
# A row of the table: id, file, from (the exact text, once in the file; repeat the key for more
# lines), to (its replacement), tests (executables of $BUILD_DIR/tests, each optionally with a
# gtest filter as exe:filter, run in order until one fails), optionally under: enosys (the
# tests run as on a kernel without openat2, getxattrat and listxattrat, as ./test.sh's second
# pass does, for faults in the fallbacks) and why (for the reader).
# The executables first run once on the unchanged tree: a test that fails there proves nothing.
# A fault's file must have no uncommitted change, and is restored after each fault, also when the
# script is interrupted. Logs of the runs are kept in $BUILD_DIR/mutants/.
set -euo pipefail
cd "$(dirname "$0")/.."

table=tools/mutants.txt
build=${BUILD_DIR:-build}
logs=$build/mutants
mkdir -p "$logs"

# The table's rows as tab-separated fields (id, file, tests), or one field of one row, or the
# planting of one row; the exact-text work is done by python, never by the shell.
table() { python3 - "$table" "$@" <<'PY'
import sys

def rows(path):
    rows, row = [], {}
    for number, line in enumerate(open(path, encoding="utf-8"), 1):
        line = line.rstrip("\n")
        if line.startswith("#"):
            continue
        if not line.strip():
            if row: rows.append(row)
            row = {}
            continue
        key, sep, value = line.partition(":")
        value = value[1:] if value.startswith(" ") else value
        if not sep or key not in ("id", "file", "from", "to", "tests", "under", "why"):
            sys.exit(f"{path}:{number}: expected 'key: value' with key id, file, from, to, tests, under or why")
        if key == "under" and value != "enosys":
            sys.exit(f"{path}:{number}: the only launcher is enosys")
        row[key] = row[key] + "\n" + value if key in ("from", "to") and key in row else value
    if row: rows.append(row)
    for row in rows:
        missing = [k for k in ("id", "file", "from", "to", "tests") if k not in row]
        if missing: sys.exit(f"{path}: row {row.get('id', '?')} lacks {', '.join(missing)}")
    return {row["id"]: row for row in rows}

table = rows(sys.argv[1])
command, args = sys.argv[2], sys.argv[3:]
if command == "list":
    wanted = args or list(table)
    for id in wanted:
        if id not in table: sys.exit(f"no fault {id} in {sys.argv[1]}")
        print("\t".join((id, table[id]["file"], table[id]["tests"], table[id].get("under", "-"))))
elif command == "plant":
    row = table[args[0]]
    text = open(row["file"], encoding="utf-8").read()
    count = text.count(row["from"])
    if count != 1:
        sys.exit(f"the text to change occurs {count} times in {row['file']}, not once")
    open(row["file"], "w", encoding="utf-8").write(text.replace(row["from"], row["to"]))
PY
}

[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
bin=$(cd "$build" && pwd)/bin

# The executables (no filter) of a tests field.
targets() { local item; for item in $1; do echo "${item%%:*}"; done | sort -u; }

listing=$(table list "$@")
mapfile -t rows <<<"$listing"
files=() runs=()
for row in "${rows[@]}"; do
  IFS=$'\t' read -r _ file tests under <<<"$row"
  files+=("$file")
  for item in $tests; do runs+=("$under $item"); done
done
mapfile -t runs < <(printf '%s\n' "${runs[@]}" | sort -u)
mapfile -t all_targets < <(targets "$(printf '%s\n' "${runs[@]}" | cut -d' ' -f2)")

if ! git diff --quiet HEAD -- "${files[@]}"; then
  echo "uncommitted changes in the files the faults change; commit or stash them first:" >&2
  git diff --stat HEAD -- "${files[@]}" >&2
  exit 2
fi

planted=""
restore() { [ -z "$planted" ] || git checkout -q HEAD -- "$planted"; planted=""; }
trap restore EXIT
trap 'restore; exit 130' INT TERM

# Runs one exe[:filter] (under the launcher when asked); 0 when every test passed, 1 when one
# failed, 2 when the filter selected no test (a row to fix). The log goes to $3.
run_one() { # under, item, log
  local exe=${2%%:*} filter=() launcher=()
  [[ $2 == *:* ]] && filter=("--gtest_filter=${2#*:}")
  [ "$1" = enosys ] && launcher=("$bin/tavrix-enosys" openat2,getxattrat,listxattrat --)
  TAVRIX_BIN=$bin timeout 1200 "${launcher[@]}" "$build/tests/$exe" "${filter[@]}" \
    --gtest_fail_fast --gtest_brief=1 >"$3" 2>&1 || return 1
  if grep -q '^\[==========\] 0 tests' "$3"; then return 2; fi
}

echo "building ${all_targets[*]} and running them on the unchanged tree"
ninja -C "$build" -j2 "${all_targets[@]}" >"$logs/baseline.build.log" 2>&1 ||
  { echo "the unchanged tree does not build: $logs/baseline.build.log" >&2; exit 2; }
for run in "${runs[@]}"; do
  read -r under item <<<"$run"
  log=$logs/baseline.${item//[:\/*]/_}.$under.log
  if ! run_one "$under" "$item" "$log"; then
    echo "$item ($under) fails or runs no test on the unchanged tree: $log" >&2
    exit 2
  fi
done

survived=0 errors=0
for row in "${rows[@]}"; do
  IFS=$'\t' read -r id file tests under <<<"$row"
  if ! why=$(table plant "$id" 2>&1); then
    printf '%-9s %s: %s\n' ERROR "$id" "$why"
    errors=$((errors + 1))
    continue
  fi
  planted=$file
  mapfile -t names < <(targets "$tests")
  verdict=SURVIVED
  if ! ninja -C "$build" -j2 "${names[@]}" >"$logs/$id.build.log" 2>&1; then
    verdict="ERROR (does not build: $logs/$id.build.log)"
  else
    for item in $tests; do
      status=0
      run_one "$under" "$item" "$logs/$id.${item//[:\/*]/_}.log" || status=$?
      if [ "$status" -eq 1 ]; then verdict="KILLED (by $item)"; break; fi
      if [ "$status" -eq 2 ]; then verdict="ERROR ($item runs no test)"; break; fi
    done
  fi
  restore
  printf '%-9s %s%s\n' "${verdict%% *}" "$id" "${verdict#"${verdict%% *}"}"
  case $verdict in SURVIVED) survived=$((survived + 1)) ;; ERROR*) errors=$((errors + 1)) ;; esac
done
# The file restored last is rebuilt, so that the build directory holds the unchanged tree again.
ninja -C "$build" -j2 "${all_targets[@]}" >/dev/null 2>&1 || true
echo "${#rows[@]} faults: $((${#rows[@]} - survived - errors)) killed, $survived survived, $errors errors"
[ "$survived" -eq 0 ] && [ "$errors" -eq 0 ]
