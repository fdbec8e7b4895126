#!/usr/bin/env bash
# Real message boxes and the main window of quillbraid.exe under wine's null display driver,
# answered by gui_check.exe.   tests/windows/smoke.sh BUILD_DIR
# Expects WINEPREFIX and a running wineserver, as scripts/windows-leg.sh sets them up.
set -uo pipefail
build=$(cd "${1:?usage: smoke.sh BUILD_DIR}" && pwd)
work=$build/smoke
score=$'<?xml version="1.0"?>\r\n<score-partwise>\r\n\t<part-list>\r\n\t</part-list>\r\n</score-partwise>\r\n'
args='CALLEDBY=ORVANTIDE,FILE=my scores ü\Zürich ✓.xml/'
failed=0

# check NAME EXPECTED STEP...: runs the program on $args in a fresh folder holding the score
# ($input, or $score) after running $setup, and compares what gui_check saw and the status.
check() {
  local name=$1 want=$2 got rc
  shift 2
  rm -rf "$work" && mkdir -p "$work/my scores ü" && cd "$work" || exit 1
  printf '%s' "${input:-$score}" >"my scores ü/Zürich ✓.xml"
  ${setup:-true}
  got=$(timeout 120 wine "$build/gui_check.exe" "$build/quillbraid.exe" "$args" "$@" </dev/null 2>/dev/null)
  rc=$?
  got=${got//$'\r'/}
  got="${got:+$got$'\n'}status $rc"
  if [ "$got" != "$want" ]; then
    failed=1
    printf 'FAILED: %s\n  got:      %q\n  expected: %q\n' "$name" "$got" "$want"
  fi
}

check "a normal run shows no window" 'status 0'
[ -f "$work/my scores ü/Zürich ✓.xmlorg" ] || { failed=1; echo "FAILED: no backup beside the score"; }
input=${score//$'\r'/} check "a question answered No" 'box 6 7: Records in this UTF-8 file are '\
'not separated by Carriage Returns.\r\nSuch files are known to come from UNIX systems.\r\nDo you '\
$'want to reorganize this file with Carriage Returns inserted?\nstatus 1' no
setup='mkdir QUILLBRAID.XML' check "the main window after an open failure" \
  $'box 1: Output file open error\nform 312x213\nstatus 1' ok close

# Unattended, as a script runs a library of scores: QUILLBRAID_DIALOGS=console, the program started
# by wine itself, standard error to a file, the answer on standard input; no box, no window.
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
printf '%s' "${score//$'\r'/}" >lf.xml
printf 'y\n' | QUILLBRAID_DIALOGS=console timeout 120 wine "$build/quillbraid.exe" \
  'CALLEDBY=ORVANTIDE,FILE=lf.xml/' 2>records.txt
status=$?
want=$'Quillbraid: Records in this UTF-8 file are not separated by Carriage Returns.\r\nSuch '\
$'files are known to come from UNIX systems.\r\nDo you want to reorganize this file with '\
$'Carriage Returns inserted?\n[Y/n] Quillbraid: Reached end-of-file before <part-list>. Run '\
$'aborted\n'
if [ "$(cat records.txt)"$'\n' != "$want" ] || [ $status != 1 ] || [ ! -f KESTRINBAY.WRK ]; then
  failed=1
  printf 'FAILED: unattended run\n  got:      %q (status %s)\n  expected: %q\n' \
    "$(cat records.txt)" "$status" "$want"
fi
echo "smoke tests: $([ $failed = 0 ] && echo passed || echo FAILED)"
exit $failed
