#!/usr/bin/env bash
# Builds and runs every test: warnings as errors, then again under AddressSanitizer and
# UndefinedBehaviorSanitizer, then checks the formatting, fuzzes, builds and checks the release
# packages and runs the Windows leg.
# A check that cannot run fails. Only a person skips one, by name, in QB_SKIP (blank-separated):
#   windows     the Windows leg (cross-build, tests under wine, the release zip)
#   owner       a score owned by another user keeps its owner (needs root to give it away)
#   hosts       the README's many-hosts recipe over ssh to 127.0.0.1 (needs root: a user, an sshd)
#   schema      validating merged real scores against the MusicXML 4.0 schema (xmllint)
#   release     building the release packages twice and checking them
#   install     installing the .deb and running it (needs root)
# and the last line then names what was skipped.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -n "${QB_RECORD+set}" ]; then
  echo "QB_RECORD is set: recording is scripts/record.sh CASE, never a test run" >&2
  exit 1
fi
known="windows owner hosts schema release install"
skips=()
for name in ${QB_SKIP:-}; do
  [[ " $known " == *" $name "* ]] || { echo "QB_SKIP: no check named '$name' ($known)" >&2; exit 1; }
  skips+=("$name")
done
skipped() { [[ " ${skips[*]} " == *" $1 "* ]]; }

scripts/ensure-tools.sh libpugixml-dev libxml2-utils clang-tidy g++-mingw-w64-x86-64-posix

jobs=$(nproc)
configure() {  # configure BUILD-DIR CMAKE-OPTIONS...
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DQB_WERROR=ON "$@" >/dev/null
}
run_ctest() {  # run_ctest BUILD-DIR TIMEOUT [CTEST-OPTIONS...]
  local dir=$1 timeout=$2
  shift 2
  (cd "$dir" && ctest --output-on-failure --no-tests=error -j "$jobs" --timeout "$timeout" "$@" \
    </dev/null)
}

echo "== build and test (warnings as errors)"
configure build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/test -j "$jobs"
run_ctest build/test 600

echo "== build and test under AddressSanitizer and UndefinedBehaviorSanitizer"
configure build/sanitize -DCMAKE_BUILD_TYPE=Debug -DQB_SANITIZE=ON
cmake --build build/sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest build/sanitize 900

echo "== the portable byte-scan kernels (the path of MSVC and ARM builds): golden runs"
configure build/portable -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQB_PORTABLE_KERNELS=ON
cmake --build build/portable -j "$jobs"
run_ctest build/portable 600 -R '^Golden/'

echo "== formatting, and no product function over 60 lines"
find base platform run xmlio merge app tests bench fuzz -name '*.cpp' -o -name '*.h' |
  sort |
  xargs clang-format --dry-run --Werror
echo "formatting clean"
scripts/function-size.sh build/test

echo "== fuzzing for 20 s"
scripts/fuzz.sh 20

echo "== many hosts: the README's GNU parallel recipe over ssh to a second host on 127.0.0.1"
if skipped hosts; then
  echo "many-hosts check not run: skipped on request (QB_SKIP)"
else
  tests/hosts/sshlogin.sh build/test/quillbraid
fi

zip=()
echo "== release packages, checked as a user meets them"
if skipped release; then
  echo "release not built: skipped on request (QB_SKIP)"
else
  tests/release/check.sh build/dist
  zip=("$PWD"/build/dist/quillbraid-*-win64.zip)
fi

echo "== Windows: cross-built, tested under wine"
if skipped windows; then
  echo "Windows leg not run: skipped on request (QB_SKIP)"
else
  scripts/windows-leg.sh "$PWD/build/test/tests/quill_tests" "${zip[@]}"
fi

if ((${#skips[@]})); then
  echo "PASSED, except what was skipped on request (QB_SKIP): ${skips[*]}"
else
  echo "PASSED: every check ran"
fi
