#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a fixed time.
#   scripts/fuzz.sh [SECONDS] [TARGET...]   (default: 20 seconds, every target)
# The build goes to $QB_FUZZ_BUILD (default build/fuzz). New inputs go to a scratch corpus there,
# never to the checked-in seeds in fuzz/corpus/; a finding is saved as $QB_FUZZ_BUILD/artifacts/*.
# Prints executions and executions per second for each target; fails when any target found
# something.
set -euo pipefail
cd "$(dirname "$0")/.."
# clang brings libFuzzer and the sanitizer runtimes through libclang-rt-dev.
scripts/ensure-tools.sh clang libclang-rt-dev

seconds=${1:-20}
shift || true
build=${QB_FUZZ_BUILD:-build/fuzz}
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(calling_sequence line_reader merge whole_run)
fi

cmake -S fuzz -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j "$(nproc)"
mkdir -p "$build/artifacts" "$build/logs"

failed=0
for t in "${targets[@]}"; do
  scratch="$build/corpus/$t"
  mkdir -p "$scratch"
  log="$build/logs/$t.log"
  echo "== fuzz $t for ${seconds}s"
  if "$build/${t}_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" \
      "$scratch" "fuzz/corpus/$t" >"$log" 2>&1; then
    result=clean
  else
    result=FAILED
    failed=1
    tail -n 60 "$log"
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  echo "$t: $result, ${runs:-?} executions, ${rate:-?} exec/s"
done
exit $failed
