#!/usr/bin/env bash
# Runs one Windows program in a fresh, hermetic Wine session (tools/testbed.py).
# CMake uses it as the cross-compiling emulator, so CTest runs
#   wine-run.sh --build <binary dir> path/test.exe [args...]
# NIMBREL_TEST_DPI, when set, gives the session's system DPI.
set -euo pipefail
if [ "$#" -lt 3 ] || [ "$1" != "--build" ]; then
  echo "usage: wine-run.sh --build <build dir> <exe> [args...]" >&2
  exit 2
fi
build=$2
shift 2
exec python3 "$(dirname "$(readlink -f "$0")")/testbed.py" run --build "$build" \
  ${NIMBREL_TEST_DPI:+--dpi "$NIMBREL_TEST_DPI"} -- "$@"
