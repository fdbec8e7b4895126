#!/usr/bin/env bash
# Builds and runs every test: warnings as errors, then again under AddressSanitizer and
# UndefinedBehaviorSanitizer, then checks the formatting.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-tools.sh libpugixml-dev

jobs=$(nproc)
configure() {  # configure BUILD-DIR CMAKE-OPTIONS...
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DQB_WERROR=ON "$@" >/dev/null
}

echo "== build and test (warnings as errors)"
configure build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/test -j "$jobs"
(cd build/test && ctest --output-on-failure -j "$jobs" --timeout 600 </dev/null)

echo "== build and test under AddressSanitizer and UndefinedBehaviorSanitizer"
configure build/sanitize -DCMAKE_BUILD_TYPE=Debug -DQB_SANITIZE=ON
cmake --build build/sanitize -j "$jobs"
(cd build/sanitize && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j "$jobs" --timeout 900 </dev/null)

echo "== formatting"
find app xmlio merge platform tests bench $(ls -d fuzz 2>/dev/null) -name '*.cpp' -o -name '*.h' |
  sort |
  xargs clang-format --dry-run --Werror
echo "formatting clean"

echo "== fuzzing for 20 s"
scripts/fuzz.sh 20

echo "== Windows: cross-built, tested under wine"
scripts/windows-leg.sh "$PWD/build/test/tests/quill_tests"
