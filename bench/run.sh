#!/usr/bin/env bash
# Times quillbraid against the floor (one streaming line pass, bench/linepass.cpp, plus one copy
# of its output) and against the peer a user would write instead (peer_lxml.py, Debian's
# python3-lxml) on generated scores.
#
#   bench/run.sh            build, run every scenario, print the tables (the default)
#   bench/run.sh selftest   build and check gen_score and linepass only; no product needed
#
# Environment (all optional):
#   BENCH_SIZES          sizes in MB of every scenario (default "100 400")
#   BENCH_SCALING_SIZES  sizes in MB of the scaling run of scenario b (default "25 100 400")
#   BENCH_ROUNDS         rounds per case, product and floor interleaved (default 5)
#   BENCH_PEER_ROUNDS    rounds of the lxml peer per case, after those (default 1; 0 skips it)
#   BENCH_FLOOR          another floor program to time instead of linepass (FLOOR IN OUT)
#   BENCH_SCRATCH        scratch folder (default /tmp/qb-bench): round folders, results.md,
#                        failures/ (logs of failed product rounds), build.log
#   BENCH_SEED           generator seed (default 1)
#   BENCH_SELFTEST_MB    size of each selftest score (default 25)
#   BENCH_BUILD_DIR      where cmake builds them (default build/bench in the repository)
#   BENCH_BIN_DIR        take gen_score, linepass and quillbraid from this folder instead of
#                        building them with cmake
#
# Exit status: 0 all checks and targets met; 1 a check failed; 2 build or setup failed;
# 3 every check passed but a target was missed.

# The sh -c snippets take their operands as "$1"...; the single quotes are meant.
# shellcheck disable=SC2016
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
mode=${1:-bench}
sizes=${BENCH_SIZES:-"100 400"}
scaling_sizes=${BENCH_SCALING_SIZES:-"25 100 400"}
rounds=${BENCH_ROUNDS:-5}
peer_rounds=${BENCH_PEER_ROUNDS:-1}
scratch=${BENCH_SCRATCH:-/tmp/qb-bench}
seed=${BENCH_SEED:-1}
selftest_mb=${BENCH_SELFTEST_MB:-25}
build_dir=${BENCH_BUILD_DIR:-$root/build/bench}
gen_score='' linepass='' quillbraid='' floor=''

die() {
  echo "run.sh: $*" >&2
  exit 2
}

[[ -x /usr/bin/time ]] || die "/usr/bin/time is missing (apt-get install time)"
[[ $rounds =~ ^[1-9][0-9]*$ ]] || die "BENCH_ROUNDS must be a positive integer"
[[ $peer_rounds =~ ^[0-9]+$ ]] || die "BENCH_PEER_ROUNDS must be a whole number"
if ((peer_rounds > 0)); then
  /usr/bin/python3 -c 'import lxml' 2>/dev/null ||
    die "the lxml peer needs python3-lxml (apt-get install python3-lxml), or BENCH_PEER_ROUNDS=0"
fi
for s in $sizes $scaling_sizes $selftest_mb; do
  [[ $s =~ ^[0-9]+([.][0-9]+)?$ ]] || die "sizes must be numbers of MB, got '$s'"
done

# Prints the path of an executable called $1 under the build folder, or nothing.
find_built() {
  find "$build_dir" -type f -name "$1" -perm -u+x -not -path '*/CMakeFiles/*' 2>/dev/null | head -n 1
}

# Sets gen_score, linepass and (when asked for) quillbraid to absolute paths of Release binaries.
build() {
  local want_product=$1 t path
  local targets=(gen_score linepass)
  [[ $want_product == yes ]] && targets+=(quillbraid)
  if [[ -n ${BENCH_BIN_DIR:-} ]]; then
    for t in "${targets[@]}"; do
      [[ -x $BENCH_BIN_DIR/$t ]] || die "$t not found in BENCH_BIN_DIR=$BENCH_BIN_DIR"
      printf -v "$t" '%s' "$(cd "$BENCH_BIN_DIR" && pwd)/$t"
    done
    floor=${BENCH_FLOOR:-$linepass}
    return
  fi
  [[ -f $root/CMakeLists.txt ]] ||
    die "no CMakeLists.txt in $root yet, so nothing (and no quillbraid) can be built there." \
      "With ready binaries: BENCH_BIN_DIR=DIR bench/run.sh [selftest]"
  local log=$scratch/build.log
  echo "building ${targets[*]} (Release) in $build_dir; log: $log"
  # Warnings stay errors in the test builds; at -O3, g++ 12 also reports -Wrestrict inside
  # std::string code that is not wrong, which must not stop a timing run.
  cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DQB_WERROR=OFF \
    -DQB_BUILD_TESTS=OFF -DQB_BUILD_BENCH=ON >"$log" 2>&1 ||
    { tail -n 20 "$log" >&2; die "cmake configure failed"; }
  for t in "${targets[@]}"; do
    if ! cmake --build "$build_dir" --parallel 2 --target "$t" >>"$log" 2>&1; then
      tail -n 20 "$log" >&2
      if [[ $t == quillbraid ]]; then
        die "the product quillbraid could not be built (no such target yet, or a build error)." \
          "The generator and floor alone can be checked with: bench/run.sh selftest"
      fi
      die "building $t failed"
    fi
    path=$(find_built "$t")
    [[ -n $path ]] || die "$t built, but no executable of that name is under $build_dir"
    printf -v "$t" '%s' "$path"
  done
  floor=${BENCH_FLOOR:-$linepass}
}

# Runs "$@" under /usr/bin/time into $1's file; the time file's last line is "seconds KiB", the
# seconds taken to the microsecond from the shell's clock (time's own are tenths of hundredths).
timed() {
  local out=$1 start status
  shift
  start=$EPOCHREALTIME
  /usr/bin/time -f '%M' -o "$out" "$@" && status=0 || status=$?
  local end=$EPOCHREALTIME
  echo "$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", b - a }') $(tail -n 1 "$out")" >>"$out"
  return $status
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# ---------------------------------------------------------------------------------------------
# Structure check of a generated score. Reads UTF-8 text (UTF-16 goes through iconv first) and
# checks the layout the product relies on: CR LF everywhere, one element per line, one tab per
# nesting level, the exact first attributes, full measures per voice, backups that never go
# below the measure start, equal measure counts inside a group, and the calling sequence.
read -r -d '' structure_awk <<'AWK' || true
function fail(msg) {
  if (errors < 10) printf("    line %d: %s [%s]\n", NR, msg, $0) > "/dev/stderr"
  errors++
}
function digits(s) { gsub(/[^0-9]/, "", s); return s + 0 }
BEGIN {
  depth = 0
  n = split("^\t\t\t<attributes>$|^\t\t\t\t<divisions>480</divisions>$|^\t\t\t\t<key>$|" \
            "^\t\t\t\t\t<fifths>-?[0-9]</fifths>$|^\t\t\t\t</key>$|^\t\t\t\t<time>$|" \
            "^\t\t\t\t\t<beats>4</beats>$|^\t\t\t\t\t<beat-type>4</beat-type>$|^\t\t\t\t</time>$|" \
            "^\t\t\t\t<clef>$|^\t\t\t\t\t<sign>[GFC]</sign>$|^\t\t\t\t\t<line>[1-5]</line>$|" \
            "^\t\t\t\t</clef>$|^\t\t\t</attributes>$", attr, "|")
}
{
  if (substr($0, length($0), 1) != "\r") fail("line does not end with CR LF")
  else $0 = substr($0, 1, length($0) - 1)
  if (index($0, "\r") > 0) fail("CR inside a line")
  last = $0
  if (match($0, /[\200-\377]/)) nonascii++
}
NR == 1 {
  if (bom == 1) {
    if (substr($0, 1, 3) != "\357\273\277") fail("no UTF-8 byte-order mark")
    $0 = substr($0, 4)
  }
  if ($0 != "<?xml version=\"1.0\" encoding=\"" enc "\"?>") fail("XML declaration")
  next
}
{
  tabs = 0
  while (substr($0, tabs + 1, 1) == "\t") tabs++
  body = substr($0, tabs + 1)
  if (body !~ /^<[^<>]+>([^<>]*<\/[^<>]+>)?$/) { fail("not one element per line"); next }
  closing = substr(body, 2, 1) == "/"
  match(body, /^<\/?[A-Za-z][A-Za-z0-9-]*/)
  name = closing ? substr(body, 3, RLENGTH - 2) : substr(body, 2, RLENGTH - 1)
  if (closing) depth--
  if (tabs != depth) fail("indented " tabs " tabs at depth " depth)
  if (closing) {
    if (stack[depth] != name) fail("closes <" stack[depth] ">")
  } else if (body ~ /<\/[^<>]+>$/) {
    if (body !~ ("</" name ">$")) fail("leaf closes another element")
  } else if (body !~ /\/>$/) {
    stack[depth] = name
    depth++
  }
}
$0 == "\t<part-list>" { inlist = 1 }
$0 == "\t</part-list>" { inlist = 0 }
inlist && /^\t\t<score-part / {
  listed++
  if ($0 != "\t\t<score-part id=\"P" listed "\">") fail("score-part out of order")
}
/^\t*<note[ >]/ && $0 != "\t\t\t<note>" { fail("note start line") }
/<clef[ >]/ { clefs++; if ($0 != "\t\t\t\t<clef>") fail("clef start line") }
/^\t<part / {
  part++
  measure = 0
  if ($0 != "\t<part id=\"P" part "\">") fail("part out of order")
}
/^\t\t<measure / {
  measure++
  if ($0 != "\t\t<measure number=\"" measure "\">") fail("measure number")
  pos = 0; fill[1] = 0; fill[2] = 0
  expect = measure == 1 ? 1 : 0
  next
}
expect > 0 {
  if ($0 !~ attr[expect]) fail("first attributes, line " expect)
  expect = expect < n ? expect + 1 : 0
  next
}
$0 == "\t\t\t<note>" { innote = 1; chord = 0; dur = -1; voice = 0; next }
innote && $0 == "\t\t\t\t<chord/>" { chord = 1; chords++; if (dur >= 0) fail("chord after duration") }
innote && /^\t\t\t\t<duration>[0-9]+<\/duration>$/ { dur = digits($0) }
innote && /^\t\t\t\t<voice>[12]<\/voice>$/ { voice = digits($0) }
innote && /^\t\t\t\t<lyric / { lyrics++ }
$0 == "\t\t\t</note>" {
  innote = 0
  notes++
  if (dur < 0 || voice == 0) fail("note without duration or voice")
  if (!chord) { pos += dur; fill[voice] += dur }
}
$0 == "\t\t\t<backup>" { inbackup = 1; backups++ }
inbackup && /<duration>/ { pos -= digits($0); if (pos < 0) fail("backup before the measure start") }
$0 == "\t\t\t</backup>" { inbackup = 0 }
$0 == "\t\t\t<direction placement=\"below\">" || $0 == "\t\t\t<direction placement=\"above\">" {
  directions++
}
$0 == "\t\t</measure>" {
  measures++
  if (fill[1] != 1920) fail("voice 1 fills " fill[1])
  if (fill[2] != 0 && fill[2] != 1920) fail("voice 2 fills " fill[2])
}
$0 == "\t</part>" { count[part] = measure }
END {
  if (last != "</score-partwise>") fail("last line is not </score-partwise>")
  if (depth != 0) fail("elements left open at the end")
  if (listed != part || part == 0) fail(listed " score-parts for " part " parts")
  if (part % g != 0) fail(part " parts do not split into groups of " g)
  for (p = 1; p <= part; p++) {
    lead = p - (p - 1) % g
    if (count[p] != count[lead]) fail("P" p " has " count[p] " measures, P" lead " " count[lead])
  }
  s = "CALLEDBY=ORVANTIDE,FILE=" file "/"
  if (g > 1) {
    for (p = g; p <= part; p += g) {
      s = s "STAVESUP=" (g - 1) ",PART=" p ",INSTR=,"
      for (k = p - g + 1; k <= p; k++) s = s k ","
      s = s "/"
    }
  }
  if (s != cs) { fail("calling sequence"); printf("    expected %s\n    got      %s\n", s, cs) > "/dev/stderr" }
  if (clefs < part) fail("a part has no clef")
  printf("    %d lines, %d parts, %d measures, %d notes (%d chord), %d backups, %d clef changes, " \
         "%d directions, %d lyrics, %d non-ASCII lines\n", NR, part, measures, notes, chords,
         backups, clefs - part, directions, lyrics, nonascii)
  exit errors > 0
}
AWK

passed=0
failed=0
ok() { echo "  ok    $*"; passed=$((passed + 1)); }
bad() { echo "  FAIL  $*"; failed=$((failed + 1)); }
check() { # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then ok "$what"; else bad "$what"; fi
}

mbps() { awk -v b="$1" -v s="$2" 'BEGIN { if (s > 0) printf "%.0f", b / 1e6 / s; else print "inf" }'; }

selftest() {
  local dir=$scratch/selftest
  mkdir -p "$dir"
  echo "== gen_score: encodings x groups at $selftest_mb MB (seed $seed)"
  local enc groups decl bom cs bytes secs lsecs text
  for enc in utf8 utf8bom utf16le utf16be; do
    for groups in none 2 3; do
      rm -f "$dir"/*
      local name="$enc/$groups"
      if ! (cd "$dir" && timed gen.time "$gen_score" --out score.xml --mb "$selftest_mb" \
        --encoding "$enc" --groups "$groups" --seed "$seed" >cs.txt 2>gen.log); then
        bad "$name: gen_score failed: $(cat "$dir/gen.log")"
        continue
      fi
      cs=$(<"$dir/cs.txt")
      bytes=$(stat -c %s "$dir/score.xml")
      secs=$(tail -n 1 "$dir/gen.time" | cut -d' ' -f1)
      echo "  $name: $bytes bytes in ${secs}s ($(mbps "$bytes" "$secs") MB/s)"
      check "$name: size within 3% of $selftest_mb MB" \
        awk -v b="$bytes" -v t="$selftest_mb" 'BEGIN { d = b / (t * 1e6) - 1; exit !(d < 0.03 && d > -0.03) }'
      decl=UTF-8 bom=0 text=$dir/score.xml
      case $enc in
        utf8bom) bom=1 ;;
        utf16le | utf16be)
          decl=UTF-16 text=$dir/decoded.xml
          local mark
          mark=$(head -c 2 "$dir/score.xml" | od -An -tx1 | tr -d ' ')
          if [[ $enc == utf16le ]]; then
            check "$name: byte-order mark FF FE" test "$mark" = fffe
          else
            check "$name: byte-order mark FE FF" test "$mark" = feff
          fi
          check "$name: iconv decodes UTF-16 to UTF-8" \
            sh -c 'iconv -f UTF-16 -t UTF-8 "$1" >"$2"' _ "$dir/score.xml" "$text"
          # Re-encoding the decoded text must give the file back, mark included.
          local unit=UTF-16LE
          [[ $enc == utf16be ]] && unit=UTF-16BE
          check "$name: UTF-8 -> $unit round trip equals the file" \
            sh -c '{ head -c 2 "$1"; iconv -f UTF-8 -t "$3" "$2"; } | cmp -s - "$1"' _ \
            "$dir/score.xml" "$text" "$unit"
          ;;
      esac
      local g=${groups/none/1}
      check "$name: structure and calling sequence" \
        awk -v enc="$decl" -v bom="$bom" -v g="$g" -v file=score.xml -v cs="$cs" \
        "$structure_awk" "$text"
      check "$name: a few greps agree (CR LF lines, <note> count = </note> count)" sh -c '
        lines=$(tr -cd "\n" <"$1" | wc -c); crlf=$(grep -c "$(printf "\r")\$" "$1")
        open=$(grep -c "^$(printf "\t\t\t")<note>$(printf "\r")\$" "$1")
        close=$(grep -c "^$(printf "\t\t\t")</note>$(printf "\r")\$" "$1")
        test "$lines" = "$crlf" && test "$open" = "$close" && test "$open" -gt 0' _ "$text"
      if (cd "$dir" && timed pass.time "$linepass" score.xml out.xml); then
        lsecs=$(tail -n 1 "$dir/pass.time" | cut -d' ' -f1)
        echo "  $name: linepass ${lsecs}s ($(mbps "$bytes" "$lsecs") MB/s)," \
          "$(tail -n 1 "$dir/pass.time" | cut -d' ' -f2) KiB peak"
        check "$name: linepass output equals input" cmp -s "$dir/score.xml" "$dir/out.xml"
      else
        bad "$name: linepass failed"
      fi
    done
  done
  rm -f "$dir"/*

  echo "== gen_score: determinism and usage"
  (cd "$dir" && "$gen_score" --out a.xml --mb 1 --encoding utf16le --groups 3 --seed 42 >a.cs 2>/dev/null &&
    "$gen_score" --out b.xml --mb 1 --encoding utf16le --groups 3 --seed 42 >b.cs 2>/dev/null &&
    "$gen_score" --out c.xml --mb 1 --encoding utf16le --groups 3 --seed 43 >c.cs 2>/dev/null) ||
    bad "gen_score failed on 1 MB scores"
  check "same seed gives the same bytes" cmp -s "$dir/a.xml" "$dir/b.xml"
  check "another seed gives other bytes" sh -c '! cmp -s "$1" "$2"' _ "$dir/a.xml" "$dir/c.xml"
  local args
  for args in "--out x.xml --mb 1 --encoding utf32 --groups 2" "--out x.xml --mb 0 --encoding utf8 --groups 2" \
    "--out x.xml --mb 1 --encoding utf8 --groups 4" "--out x.xml --mb 1 --encoding utf8" \
    "--out x.xml --mb 1 --encoding utf8 --groups 2 --seed -1" "--out /nonexistent/x.xml --mb 1 --encoding utf8 --groups 2"; do
    # shellcheck disable=SC2086 # the arguments are meant to split
    check "refused: $args" sh -c '! (cd "$1" && shift && "$@" >out.cs 2>/dev/null) && test ! -s "$1/out.cs"' _ \
      "$dir" "$gen_score" $args
  done

  echo "== linepass: line ends at block boundaries (blocks of 1 MiB, output buffer 1 MiB)"
  local block=1048576
  a() { head -c "$1" /dev/zero | tr '\0' a; }
  # name | input | expected output
  lp_case() {
    local what=$1
    eval "$2" >"$dir/in.bin"
    eval "$3" >"$dir/want.bin"
    if "$linepass" "$dir/in.bin" "$dir/got.bin" && cmp -s "$dir/want.bin" "$dir/got.bin"; then
      ok "linepass: $what"
    else
      bad "linepass: $what"
    fi
  }
  lp_case "empty file" "true" "true"
  lp_case "CR LF kept" "printf 'a\r\nb\r\n'" "printf 'a\r\nb\r\n'"
  lp_case "lone CR ends a line" "printf 'a\rb\r\n'" "printf 'a\r\nb\r\n'"
  lp_case "lone LF stays in the line" "printf 'a\nb\r\n'" "printf 'a\nb\r\n'"
  lp_case "last line without terminator" "printf 'a\r\nb'" "printf 'a\r\nb\r\n'"
  lp_case "CR CR LF is two lines" "printf 'a\r\r\n'" "printf 'a\r\n\r\n'"
  lp_case "CR LF split across blocks" "a $((block - 1)); printf '\r\nb\r\n'" "a $((block - 1)); printf '\r\nb\r\n'"
  lp_case "CR at block end, next block no LF" "a $((block - 1)); printf '\rb\r\n'" "a $((block - 1)); printf '\r\nb\r\n'"
  lp_case "CR at block end, then LF LF" "a $((block - 1)); printf '\r\n\nb'" "a $((block - 1)); printf '\r\n\nb\r\n'"
  lp_case "LF opening a block without a CR before" "a $block; printf '\nb\r\n'" "a $block; printf '\nb\r\n'"
  lp_case "CR at end of file" "printf 'a\r'" "printf 'a\r\n'"
  lp_case "line longer than both buffers" "a $((5 * block + 3)); printf '\r\nb\r\n'" "a $((5 * block + 3)); printf '\r\nb\r\n'"
  # UTF-16: split at the 000D unit, never at a 0x0D byte of another character.
  wa() { a "$1" | iconv -f ASCII -t UTF-16LE; }
  local le="printf '\377\376'" be="printf '\376\377'" fill=$(((block - 4) / 2))
  lp_case "UTF-16LE CR LF kept" "$le; printf 'a\0\r\0\n\0b\0\r\0\n\0'" "$le; printf 'a\0\r\0\n\0b\0\r\0\n\0'"
  lp_case "UTF-16LE lone CR unit ends a line" "$le; printf 'a\0\r\0b\0'" "$le; printf 'a\0\r\0\n\0b\0\r\0\n\0'"
  lp_case "UTF-16LE U+010D and U+0D00 are no CR" "$le; printf '\r\001\0\r\r\0\n\0'" "$le; printf '\r\001\0\r\r\0\n\0'"
  lp_case "UTF-16LE CR LF split across blocks" "$le; wa $fill; printf '\r\0\n\0b\0\r\0\n\0'" "$le; wa $fill; printf '\r\0\n\0b\0\r\0\n\0'"
  lp_case "UTF-16LE CR at block end, no LF next" "$le; wa $fill; printf '\r\0b\0'" "$le; wa $fill; printf '\r\0\n\0b\0\r\0\n\0'"
  lp_case "UTF-16BE CR LF and lone LF kept" "$be; printf '\0a\0\n\0b\0\r\0\n'" "$be; printf '\0a\0\n\0b\0\r\0\n'"
  lp_case "UTF-16BE last line gets CR LF units" "$be; printf '\0a\0\r\0\n\0b'" "$be; printf '\0a\0\r\0\n\0b\0\r\0\n'"
  check "linepass refuses a missing input" sh -c '! "$1" "$2/missing.bin" "$2/x.bin" 2>/dev/null' _ "$linepass" "$dir"
  rm -rf "$dir"
  echo "$passed passed, $failed failed"
  [[ $failed -eq 0 ]]
}

# ---------------------------------------------------------------------------------------------
# v is b again with QUILLBRAID_OUTPUT=valid, which must cost no measurable speed.
declare -A scenario_encoding=([a]=utf8 [b]=utf8 [v]=utf8 [c]=utf16le [d]=utf8)
declare -A scenario_groups=([a]=none [b]=2 [v]=2 [c]=2 [d]=3)
declare -A scenario_target=([a]=1.3 [b]=2.5 [v]=2.5 [c]=3.0 [d]=2.5)
declare -A scenario_output=([v]=valid)
peer_target=15 # the peer takes at least this many times the product's time
declare -A scenario_label=([a]="a utf8, no groups" [b]="b utf8, groups of 2"
  [v]="b, QUILLBRAID_OUTPUT=valid"
  [c]="c utf16le, groups of 2" [d]="d utf8, groups of 3")
results=$scratch/results.tsv
check_failures=0

# One scenario at one size: generate once, then rounds of product and floor, each in a fresh
# folder that is checked and removed before the next, so at most one large score and one
# round's results are on disk at a time.
bench_case() {
  local sc=$1 mb=$2 dir=$scratch/$1-$2
  local src=$dir/src
  rm -rf "$dir"
  mkdir -p "$src"
  (cd "$src" && timed gen.time "$gen_score" --out score.xml --mb "$mb" \
    --encoding "${scenario_encoding[$sc]}" --groups "${scenario_groups[$sc]}" --seed "$seed" \
    >cs.txt 2>gen.log) || die "gen_score failed: $(cat "$src/gen.log")"
  local cs bytes gen_s
  cs=$(<"$src/cs.txt")
  bytes=$(stat -c %s "$src/score.xml")
  gen_s=$(tail -n 1 "$src/gen.time" | cut -d' ' -f1)
  echo "-- ${scenario_label[$sc]}, $mb MB: $bytes bytes generated in ${gen_s}s"
  local r rd status p_times=() f_times=() p_rss=0 t m case_failures=0
  for ((r = 1; r <= rounds; r++)); do
    rd=$dir/product-$r
    mkdir "$rd"
    cp "$src/score.xml" "$rd/score.xml"
    sync
    set +e
    (cd "$rd" && QUILLBRAID_OUTPUT=${scenario_output[$sc]:-} timed "$dir/p$r.time" "$quillbraid" \
      "$cs" </dev/null >"$dir/p$r.out" 2>"$dir/p$r.err")
    status=$?
    set -e
    read -r t m < <(tail -n 1 "$dir/p$r.time")
    local problems=()
    [[ $status -eq 0 ]] || problems+=("exit status $status")
    [[ -f $rd/score.xmlorg ]] && cmp -s "$rd/score.xmlorg" "$src/score.xml" ||
      problems+=("score.xmlorg missing or not equal to the generated score")
    compgen -G "$rd/QUILLBRAID_*.TXT" >/dev/null && problems+=("work files left: $(cd "$rd" && echo QUILLBRAID_*.TXT)")
    if ((${#problems[@]} > 0)); then
      check_failures=$((check_failures + 1))
      local keep=$scratch/failures/$sc-$mb-round$r
      mkdir -p "$keep"
      cp "$dir/p$r.out" "$dir/p$r.err" "$dir/p$r.time" "$keep/"
      ls -l "$rd" >"$keep/listing.txt"
      local joined
      joined=$(printf '%s; ' "${problems[@]}")
      echo "   round $r product: FAILED: ${joined%; } (logs in $keep)"
      case_failures=$((case_failures + 1))
    else
      echo "   round $r product: ${t}s, $m KiB"
    fi
    p_times+=("$t")
    ((m > p_rss)) && p_rss=$m
    rm -rf "$rd"

    rd=$dir/floor-$r
    mkdir "$rd"
    cp "$src/score.xml" "$rd/score.xml"
    sync
    local start end
    start=$EPOCHREALTIME
    (cd "$rd" && "$floor" score.xml out.xml >/dev/null && cp out.xml out2.xml) ||
      die "floor run failed in $rd"
    end=$EPOCHREALTIME
    cmp -s "$rd/out.xml" "$src/score.xml" || die "the floor's output differs from its input in $rd"
    t=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", b - a }')
    echo "   round $r floor:   ${t}s (floor and cp)"
    f_times+=("$t")
    rm -rf "$rd"
  done
  local peer_times=(0)
  # The peer does the same work in v as in b.
  local peers=$peer_rounds
  [[ $sc == v ]] && peers=0
  for ((r = 1; r <= peers; r++)); do
    ((r == 1)) && peer_times=()
    rd=$dir/peer-$r
    mkdir "$rd"
    cp "$src/score.xml" "$rd/score.xml"
    sync
    start=$EPOCHREALTIME
    (cd "$rd" && /usr/bin/python3 "$here/peer_lxml.py" "$cs") || die "the lxml peer failed in $rd"
    end=$EPOCHREALTIME
    t=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", b - a }')
    echo "   round $r peer:    ${t}s (lxml)"
    peer_times+=("$t")
    rm -rf "$rd"
  done
  local p_med f_med peer_med
  p_med=$(printf '%s\n' "${p_times[@]}" | median)
  f_med=$(printf '%s\n' "${f_times[@]}" | median)
  peer_med=$(printf '%s\n' "${peer_times[@]}" | median)
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$sc" "$mb" "$bytes" "$p_med" "$p_rss" "$f_med" \
    "$peer_med" "$gen_s" "$case_failures" >>"$results"
  rm -rf "$dir"
}

report() {
  local misses=0
  {
    echo "| scenario | size MB | product median s | MB/s | peak RSS MiB | floor median s | ratio | peer s | peer / product | target | met |"
    echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|:---:|"
    local sc mb bytes p_med p_rss f_med peer_med gen_s fails
    for sc in a b v c d; do
      for mb in $sizes; do
        IFS=$'\t' read -r sc mb bytes p_med p_rss f_med peer_med gen_s fails < <(awk -F'\t' -v s="$sc" -v m="$mb" '$1 == s && $2 == m' "$results" | head -n 1)
        awk -v label="${scenario_label[$sc]}" -v b="$bytes" -v p="$p_med" -v r="$p_rss" -v f="$f_med" -v t="${scenario_target[$sc]}" -v fails="$fails" -v peer="$peer_med" -v pt="$peer_target" 'BEGIN {
          ratio = f > 0 ? p / f : 0
          over = (peer > 0 && p > 0) ? peer / p : 0
          met = (ratio <= t && r / 1024 < 16 && (peer == 0 || over >= pt)) ? "yes" : "NO"
          if (fails > 0) met = "NO: " fails " round(s) failed checks"
          printf("| %s | %.0f | %.3f | %s | %.1f | %.3f | %.2f | %s | %s | <= %s, < 16 MiB, peer >= %sx | %s |\n",
                 label, b / 1e6, p, p > 0 ? sprintf("%.0f", b / 1e6 / p) : "n/a", r / 1024, f, ratio,
                 peer > 0 ? sprintf("%.2f", peer) : "-", over > 0 ? sprintf("%.1f", over) : "-", t, pt, met)
        }'
      done
    done
    echo
    echo "Scaling, scenario b (utf8, groups of 2):"
    echo
    echo "| size MB | product median s | MB/s | s per 100 MB | peak RSS MiB | floor median s | ratio |"
    echo "|---:|---:|---:|---:|---:|---:|---:|"
    for mb in $scaling_sizes; do
      IFS=$'\t' read -r sc mb bytes p_med p_rss f_med peer_med gen_s fails < <(awk -F'\t' -v m="$mb" '$1 == "b" && $2 == m' "$results" | head -n 1)
      awk -v b="$bytes" -v p="$p_med" -v r="$p_rss" -v f="$f_med" 'BEGIN {
        printf("| %.0f | %.2f | %s | %.3f | %.1f | %.2f | %.2f |\n", b / 1e6, p,
               p > 0 ? sprintf("%.0f", b / 1e6 / p) : "n/a", p / (b / 1e8), r / 1024, f,
               f > 0 ? p / f : 0)
      }'
    done
    awk -F'\t' -v list=" $scaling_sizes " '$1 == "b" && index(list, " " $2 " ") {
      r = $5 / 1024; if (n == 0 || r < lo) lo = r; if (n == 0 || r > hi) hi = r; n++ }
      END { printf("\nPeak RSS across the scaling sizes: %.1f to %.1f MiB (spread %.1f MiB).\n", lo, hi, hi - lo) }' "$results"
  } | tee "$scratch/results.md"
  # Targets are judged on the scenario sizes; the scaling-only sizes are there to show the trend.
  misses=$(awk -F'\t' -v a="${scenario_target[a]}" -v b="${scenario_target[b]}" \
    -v c="${scenario_target[c]}" -v d="${scenario_target[d]}" -v v="${scenario_target[v]}" \
    -v list=" $sizes " -v pt="$peer_target" '
    BEGIN { t["a"] = a; t["b"] = b; t["c"] = c; t["d"] = d; t["v"] = v }
    index(list, " " $2 " ") {
      if (($6 > 0 ? $4 / $6 : 0) > t[$1] || $5 / 1024 >= 16 || ($7 > 0 && $4 > 0 && $7 / $4 < pt)) n++
    }
    END { print n + 0 }' "$results")
  echo
  echo "results: $scratch/results.md"
  if ((check_failures > 0)); then
    echo "$check_failures product round(s) FAILED their checks; see $scratch/failures/"
    return 1
  fi
  if ((misses > 0)); then
    echo "$misses case(s) missed a target"
    return 3
  fi
  echo "all checks passed and all targets met"
}

mkdir -p "$scratch"
case $mode in
  selftest)
    rm -rf "${scratch:?}/selftest"
    build no
    selftest
    ;;
  bench)
    # Only what earlier runs left here; the folder itself may be shared.
    rm -rf "$scratch/failures" "$scratch"/[abcdv]-* "$scratch/results.md"
    build yes
    : >"$results"
    for sc in a b v c d; do
      for mb in $sizes; do bench_case "$sc" "$mb"; done
    done
    for mb in $scaling_sizes; do
      awk -F'\t' -v m="$mb" '$1 == "b" && $2 == m { found = 1 } END { exit !found }' "$results" ||
        bench_case b "$mb"
    done
    set +e
    report
    exit $?
    ;;
  *) die "unknown mode '$mode' (bench or selftest)" ;;
esac
