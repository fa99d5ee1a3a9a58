#!/bin/sh
# fuzz/run.sh TARGET SECONDS [libFuzzer options...]
#
# Builds the fuzz target fuzz_TARGET (request_parser, reply_reader, impersonation_request,
# impersonation_reply, streaming_reader, metadata_loader) with clang 14, libFuzzer,
# AddressSanitizer and UBSan in build-fuzz/, and runs it for SECONDS seconds (or until an option
# such as -runs=1000000 ends it first) on the corpus build-fuzz/corpus/TARGET, seeded from
# fuzz/seeds/TARGET. A finding is left as build-fuzz/crash-* and the script exits non-zero.
set -eu
if [ $# -lt 2 ]; then
  echo "usage: $0 TARGET SECONDS [libFuzzer options...]" >&2
  exit 2
fi
target=$1
seconds=$2
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-fuzz

if ! command -v clang++-14 >/dev/null || [ ! -e /usr/lib/llvm-14/lib/clang/14*/lib/linux/libclang_rt.fuzzer-x86_64.a ] 2>/dev/null; then
  apt-get install -y clang-14 libclang-rt-14-dev >/dev/null
fi
if [ ! -f "$build/build.ninja" ]; then
  CC=clang-14 CXX=clang++-14 cmake -S "$root/fuzz" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
ninja -C "$build" "fuzz_$target" >/dev/null

corpus=$build/corpus/$target
mkdir -p "$corpus"
if [ -d "$root/fuzz/seeds/$target" ]; then cp -n "$root/fuzz/seeds/$target"/* "$corpus"/ 2>/dev/null || true; fi
cd "$build"
exec "./fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 "$@" "$corpus"
