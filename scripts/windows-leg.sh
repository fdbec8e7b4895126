#!/usr/bin/env bash
# The Windows leg of the tests: cross-builds quillbraid.exe with MinGW-w64 in build/win, then runs
# under wine, on its null display driver (no X server needed): the file-system contract on the
# Win32 backend, the golden runs marked for the real program (the Linux build's quill_tests,
# driving the .exe through the console seam), the smoke tests with real message boxes and the
# main window, and, when given one, the release zip as a user meets it.
#
#   scripts/windows-leg.sh PATH_TO_QUILL_TESTS [RELEASE_ZIP]
#
# QB_WIN_BUILD_DIR overrides the build folder (the wine prefix lives inside it).
#
# Installs g++-mingw-w64-x86-64-posix and wine when missing and running as root. Exits non-zero
# when a test fails, and also when the leg cannot run: only a person skips it, knowingly, with
# QB_SKIP=windows given to scripts/test.sh.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${QB_WIN_BUILD_DIR:-$root/build/win}
golden=${1:?usage: scripts/windows-leg.sh PATH_TO_QUILL_TESTS [RELEASE_ZIP]}
zip=${2:-}
started=$SECONDS

cannot() {
  echo "Windows leg FAILED, it cannot run: $* (QB_SKIP=windows skips it knowingly)"
  exit 1
}
stage() { echo "== windows leg: $* ($((SECONDS - started)) s)"; }

# --- Tools -------------------------------------------------------------------------------------
missing=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64-posix)
{ command -v wine && command -v wineserver; } >/dev/null || missing+=(wine wine64)
if [ ${#missing[@]} -gt 0 ]; then
  [ "$(id -u)" = 0 ] || cannot "${missing[*]} not installed, and installing needs root"
  command -v apt-get >/dev/null || cannot "${missing[*]} not installed, and there is no apt-get"
  stage "installing ${missing[*]}"
  log=$(mktemp)
  if ! { timeout 300 apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive timeout 600 apt-get install -y -qq --no-install-recommends \
      "${missing[@]}"; } </dev/null >"$log" 2>&1; then
    tail -n 5 "$log"
    rm -f "$log"
    cannot "could not install ${missing[*]}"
  fi
  rm -f "$log"
fi
command -v cmake >/dev/null || cannot "cmake not installed"

# --- Cross-build -------------------------------------------------------------------------------
stage "cross-building in $build"
mkdir -p "$build"
generator=()
# A configured folder keeps its generator; a new one takes Ninja where it is installed.
[ ! -f "$build/CMakeCache.txt" ] && command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$root" -B "$build" "${generator[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DQB_WERROR=ON </dev/null >"$build/configure.log" 2>&1 ||
  { cat "$build/configure.log"; echo "Windows leg FAILED: configure"; exit 1; }
cmake --build "$build" -j"$(nproc)" </dev/null ||
  { echo "Windows leg FAILED: build"; exit 1; }

# --- wine: a prefix of our own inside the build folder, with the null display driver ----------
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY QUILLBRAID_DIALOGS
trap 'timeout 30 wineserver -k </dev/null >/dev/null 2>&1' EXIT
# The marker is written last, so a prefix left half-made by an interrupted run is made anew.
if [ ! -f "$WINEPREFIX/.quillbraid-null-driver" ]; then
  stage "creating the wine prefix"
  rm -rf "$WINEPREFIX"
  if ! { timeout 300 wineboot -i && timeout 60 wine reg add 'HKCU\Software\Wine\Drivers' \
    /v Graphics /d null /f; } </dev/null >/dev/null 2>&1; then
    echo "Windows leg FAILED: wine prefix"
    exit 1
  fi
  # The driver is chosen when the session starts: end this one so the next uses the value.
  timeout 60 wineserver -k </dev/null >/dev/null 2>&1
  timeout 60 wineserver -w </dev/null >/dev/null 2>&1
  touch "$WINEPREFIX/.quillbraid-null-driver"
fi
# One session for all tests, started with its output detached: the session's processes keep the
# standard error of the call that started them open, and a reader waiting for its end would hang.
timeout 60 wineserver -p </dev/null >/dev/null 2>&1
timeout 120 wine cmd /c exit 0 </dev/null >/dev/null 2>&1

failures=()

stage "file-system contract under wine"
(cd "$build" && timeout 600 ctest --output-on-failure --no-tests=error -j"$(nproc)" </dev/null) ||
  failures+=("file-system contract")

stage "golden runs of the real program under wine"
log=$build/golden.log
# gui_check.exe starts the program with the argument string exactly as given; wine would re-quote.
QB_PROGRAM=$build/quillbraid.exe QB_LAUNCHER="wine $build/gui_check.exe" \
  QUILLBRAID_DIALOGS=console timeout 900 "$golden" --gtest_filter='Golden/Binary*' </dev/null \
  >"$log" 2>&1 || { failures+=("golden runs"); tail -n 40 "$log"; }
tail -n 1 "$log"
# A filter that matches nothing passes in gtest; a leg that ran no golden run has shown nothing.
grep -Eq '^\[  PASSED  \] [1-9][0-9]* tests?\.$' "$log" || failures+=("golden runs: none ran")

stage "smoke tests (message boxes, main window)"
[ -n "$zip" ] && echo "and the release zip $zip"
timeout 600 bash "$root/tests/windows/smoke.sh" "$build" $zip </dev/null || failures+=("smoke tests")

stage "done"
if [ ${#failures[@]} -gt 0 ]; then
  echo "Windows leg FAILED: ${failures[*]}"
  exit 1
fi
echo "Windows leg passed"
