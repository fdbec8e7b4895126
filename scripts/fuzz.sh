#!/usr/bin/env bash
# Builds the libFuzzer target (clang, ASan + UBSan) and runs it for a fixed time.
#   scripts/fuzz.sh [SECONDS]   (default: 20)
# The build goes to $QB_FUZZ_BUILD (default build/fuzz). New inputs go to a scratch corpus there,
# never to the checked-in seeds in fuzz/corpus/; a finding is saved as $QB_FUZZ_BUILD/artifacts/*.
# Prints executions and executions per second; fails when the target found something.
set -euo pipefail
cd "$(dirname "$0")/.."
# clang brings libFuzzer and the sanitizer runtimes through libclang-rt-dev.
scripts/ensure-tools.sh clang libclang-rt-dev

seconds=${1:-20}
build=${QB_FUZZ_BUILD:-build/fuzz}
cmake -S fuzz -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j "$(nproc)"
mkdir -p "$build/artifacts" "$build/corpus"
log=$build/whole_run.log
echo "== fuzz whole_run for ${seconds}s"
result=clean
if ! "$build/whole_run_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/" "$build/corpus" fuzz/corpus \
    >"$log" 2>&1; then
  result=FAILED
  tail -n 60 "$log"
fi
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
echo "whole_run: $result, ${runs:-?} executions, ${rate:-?} exec/s"
[ "$result" = clean ]
