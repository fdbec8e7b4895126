#!/usr/bin/env bash
# The release zip as a Windows user meets it, under wine: unpacked into an empty folder, its .exe
# needs only system DLLs, carries its version, and turns a copy of the example beside it into the
# expected result and backup.   tests/windows/zip_check.sh BUILD_DIR ZIP
# Expects WINEPREFIX and a running wineserver, as scripts/windows-leg.sh sets them up.
set -uo pipefail
build=$(cd "${1:?usage: zip_check.sh BUILD_DIR ZIP}" && pwd)
zip=${2:?usage: zip_check.sh BUILD_DIR ZIP}
root=$(cd "$(dirname "$0")/../.." && pwd)
failed=0
no() {
  failed=1
  echo "FAILED: $*"
}

version=$(basename "$zip" | sed -n 's/^quillbraid-\(.*\)-win64\.zip$/\1/p')
unpacked=$build/zip-check
rm -rf "$unpacked" && mkdir "$unpacked" && unzip -q "$zip" -d "$unpacked" || exit 1
top=$unpacked/quillbraid-$version-win64
for dll in $(objdump -p "$top/quillbraid.exe" | sed -n 's/^\tDLL Name: //p'); do
  case ${dll,,} in
    kernel32.dll | user32.dll | gdi32.dll | advapi32.dll | shell32.dll | msvcrt.dll) ;;
    *) no "the .exe needs $dll, which Windows does not bring" ;;
  esac
done
info=$(timeout 60 wine "$build/gui_check.exe" --version-of "$top/quillbraid.exe" </dev/null \
  2>/dev/null | tr -d '\r')
echo "$info"
for field in "FileVersion: $version" "ProductVersion: $version" "ProductName: Quillbraid"; do
  grep -qxF "$field" <<<"$info" || no "the version resource has no '$field'"
done
(cd "$top/examples" && QUILLBRAID_DIALOGS=console timeout 120 wine "$build/gui_check.exe" \
  "$top/quillbraid.exe" 'CALLEDBY=ORVANTIDE,FILE=sonatina.xml/STAVESUP=1,PART=3,INSTR=,2,3,/' \
  </dev/null >/dev/null 2>&1) || no "the .exe ended with status $?"
cmp -s "$top/examples/sonatina.xml" "$root/tests/data/runs/example-utf8/out/score.xml" ||
  no "the example's result"
cmp -s "$top/examples/sonatina.xmlorg" "$root/examples/sonatina.xml" || no "the example's backup"
echo "release zip: $([ $failed = 0 ] && echo passed || echo FAILED)"
exit $failed
