# Shared by the bench/*.sh scripts: the driver, a work directory, timing and reporting.
# Environment: BUILD_DIR (default build-bench, configured as Release), JOBS (ninja jobs),
# WORK_DIR (where the trees go; default a new directory under /var/tmp, removed at the end).

build=${BUILD_DIR:-build-bench}
[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C "$build" ${JOBS:+-j"$JOBS"} tavrix_bench >/dev/null
driver=$(realpath "$build/bin/tavrix_bench")

cleanups=()
on_exit() { local c; for c in "${cleanups[@]}"; do eval "$c"; done; }
trap on_exit EXIT
if [ -n "${WORK_DIR:-}" ]; then
  work=$WORK_DIR
  mkdir -p "$work"
else
  work=$(mktemp -d /var/tmp/tavrix-bench.XXXXXX)
  chmod 755 "$work"
  cleanups+=("rm -rf '$work'")
fi

# Where the Debian packages of the real trees are kept between runs.
packages=${PACKAGE_CACHE:-/var/tmp/tavrix-bench-packages}

# The tree of a Debian package, unpacked once: its directory under /usr/share, symbolic links
# removed (a package's links point into the system, and no tool here copies them alike).
package_tree() {
  local package=$1 dir=$packages/$1
  if [ ! -d "$dir/tree" ]; then
    rm -rf "$dir" && mkdir -p "$dir"
    (cd "$dir" && apt-get download -q "$package" >/dev/null 2>&1) || { echo "cannot download $package" >&2; exit 1; }
    dpkg-deb -x "$dir"/*.deb "$dir/unpacked"
    mv "$dir/unpacked/usr/share/$package" "$dir/tree"
    find "$dir/tree" -type l -delete
    rm -rf "$dir/unpacked"
  fi
  echo "$dir/tree"
}

# Makes the tree $2 at $1 — $2 files made by the driver when it is a number, else the tree of the
# Debian package of that name — sets $tree_files to its number of files, and reads it once, so
# that every tool starts with it cached.
generate() {
  rm -rf "$1"
  if [[ $2 =~ ^[0-9]+$ ]]; then
    "$driver" generate "$1" "$2" 42
  else
    mkdir -p "$(dirname "$1")"
    cp -a "$(package_tree "$2")" "$1"
  fi
  tree_files=$(find "$1" -type f | wc -l)
  find "$1" -type f -exec cat {} + >/dev/null
  echo "tree $2: $tree_files files, $(find "$1" -type d | wc -l) directories, $(du -sh "$1" | cut -f1)"
}

# The first two sizes that are numbers ("small large"), for the growth line; fails when there are
# fewer than two.
growth_pair() {
  local numbers=() size
  for size in "$@"; do [[ $size =~ ^[0-9]+$ ]] && numbers+=("$size"); done
  ((${#numbers[@]} >= 2)) && echo "${numbers[0]} ${numbers[1]}"
}

# With PROFILE_DIR set, runs the command once more under perf (the whole process, every thread,
# with call graphs) and keeps <name>.data and <name>.txt there: the functions of the tool that the
# samples passed through, by their share of the time: profile <name> <command...>.
profile() {
  [ -n "${PROFILE_DIR:-}" ] || return 0
  mkdir -p "$PROFILE_DIR"
  perf record -q -F 2999 -g -o "$PROFILE_DIR/$1.data" -- "${@:2}" >/dev/null
  perf report -i "$PROFILE_DIR/$1.data" --children --sort symbol --stdio -g none 2>/dev/null |
    awk '/^ +[0-9]/ && n++ < 60 {sub(/ +- +- +$/, ""); print}' >"$PROFILE_DIR/$1.txt"
}

# Microseconds that the command took.
timed() {
  local start end
  start=$(date +%s%N)
  "$@"
  end=$(date +%s%N)
  echo $(((end - start) / 1000))
}

# "median min max" of the numbers given.
stats() { printf '%s\n' "$@" | sort -n | awk '{v[NR]=$1} END {printf "%d %d %d", v[int((NR+1)/2)], v[1], v[NR]}'; }

ms() { awk -v us="$1" 'BEGIN {printf "%.1f", us / 1000}'; }

# Prints one comparison and sets $ratio, $ours_median and $theirs_median (microseconds):
#   report <label> <ours...> -- <theirs...>
report() {
  local label=$1; shift
  local ours=() theirs=() side=ours om omin omax tm tmin tmax
  for t in "$@"; do
    if [ "$t" = "--" ]; then side=theirs; continue; fi
    if [ $side = ours ]; then ours+=("$t"); else theirs+=("$t"); fi
  done
  read -r om omin omax <<<"$(stats "${ours[@]}")"
  read -r tm tmin tmax <<<"$(stats "${theirs[@]}")"
  ratio=$(awk -v a="$om" -v b="$tm" 'BEGIN {printf "%.2f", a / b}')
  ours_median=$om theirs_median=$tm
  printf '%-36s ours %9s ms (%s-%s)   theirs %9s ms (%s-%s)   ratio %s\n' "$label" \
    "$(ms "$om")" "$(ms "$omin")" "$(ms "$omax")" "$(ms "$tm")" "$(ms "$tmin")" "$(ms "$tmax")" "$ratio"
}

# How the medians grew from the first size to the second: growth <small> <large> <ours1> <ours2>
# <theirs1> <theirs2> (microseconds).
growth() {
  awk -v s="$1" -v l="$2" -v o1="$3" -v o2="$4" -v t1="$5" -v t2="$6" \
      'BEGIN {printf "growth from %d to %d files (linear: %.1fx): ours %.1fx   theirs %.1fx\n", s, l, l / s, o2 / o1, t2 / t1}'
}
