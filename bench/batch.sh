#!/usr/bin/env bash
# Measures the README's many-scores command: BENCH_SCORES generated scores of 1 MB (default 200;
# UTF-8 and UTF-16LE, groups of 2 and 3, a seed each) through GNU parallel at 1 and 2 jobs,
# checked (every score merged, its backup equal to the original) and timed in scores per second.
#
#   bench/batch.sh                       quillbraid and gen_score from build/bench (built here)
#   BENCH_BIN_DIR=DIR bench/batch.sh     take both from DIR
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
count=${BENCH_SCORES:-200}
scratch=${BENCH_SCRATCH:-/tmp/qb-bench}/batch
bin=${BENCH_BIN_DIR:-$root/build/bench}
command -v parallel >/dev/null || { echo "batch.sh: needs GNU parallel (apt-get install parallel)" >&2; exit 2; }
if [[ -z ${BENCH_BIN_DIR:-} ]]; then
  cmake -S "$root" -B "$bin" -DCMAKE_BUILD_TYPE=Release -DQB_WERROR=OFF -DQB_BUILD_TESTS=OFF \
    -DQB_BUILD_BENCH=ON >/dev/null
  cmake --build "$bin" --target quillbraid gen_score >/dev/null
fi
bin=$(cd "$bin" && pwd)
export PATH=$bin:$PATH

rm -rf "$scratch"
mkdir -p "$scratch/src"
encodings=(utf8 utf16le) groups=(2 3)
cd "$scratch/src"
for ((k = 1; k <= count; k++)); do
  gen_score --out "score$k.xml" --mb 1 --encoding "${encodings[k % 2]}" \
    --groups "${groups[(k / 2) % 2]}" --seed "$k" 2>/dev/null |
    sed 's|^CALLEDBY=ORVANTIDE,FILE=score[0-9]*[.]xml/||' >"score$k.xml.groups"
done

for jobs in 1 2; do
  rm -rf "${scratch:?}/lib"
  cp -r "$scratch/src" "$scratch/lib"
  sync
  cd "$scratch/lib"
  start=$EPOCHREALTIME
  # The README's command, word for word but for the job count; the single quotes are meant.
  # shellcheck disable=SC2016
  parallel --jobs "$jobs" --tag --joblog batch.log \
    'w=$(mktemp -d qb.XXXXXX) && cd "$w" && quillbraid CALLEDBY=ORVANTIDE,FILE=..\\{}/"$(cat ../{}.groups)" </dev/null; s=$?; cd .. && rm -rf "$w"; exit $s # {}' \
    ::: *.xml || { echo "batch.sh: $? score(s) failed; see $scratch/lib/batch.log" >&2; exit 1; }
  end=$EPOCHREALTIME
  for ((k = 1; k <= count; k++)); do
    cmp -s "score$k.xmlorg" "$scratch/src/score$k.xml" ||
      { echo "batch.sh: score$k.xml has no backup equal to the original" >&2; exit 1; }
    ! cmp -s "score$k.xml" "$scratch/src/score$k.xml" ||
      { echo "batch.sh: score$k.xml was not merged" >&2; exit 1; }
  done
  awk -v n="$count" -v j="$jobs" -v a="$start" -v b="$end" \
    'BEGIN { printf("jobs %d: %d scores in %.2f s, %.1f scores/s\n", j, n, b - a, n / (b - a)) }'
  cd "$root"
done
rm -rf "$scratch"
