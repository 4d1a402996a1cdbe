#!/usr/bin/env bash
# Runs every benchmark once, side by side, and prints one table: the setup's
# size, its start to the first painted frame, its memory and throughput while
# downloading, and its paint at 96 and 144 DPI, each beside its yardstick.
#
#   tools/bench.sh [--build DIR] [--size-mb N] [--runs N] [--startup-runs N]
#                  [--frames N] [--cpu-seconds S] [--out DIR]
#
# DIR is a Windows cross build (default build/win; configured like
# tools/test.sh does when it has no cache yet). Beside it, DIR-key is the same
# build with a throwaway archive key (made there with openssl on first use,
# -DNIMBREL_ARCHIVE_KEY), for the rows of what the key costs. The table is printed as text
# and written as Markdown to OUT/table.md (default build/bench). Wine sessions
# go through tools/testbed.py, nginx serves on loopback; the whole run takes a
# few minutes. Figures only: nothing passes or fails on them (bench/bench_table.py).
set -euo pipefail
root=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
build=$root/build/win
args=()
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$2; shift 2 ;;
    --size-mb|--runs|--startup-runs|--frames|--cpu-seconds|--out) args+=("$1" "$2"); shift 2 ;;
    *) echo "usage: $0 [--build DIR] [--size-mb N] [--runs N] [--startup-runs N] [--frames N] [--cpu-seconds S] [--out DIR]" >&2
       exit 2 ;;
  esac
done
for tool in nginx curl openssl; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 2; }
done
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DNIMBREL_SERVER=https://localhost:47443 \
    -DNIMBREL_TEST_SUBSYSTEMS="shell;display;net;install" > /dev/null
fi
if ! log=$(cmake --build "$build" -j 2 --target nimbrel-setup bench-startup empty-window paint-bench \
             bench-download winhttp-read-loop memory-peak trust-ca tar 2>&1); then
  printf '%s\n' "$log" >&2
  exit 1
fi
keyed=$build-key
keys=$keyed/archive-key
if [ ! -f "$keys/public.pem" ]; then
  mkdir -p "$keys"
  openssl ecparam -name prime256v1 -genkey -noout -out "$keys/private.pem"
  openssl ec -in "$keys/private.pem" -pubout -out "$keys/public.pem" 2>/dev/null
fi
# Configured every time, so that the key built in is the one signing below.
cmake -S "$root" -B "$keyed" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DNIMBREL_SERVER=https://localhost:47443 \
  -DNIMBREL_TEST_SUBSYSTEMS="shell;display;net;install" \
  -DNIMBREL_ARCHIVE_KEY="$keys/public.pem" > /dev/null
if ! log=$(cmake --build "$keyed" -j 2 --target nimbrel-setup bench-download 2>&1); then
  printf '%s\n' "$log" >&2
  exit 1
fi
exec python3 "$root/bench/bench_table.py" --build "$build" --keyed-build "$keyed" \
  --archive-key "$keys/private.pem" "${args[@]}"
