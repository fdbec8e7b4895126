#!/usr/bin/env bash
# Builds quillbraid and runs it on a copy of the bundled example score: a violin followed by a
# piano written as two single-staff parts, merged into one two-staff piano part.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-tools.sh

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQB_BUILD_TESTS=OFF >/dev/null
cmake --build build/release --target quillbraid -j "$(nproc)"
program=$PWD/build/release/quillbraid

scratch=$PWD/build/example-run
rm -rf "$scratch"
mkdir -p "$scratch"
cp examples/sonatina.xml examples/sonatina-utf16le.xml "$scratch"
cd "$scratch"

for score in sonatina.xml sonatina-utf16le.xml; do
  calling="CALLEDBY=ORVANTIDE,FILE=$score/STAVESUP=1,PART=3,INSTR=,2,3,/"
  echo "== quillbraid '$calling'"
  status=0
  "$program" "$calling" </dev/null || status=$?
  echo "exit status $status"
done

echo
echo "== the merged piano part of sonatina.xml (P2 and P3 are now one part with two staves)"
sed -n '/^\t<part id="P3">/,/^\t<\/part>/p' sonatina.xml | tr -d '\r'
echo
echo "== files in $scratch"
ls -l
echo
echo "sonatina.xml is the result, sonatina.xmlorg the score as it was, QUILLBRAID.XML the"
echo "result of the last run; the UTF-16LE example was merged in its own encoding the same way."
