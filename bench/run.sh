#!/usr/bin/env bash
# Times quillbraid against the floor (one streaming line pass, bench/linepass.cpp, plus one copy of
# its output, synced as the product syncs its result) and against the peer a user would write
# instead (peer_lxml.py, Debian's python3-lxml), on generated scores; prints the tables.
#
#   bench/run.sh
#
# Environment (all optional):
#   BENCH_SIZES          MB of every scenario (default "100 400")
#   BENCH_SCALING_SIZES  MB of the scaling series of scenario b (default "25 100 400")
#   BENCH_SCENARIOS      which of a b v c d to run (default all; v runs within b)
#   BENCH_ROUNDS         rounds per case, product and floor in turn (default 5)
#   BENCH_PEER_ROUNDS    rounds of the lxml peer per case (default 1; 0 skips it)
#   BENCH_SCRATCH        scratch folder (default /tmp/qb-bench); results.md lands there
#   BENCH_SEED           generator seed (default 1)
#   BENCH_BIN_DIR        take gen_score, linepass and quillbraid from here instead of building
# Every product round is checked: status 0, the backup equal to the score, no work file left.
# Exit status: 0 checks and targets met; 1 a check failed; 2 setup failed; 3 a target missed.
# shellcheck disable=SC2016
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
sizes=${BENCH_SIZES:-"100 400"} scaling=${BENCH_SCALING_SIZES:-"25 100 400"}
scenarios=${BENCH_SCENARIOS:-"a b v c d"} rounds=${BENCH_ROUNDS:-5} peers=${BENCH_PEER_ROUNDS:-1}
scratch=${BENCH_SCRATCH:-/tmp/qb-bench} seed=${BENCH_SEED:-1}
die() { echo "run.sh: $*" >&2 && exit 2; }
[[ -x /usr/bin/time ]] || die "/usr/bin/time is missing (apt-get install time)"
((peers == 0)) || /usr/bin/python3 -c 'import lxml' 2>/dev/null ||
  die "the peer needs python3-lxml (apt-get install python3-lxml), or BENCH_PEER_ROUNDS=0"
mkdir -p "$scratch"
bin=${BENCH_BIN_DIR:-$root/build/bench}
if [[ -z ${BENCH_BIN_DIR:-} ]]; then
  cmake -S "$root" -B "$bin" -DCMAKE_BUILD_TYPE=Release -DQB_WERROR=OFF -DQB_BUILD_TESTS=OFF \
    -DQB_BUILD_BENCH=ON >"$scratch/build.log" 2>&1 &&
    cmake --build "$bin" --target quillbraid gen_score linepass >>"$scratch/build.log" 2>&1 ||
    { tail -n 20 "$scratch/build.log" >&2; die "the build failed"; }
fi
bin=$(cd "$bin" && pwd)

declare -A encoding=([a]=utf8 [b]=utf8 [v]=utf8 [c]=utf16le [d]=utf8)
declare -A groups=([a]=none [b]=2 [v]=2 [c]=2 [d]=3)
declare -A target=([a]=1.3 [b]=2.5 [v]=2.5 [c]=3.0 [d]=2.5)
declare -A label=([a]="(a) UTF-8, no groups" [b]="(b) UTF-8, groups of 2"
  [v]="(b) with QUILLBRAID_OUTPUT=valid" [c]="(c) UTF-16LE, groups of 2" [d]="(d) UTF-8, groups of 3")
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.4f", b - a }'; }
failures=0
: >"$scratch/results.tsv"
: >"$scratch/missed"

# One round in a fresh folder holding a copy of the score, synced before the clock starts; its
# seconds and peak KiB land in $scratch/last.
round() {  # round KIND SCENARIO SOURCE CALLING
  local kind=$1 sc=$2 src=$3 cs=$4 dir=$scratch/round start end status=0
  rm -rf "$dir" && mkdir "$dir" && cp "$src/score.xml" "$dir/" && sync
  cd "$dir"
  start=$EPOCHREALTIME
  case $kind in
    product) QUILLBRAID_OUTPUT=$([[ $sc == v ]] && echo valid) /usr/bin/time -f %M -o rss \
      "$bin/quillbraid" "$cs" </dev/null >out 2>err || status=$? ;;
    floor) "$bin/linepass" score.xml out.xml && cp out.xml copy.xml && sync copy.xml || status=$? ;;
    peer) /usr/bin/python3 "$root/bench/peer_lxml.py" "$cs" || status=$? ;;
  esac
  end=$EPOCHREALTIME
  if [[ $kind == product ]] && { ((status != 0)) || ! cmp -s score.xmlorg "$src/score.xml" ||
    compgen -G 'QUILLBRAID_*.TXT' >/dev/null; }; then
    echo "   product round FAILED: status $status, $(cat err)" >&2
    failures=$((failures + 1))
  fi
  [[ $kind != floor ]] || cmp -s out.xml "$src/score.xml" || die "the floor changed the score"
  echo "$(seconds "$start" "$end") $([[ $kind == product ]] && tail -n 1 rss || echo 0)" >"$scratch/last"
  cd "$root"
}

# Scenario v takes its rounds in b's case, on b's score, in turn with b's (b first in odd rounds,
# v in even ones): the setting's cost is then not lost in the drift of a shared machine.
bench_case() {  # bench_case SCENARIO MB [v]
  local sc=$1 mb=$2 src=$scratch/src cs k p=() v=() f=() q=() rss=0 rv=0 t m
  rm -rf "$src" && mkdir -p "$src"
  cs=$(cd "$src" && "$bin/gen_score" --out score.xml --mb "$mb" --encoding "${encoding[$sc]}" \
    --groups "${groups[$sc]}" --seed "$seed" 2>/dev/null) || die "gen_score failed"
  local bytes
  bytes=$(stat -c %s "$src/score.xml")
  for ((k = 1; k <= rounds; k++)); do
    for kind in $( ((k % 2)) && echo "$sc ${3:-}" || echo "${3:-} $sc"); do
      round product "$kind" "$src" "$cs" && read -r t m <"$scratch/last"
      if [[ $kind == v ]]; then v+=("$t") && ((m > rv)) && rv=$m; else p+=("$t") && ((m > rss)) && rss=$m; fi
    done
    round floor "$sc" "$src" "$cs" && read -r t m <"$scratch/last" && f+=("$t")
  done
  for ((k = 1; k <= peers; k++)); do
    round peer "$sc" "$src" "$cs" && read -r t m <"$scratch/last" && q+=("$t")
  done
  local pm fm qm=0
  pm=$(printf '%s\n' "${p[@]}" | median) fm=$(printf '%s\n' "${f[@]}" | median)
  ((${#q[@]})) && qm=$(printf '%s\n' "${q[@]}" | median)
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$sc" "$mb" "$bytes" "$pm" "$rss" "$fm" "$qm" >>"$scratch/results.tsv"
  echo "-- ${label[$sc]}, $mb MB: product $pm s, floor $fm s, peer $qm s, peak $rss KiB"
  if ((${#v[@]})); then
    pm=$(printf '%s\n' "${v[@]}" | median)
    printf '%s\t%s\t%s\t%s\t%s\t%s\t0\n' v "$mb" "$bytes" "$pm" "$rv" "$fm" >>"$scratch/results.tsv"
    echo "-- ${label[v]}, $mb MB: product $pm s, peak $rv KiB"
  fi
  rm -rf "$src"
}

with_v=$([[ " $scenarios " == *" v "* ]] && echo v)
for mb in $sizes; do for sc in $scenarios; do
  [[ $sc == v ]] || bench_case "$sc" "$mb" "$([[ $sc == b ]] && echo "$with_v")"
done; done
for mb in $scaling; do
  grep -q "^b	$mb	" "$scratch/results.tsv" || [[ " $scenarios " != *" b "* ]] || bench_case b "$mb"
done

{
  echo "| scenario | MB | product s | MB/s | peak RSS MiB | floor s | ratio | target | peer s | peer / product |"
  echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
  while IFS=$'\t' read -r sc mb bytes pm rss fm qm; do
    awk -v l="${label[$sc]}" -v b="$bytes" -v p="$pm" -v r="$rss" -v f="$fm" -v q="$qm" -v t="${target[$sc]}" 'BEGIN {
      ratio = p / f; miss = ratio > t || r / 1024 >= 16 || (q > 0 && q / p < 15)
      bold = miss ? "**" : ""; ps = q > 0 ? sprintf("%.2f", q) : "-"; pr = q > 0 ? sprintf("%.1f", q / p) : "-"
      printf "| %s | %.0f | %.3f | %.0f | %.1f | %.3f | %s%.2f%s | <= %s | %s | %s |\n", l, b / 1e6, p,
        b / 1e6 / p, r / 1024, f, bold, ratio, bold, t, ps, pr
      exit miss }' || echo "$sc $mb" >>"$scratch/missed"
  done < <(sort -t$'\t' -k1,1 -k2,2n "$scratch/results.tsv")
  echo
  echo "Scaling, scenario (b): seconds per 100 MB"
  echo
  echo "| MB | product s | s per 100 MB | peak RSS MiB |"
  echo "|---:|---:|---:|---:|"
  awk -F'\t' '$1 == "b" { printf "| %.0f | %.3f | %.3f | %.1f |\n", $3 / 1e6, $4, $4 * 1e8 / $3, $5 / 1024 }' \
    "$scratch/results.tsv" | sort -t'|' -k2,2n
} | tee "$scratch/results.md"
((failures == 0)) || { echo "run.sh: $failures product rounds failed their checks" >&2 && exit 1; }
[[ ! -s $scratch/missed ]] || { echo "run.sh: $(wc -l <"$scratch/missed") rows missed a target (in bold)" >&2 && exit 3; }
