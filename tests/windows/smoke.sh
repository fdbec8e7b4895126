#!/usr/bin/env bash
# Smoke tests of quillbraid.exe under wine: the exact command line, the console records and whole
# runs through the test seam, then real message boxes and the main window on wine's null display
# driver, answered by wclose.exe. Runs serially: every window of the session is visible to
# wclose, so two programs at once would answer each other's boxes.
#
#   tests/windows/smoke.sh BUILD_DIR
# Expects WINEPREFIX (with the null driver) and a running wineserver, as scripts/windows-leg.sh
# sets them up. Every wine call runs under `timeout` with standard input redirected.
set -uo pipefail

build=$(cd "${1:?usage: smoke.sh BUILD_DIR}" && pwd)
program=$build/quillbraid.exe
work=$build/smoke
passed=0
failed=0

pass() { passed=$((passed + 1)); }
fail() {
  failed=$((failed + 1))
  printf 'FAILED: %s\n' "$1"
}
# expect NAME EXPECTED ACTUAL
expect() {
  if [ "$2" == "$3" ]; then
    pass
  else
    fail "$1"
    printf '  expected: %q\n  actual:   %q\n' "$2" "$3"
  fi
}

# console STDIN ARGS... : runs the program through launch.exe with the console seam; sets rc and
# err (standard error, byte for byte).
console() {
  local answers=$1
  shift
  printf '%s' "$answers" >"$work/stdin"
  QUILLBRAID_DIALOGS=console timeout 60 wine "$build/launch.exe" "$@" \
    <"$work/stdin" >/dev/null 2>"$work/stderr"
  rc=$?
  err=$(cat "$work/stderr"; printf x)
  err=${err%x}
}

# gui ARGUMENT_STRING -- WCLOSE_STEPS... : runs the program with real boxes and wclose.exe beside
# it; sets rc (the program's status) and seen (what wclose printed).
gui() {
  local argument=$1
  shift 2
  (unset QUILLBRAID_DIALOGS; exec timeout 60 wine "$build/launch.exe" "$program" "$argument" \
    </dev/null >/dev/null 2>&1) &
  local pid=$!
  seen=$(timeout 60 wine "$build/wclose.exe" "$@" </dev/null 2>&1)
  wait "$pid"
  rc=$?
}

score=$'<?xml version="1.0" encoding="UTF-8"?>\r\n<score-partwise>\r\n\t<part-list>\r\n'
score+=$'\t\t<score-part id="P1">\r\n\t\t</score-part>\r\n\t</part-list>\r\n\r\n'
score+=$'\t<part id="P1">\r\n\t\t<measure number="1">\r\n\t\t</measure>\r\n\t</part>\r\n'
score+=$'</score-partwise>\r\n'
result=${score/$'\r\n\r\n'/$'\r\n'}
unixScore=${score//$'\r'/}
folder='my scores ü'
name='Zürich – naïve ✓.xml'

fresh() {
  rm -rf "$work"
  mkdir -p "$work/$folder"
  cd "$work" || exit 1
}
content() { cat "$1" 2>/dev/null; printf x; }

# --- The argument string is the raw text after the program's name, blanks kept. ---------------
fresh
missingSlash=$'Quillbraid: Invalid calling sequence. / missing. \r\n'
while IFS='|' read -r line argument; do
  console '' --exact "$program" "$line"
  expect "command line [$line]: record" "$missingSlash$argument"$'\n' "$err"
  expect "command line [$line]: status" 1 "$rc"
done <<EOF
"Z:\\odd name\\quillbraid.exe"   CALLEDBY=ORVANTIDE,FILE=a  b  |CALLEDBY=ORVANTIDE,FILE=a  b  
quillbraid.exe		CALLEDBY=ORVANTIDE,FILE="Zü ✓"|CALLEDBY=ORVANTIDE,FILE="Zü ✓"
C:\\"odd  path"\\q.exe CALLEDBY=ORVANTIDE,FILE=	tab|CALLEDBY=ORVANTIDE,FILE=	tab
EOF
console '' "$program"
expect "no argument string" $'Quillbraid: This program can only be called by Orvantide.\n' "$err"

# --- Whole runs through the console seam, on a name with blanks and non-ASCII characters. ------
fresh
printf '%s' "$score" >"$folder/$name"
console '' "$program" "CALLEDBY=ORVANTIDE,FILE=$folder\\$name/"
expect "whole run: status" 0 "$rc"
expect "whole run: no record" "" "$err"
expect "whole run: result in place" "${result}x" "$(content "$folder/$name")"
expect "whole run: backup" "${score}x" "$(content "$folder/${name}org")"

asked=('Records in this UTF-8 file are not separated by Carriage Returns.'
  'Such files are known to come from UNIX systems.'
  'Do you want to reorganize this file with Carriage Returns inserted?')
question="Quillbraid: ${asked[0]}"$'\r\n'"${asked[1]}"$'\r\n'"${asked[2]}"$'\n[Y/n] '
# wclose writes CR and LF in a box's text as \r and \n.
questionBox="box buttons=6,7 form=hidden text=${asked[0]}\\r\\n${asked[1]}\\r\\n${asked[2]}"
for answer in n y; do
  fresh
  printf '%s' "$unixScore" >"$folder/$name"
  console "$answer"$'\n' "$program" "CALLEDBY=ORVANTIDE,FILE=$folder\\$name/"
  expect "LF-only input, answer $answer: question" "$question" "${err:0:${#question}}"
  if [ "$answer" = n ]; then
    expect "answer n: status" 1 "$rc"
    expect "answer n: no repair copy" "x" "$(content "$folder/KESTRINBAY.WRK")"
  else
    expect "answer y: repair copy beside the input" "${score}x" "$(content "$folder/KESTRINBAY.WRK")"
  fi
done

# --- Real message boxes: text, buttons and the answer each button gives. -----------------------
fresh
seen=$( (unset QUILLBRAID_DIALOGS; exec timeout 60 wine "$build/box_probe.exe" 16 52 64 52 \
  </dev/null >"$work/answers" 2>/dev/null) &
  timeout 60 wine "$build/wclose.exe" box=ok box=yes box=ok box=no </dev/null 2>&1; wait)
expect "boxes: what the helper saw" "box buttons=1 form=hidden text=Box 16\\r\\nZürich ✓
box buttons=6,7 form=hidden text=Box 52\\r\\nZürich ✓
box buttons=1 form=hidden text=Box 64\\r\\nZürich ✓
box buttons=6,7 form=hidden text=Box 52\\r\\nZürich ✓" "$seen"
expect "boxes: answers" $'answer 16=1\nanswer 52=6\nanswer 64=1\nanswer 52=7' "$(cat "$work/answers")"

# --- The main window: hidden in a normal run, shown only after an open failure. ----------------
fresh
printf '%s' "$score" >"$folder/$name"
gui "CALLEDBY=ORVANTIDE,FILE=$folder\\$name/" --
expect "normal run ends by itself" 0 "$rc"
expect "normal run: result in place" "${result}x" "$(content "$folder/$name")"

fresh
printf '%s' "$unixScore" >"$folder/$name"
gui "CALLEDBY=ORVANTIDE,FILE=$folder\\$name/" -- box=no
expect "question answered No: box, window hidden" "$questionBox" "$seen"
expect "question answered No: status" 1 "$rc"
expect "question answered No: input untouched" "${unixScore}x" "$(content "$folder/$name")"

fresh
printf 'no declaration\r\n' >"$folder/$name"
gui "CALLEDBY=ORVANTIDE,FILE=$folder\\$name/" -- wait=box "delete=$folder\\$name" box=yes box=ok \
  form=close form=check
expect "input open error: window shown after the report, then closed" \
  "box buttons=6,7 form=hidden text=Invalid encoding. Autodetection could not establish UTF-8 or UTF-16LE/BE character encoding.\\r\\n$folder\\$name\\r\\nAssume UTF-8?
box buttons=1 form=hidden text=Input file open error: $folder\\$name
form client=312x213 visible=1
form absent" "$seen"
expect "input open error: closing the window ends the program with 1" 1 "$rc"

fresh
printf '%s' "$score" >"$folder/$name"
mkdir QUILLBRAID.XML
gui "CALLEDBY=ORVANTIDE,FILE=$folder\\$name/" -- box=ok form=close
expect "output open error: window shown after the report" \
  "box buttons=1 form=hidden text=Output file open error
form client=312x213 visible=1" "$seen"
expect "output open error: status" 1 "$rc"
expect "output open error: input untouched" "${score}x" "$(content "$folder/$name")"

cd "$build" && rm -rf "$work"
echo "smoke: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
