#!/usr/bin/env bash
# bench-paint.sh - figures for the progress window's paint under Wine + Xvfb.
#
#   tools/bench-paint.sh [BUILD_DIR] [FRAMES] [CPU_SECONDS]
#
# BUILD_DIR is a Windows cross build (default build/win); FRAMES paints are
# timed (default 2000) and the real animation runs CPU_SECONDS (default 10),
# at 96 and then 144 DPI, each in a fresh hermetic session of tools/testbed.py.
# It prints figures only; nothing passes or fails on them. Run it on an idle
# machine: other work on the two cores shows up in the percentiles.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(readlink -f "${1:-$root/build/win}")
frames=${2:-2000}
seconds=${3:-10}

if ! log=$(cmake --build "$build" --target paint-bench trust-ca tar 2>&1); then
  printf '%s\n' "$log" >&2
  exit 1
fi
bench="$build/bench/paint-bench.exe"
for dpi in 96 144; do
  echo "== ${dpi} DPI"
  python3 "$root/tools/testbed.py" run --build "$build" --dpi "$dpi" --timeout $((seconds + 300)) \
    -- "$bench" --frames "$frames" --cpu-seconds "$seconds"
done
