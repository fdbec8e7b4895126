#!/usr/bin/env bash
# Real message boxes and the main window of quillbraid.exe under wine's null display driver,
# answered by gui_check.exe; and, given one, the release zip as a Windows user meets it.
#   tests/windows/smoke.sh BUILD_DIR [RELEASE_ZIP]
# Expects WINEPREFIX and a running wineserver, as scripts/windows-leg.sh sets them up.
set -uo pipefail
build=$(cd "${1:?usage: smoke.sh BUILD_DIR [RELEASE_ZIP]}" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$build/smoke
score=$'<?xml version="1.0"?>\r\n<score-partwise>\r\n\t<part-list>\r\n\t</part-list>\r\n</score-partwise>\r\n'
args='CALLEDBY=ORVANTIDE,FILE=my scores ü\Zürich ✓.xml/'
failed=0
no() { failed=1 && echo "FAILED: $*"; }

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
  [ "$got" = "$want" ] || no "$(printf '%s\n  got:      %q\n  expected: %q' "$name" "$got" "$want")"
}

check "a normal run shows no window" 'status 0'
[ -f "$work/my scores ü/Zürich ✓.xmlorg" ] || no "no backup beside the score"
unwritable() { chmod a-w "my scores ü/Zürich ✓.xml"; }  # which wine shows as read-only
setup=unwritable check "a read-only score is left alone, without a message" 'status 1'
[ -e "$work/my scores ü/Zürich ✓.xmlorg" ] && no "a read-only score got a backup"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
args=--version check "--version in an information box" "box 1: quillbraid $version"$'\nstatus 0' ok
input=${score//$'\r'/} check "a question answered No" 'box 6 7: Records in this UTF-8 file are '\
'not separated by Carriage Returns.\r\nSuch files are known to come from UNIX systems.\r\nDo you '\
$'want to reorganize this file with Carriage Returns inserted?\nstatus 1' no
setup='mkdir QUILLBRAID.XML' check "the main window after an open failure" \
  $'box 1: Output file open error\nform 312x213\nstatus 1' ok close

# The zip unpacked into an empty folder: its .exe needs only system DLLs, carries its version, and
# turns a copy of the example beside it into the expected result and backup.
if [ -n "${2:-}" ]; then
  version=$(basename "$2" | sed -n 's/^quillbraid-\(.*\)-win64\.zip$/\1/p')
  top=$build/zip-check/quillbraid-$version-win64
  rm -rf "$build/zip-check" && mkdir "$build/zip-check" && unzip -q "$2" -d "$build/zip-check" || exit 1
  for dll in $(objdump -p "$top/quillbraid.exe" | sed -n 's/^\tDLL Name: //p'); do
    case ${dll,,} in
      kernel32.dll | user32.dll | gdi32.dll | advapi32.dll | shell32.dll | msvcrt.dll) ;;
      *) no "the .exe needs $dll, which Windows does not bring" ;;
    esac
  done
  # The version resource that the file's Properties, Details show, read back from the .exe.
  resource=$(x86_64-w64-mingw32-windres --input "$top/quillbraid.exe" --output-format=rc)
  for field in FileVersion ProductVersion; do
    grep -qF "VALUE \"$field\", \"$version\"" <<<"$resource" || no "the version resource: $field"
  done
  (cd "$top/examples" && QUILLBRAID_DIALOGS=console timeout 120 wine "$build/gui_check.exe" \
    "$top/quillbraid.exe" 'CALLEDBY=ORVANTIDE,FILE=sonatina.xml/STAVESUP=1,PART=3,INSTR=,2,3,/' \
    </dev/null >/dev/null 2>&1) || no "the zip's .exe ended with status $?"
  cmp -s "$top/examples/sonatina.xml" "$root/tests/data/runs/example-utf8/out/score.xml" &&
    cmp -s "$top/examples/sonatina.xmlorg" "$root/examples/sonatina.xml" || no "the example's files"
fi
echo "smoke tests: $([ $failed = 0 ] && echo passed || echo FAILED)"
exit $failed
