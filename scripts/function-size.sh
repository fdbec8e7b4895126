#!/usr/bin/env bash
# No product function over 60 lines: clang-tidy's readability-function-size (.clang-tidy) over
# every product file, the Win32 backend included, read as MinGW-w64 compiles it.
#   scripts/function-size.sh BUILD_DIR      (a configured build with compile_commands.json)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: scripts/function-size.sh BUILD_DIR}
[ -f "$build/compile_commands.json" ] || { echo "no $build/compile_commands.json" >&2; exit 1; }
failed=0
find base platform run xmlio merge app -name '*.cpp' ! -name '*win32*' | sort |
  xargs -P "$(nproc)" -n 4 clang-tidy --quiet --extra-arg=-w -p "$build" 2>/dev/null || failed=1
# The Win32 backend is compiled only by MinGW: its C++ and system headers come from there, the
# compiler's own (intrinsics) from clang.
includes=()
while read -r dir; do includes+=("-isystem" "$dir"); done < <(
  echo | x86_64-w64-mingw32-g++-posix -xc++ -E -v - 2>&1 |
    sed -n '/#include <...> search starts here:/,/End of search list./p' | sed -n 's/^ //p' |
    grep -E '/c\+\+|mingw32/include$')
clang-tidy --quiet --extra-arg=-w platform/platform_win32.cpp -- -std=c++20 \
  --target=x86_64-w64-mingw32 -I. -DQB_SSE2_KERNELS=1 -nostdinc++ "${includes[@]}" 2>/dev/null ||
  failed=1
[ $failed = 0 ] || { echo "a product function is over 60 lines (or clang-tidy failed)"; exit 1; }
echo "no product function over 60 lines"
