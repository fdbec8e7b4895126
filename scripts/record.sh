#!/usr/bin/env bash
# Records what one golden case's run does as its expectation: out/, records, status and codes,
# from one run in memory at the first block size. Read every line of them before committing.
#   scripts/record.sh CASE      (a folder name under tests/data/runs)
set -euo pipefail
cd "$(dirname "$0")/.."
case=${1:?usage: scripts/record.sh CASE}
[ -f "tests/data/runs/$case/args" ] || { echo "no case tests/data/runs/$case" >&2; exit 2; }
cmake -S . -B build/test -G Ninja -DQB_WERROR=ON >/dev/null
cmake --build build/test --target quill_tests >/dev/null
out=$(QB_RECORD=$case build/test/tests/quill_tests --gtest_filter="Golden/InMemory.Run/${case//-/_}" 2>&1) ||
  { echo "$out"; exit 1; }
grep -q '^\[  PASSED  \] 1 test\.$' <<<"$out" || { echo "$out"; echo "recorded nothing" >&2; exit 1; }
git status --short --untracked-files=all "tests/data/runs/$case"
