#!/usr/bin/env bash
# Runs one Windows program in a fresh, hermetic Wine session (tools/testbed.py).
# CMake uses it as the cross-compiling emulator, so CTest runs
#   wine-run.sh --build <binary dir> path/test.exe [args...]
# NIMBREL_TEST_DPI, when set, gives the session's system DPI.
# The time limit is the test's own TIMEOUT in CTest: the session's limit here
# (NIMBREL_TEST_TIMEOUT, default 3600 s) only bounds a run by hand, and must not
# end a slow run on a loaded machine before CTest would. Should CTest kill the
# run, the session's watchdog ends its processes and X server.
set -euo pipefail
if [ "$#" -lt 3 ] || [ "$1" != "--build" ]; then
  echo "usage: wine-run.sh --build <build dir> <exe> [args...]" >&2
  exit 2
fi
build=$2
shift 2
exec python3 "$(dirname "$(readlink -f "$0")")/testbed.py" run --build "$build" \
  --timeout "${NIMBREL_TEST_TIMEOUT:-3600}" \
  ${NIMBREL_TEST_DPI:+--dpi "$NIMBREL_TEST_DPI"} -- "$@"
