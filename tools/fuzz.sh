#!/usr/bin/env bash
# fuzz.sh - runs every native libFuzzer target for a chosen time.
#
#   tools/fuzz.sh [-j JOBS] SECONDS [TARGET...]
#
# Builds the fuzzers natively with clang in build/fuzzers (configured on first
# use), then runs each target (all of them, or the named ones: version_scan,
# setup_file_name, update_argument, ...) for SECONDS, JOBS targets side by side
# (default 1: one after the other). The targets are those the CMake files list
# in build/fuzzers/fuzz-targets/. Corpora grow in build/fuzzers/corpus/<target>
# and are kept from run to run (the committed seeds are only read); each run's
# logs and findings go to build/fuzzers/runs/<time>/<target>/.
#
# Prints per target: executions, executions per second, corpus size, coverage
# (cov/ft) and any finding files. Exits 1 when a target found something.
# On a shared machine, run it as `nice -n 19 tools/fuzz.sh 600`.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

jobs=1
if [ "${1:-}" = "-j" ]; then
  jobs=${2:?"-j needs a number"}
  shift 2
fi
seconds=${1:-}
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]] || ! [[ "$jobs" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: tools/fuzz.sh [-j JOBS] SECONDS [TARGET...]" >&2
  exit 2
fi
shift

source "$root/tools/deps.sh"
NIMBREL_PACKAGES=(cmake make clang googletest libgtest-dev)  # all the fuzzers need
nimbrel_install_packages

build="$root/build/fuzzers"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DNIMBREL_TEST_SUBSYSTEMS="shell;display;net;install" > /dev/null
else
  cmake "$build" > /dev/null  # picks up targets added since
fi

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for manifest in "$build"/fuzz-targets/*; do targets+=("$(basename "$manifest")"); done
fi
binaries=()
for target in "${targets[@]}"; do
  manifest="$build/fuzz-targets/$target"
  if [ ! -f "$manifest" ]; then
    echo "no fuzz target '$target' (known: $(ls "$build/fuzz-targets" | tr '\n' ' '))" >&2
    exit 2
  fi
  binaries+=("$(source "$manifest"; basename "$binary")")
done
if ! log=$(cmake --build "$build" -j 2 --target "${binaries[@]}" 2>&1); then
  printf '%s\n' "$log" >&2
  exit 1
fi

run="$build/runs/$(date +%Y%m%d-%H%M%S)"
mkdir -p "$run"

# One target: runs it and leaves its log and exit code in $run/<target>/.
fuzz_one() {
  local target=$1 binary seeds dict max_len
  source "$build/fuzz-targets/$target"
  local corpus="$build/corpus/$target" out="$run/$target"
  mkdir -p "$corpus" "$out/findings"
  local rc=0
  "$binary" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -dict="$dict" \
    -print_final_stats=1 -artifact_prefix="$out/findings/" "$corpus" "$seeds" \
    > "$out/log" 2>&1 || rc=$?
  echo "$rc" > "$out/rc"
}

echo "fuzzing ${targets[*]} for ${seconds} s each, ${jobs} at a time; logs in $run"
running=0
for target in "${targets[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  fuzz_one "$target" &
  running=$((running + 1))
done
wait || true

# A figure of libFuzzer's closing statistics in a log.
final_stat() { sed -n "s/^stat::$2: *//p" "$1" | tail -1; }

status=0
for target in "${targets[@]}"; do
  out="$run/$target"
  last=$(grep -E '^#[0-9]+.* cov: ' "$out/log" | tail -1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\) ft: \([0-9]*\).*/\1\/\2/p' <<< "$last")
  corp=$(sed -n 's/.* corp: \([0-9]*\)\/\([0-9]*[a-zA-Z]*\).*/\1 inputs (\2)/p' <<< "$last")
  corpus_files=$(find "$build/corpus/$target" -type f | wc -l)
  findings=$(find "$out/findings" -type f | sort)
  rc=$(cat "$out/rc" 2>/dev/null || echo "?")
  echo "== $target"
  echo "   executions $(final_stat "$out/log" number_of_executed_units)," \
       "$(final_stat "$out/log" average_exec_per_sec) exec/s," \
       "corpus ${corp:-?} in $corpus_files files," \
       "cov/ft ${cov:-?}, peak rss $(final_stat "$out/log" peak_rss_mb) MB"
  if [ -n "$findings" ] || [ "$rc" != 0 ]; then
    status=1
    echo "   FINDING (exit code $rc): $(grep -m1 -E 'fuzzer: |ERROR: |runtime error' "$out/log" || true)"
    for finding in $findings; do echo "   $finding"; done
    echo "   log: $out/log"
  else
    echo "   no findings"
  fi
done
exit $status
