#!/usr/bin/env bash
# Builds the release packages into OUT_DIR (default: dist): quillbraid-<version>-win64.zip, the
# .exe cross-built with MinGW-w64, and quillbraid_<version>_amd64.deb, with their SHA256SUMS.
#   scripts/release.sh [OUT_DIR]
# Builds in build/release-deb and build/release-win (QB_RELEASE_BUILD names another parent). The
# same commit gives the same bytes in any folder at any time: every timestamp is the commit's
# (SOURCE_DATE_EPOCH, taken from git unless set), and no path of the build gets in.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-tools.sh g++-mingw-w64-x86-64-posix dpkg-dev

out=${1:-dist}
build=${QB_RELEASE_BUILD:-build}
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export TZ=UTC LC_ALL=C
umask 022

package() {  # package BUILD-DIR CMAKE-OPTIONS...
  local dir=$1
  shift
  rm -rf "$dir"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQB_BUILD_TESTS=OFF -DQB_RELEASE=ON \
    "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)" >/dev/null
  (cd "$dir" && cpack >/dev/null)
}
package "$build/release-deb" -DCMAKE_INSTALL_PREFIX=/usr
package "$build/release-win" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake

version=$(sed -n 's/^project(Quillbraid VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
mkdir -p "$out"
rm -f "$out"/quillbraid* "$out/SHA256SUMS"
cp "$build/release-deb/packages/quillbraid_${version}_amd64.deb" \
  "$build/release-win/packages/quillbraid-$version-win64.zip" "$out/"
(cd "$out" && sha256sum "quillbraid-$version-win64.zip" "quillbraid_${version}_amd64.deb" >SHA256SUMS)
cat "$out/SHA256SUMS"
