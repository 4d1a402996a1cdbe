#!/usr/bin/env bash
# Builds the setup and runs every test: the native suites (plain, sanitized,
# fuzzed) and the Windows suites under Wine. Installs what it needs first.
#   tools/test.sh            everything
#   tools/test.sh -R regex   only the tests whose names match, in both builds
# NIMBREL_BUILD_WIN and NIMBREL_BUILD_NATIVE name other build folders
# (defaults build/win and build/native).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/deps.sh"
nimbrel_install_packages

jobs=$(nproc)
build_win=${NIMBREL_BUILD_WIN:-$root/build/win}
build_native=${NIMBREL_BUILD_NATIVE:-$root/build/native}

cmake -S "$root" -B "$build_win" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DNIMBREL_SERVER=https://localhost:47443 \
  -DNIMBREL_TEST_SUBSYSTEMS="shell;display;net;install;release" > /dev/null
cmake --build "$build_win" -j "$jobs"
cmake -S "$root" -B "$build_native" -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DNIMBREL_TEST_SUBSYSTEMS="shell;display;net;install;release" > /dev/null
cmake --build "$build_native" -j "$jobs"

setup="$build_win/setup/nimbrel-setup.exe"
echo "nimbrel-setup.exe: $(stat -c %s "$setup") bytes"

status=0
ctest --test-dir "$build_native" -j "$jobs" --output-on-failure "$@" | tee "$build_native/ctest.log" || status=1
ctest --test-dir "$build_win" -j "$jobs" --output-on-failure "$@" | tee "$build_win/ctest.log" || status=1

# One closing line over both runs.
summary() { sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\1 \2/p' "$1" | tail -1; }
read -r native_failed native_total < <(summary "$build_native/ctest.log" || echo "0 0")
read -r win_failed win_total < <(summary "$build_win/ctest.log" || echo "0 0")
failed=$(( ${native_failed:-0} + ${win_failed:-0} ))
total=$(( ${native_total:-0} + ${win_total:-0} ))
[ "$total" -gt 0 ] || status=1
echo "$(( total - failed )) passed, $failed failed"
exit $status
