#!/usr/bin/env bash
# The release as a user meets it. Builds it twice, here into DIST_DIR and from a copy of the
# sources in another folder, and requires the same SHA256SUMS; runs lintian on the .deb; installs
# the .deb with apt-get, runs quillbraid from the PATH on a copy of the example, finds its man
# page, and removes it again. The Windows leg checks the zip.
#   tests/release/check.sh DIST_DIR
# Installing needs root: without it the check fails, unless QB_SKIP names `install`. A quillbraid
# package already installed is replaced, then removed.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
dist=$(mkdir -p "${1:?usage: tests/release/check.sh DIST_DIR}" && cd "$1" && pwd)
fail() { echo "release check FAILED: $*" && exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$root/scripts/ensure-tools.sh" lintian

echo "== release: built twice, in two folders"
release() {  # release SOURCE-DIR BUILD-PARENT DIST-DIR
  QB_RELEASE_BUILD=$2 "$1/scripts/release.sh" "$3" >"$scratch/log" 2>&1 || { cat "$scratch/log"; fail "release.sh"; }
}
release "$root" "$root/build" "$dist"
mkdir "$scratch/src"
git -C "$root" ls-files -z --cached --others --exclude-standard | (cd "$root" && xargs -0 cp --parents -t "$scratch/src")
SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct) release "$scratch/src" "$scratch/build" "$scratch/dist"
cat "$dist/SHA256SUMS"
cmp -s "$dist/SHA256SUMS" "$scratch/dist/SHA256SUMS" || fail "two builds of one commit differ"
(cd "$dist" && sha256sum --quiet -c SHA256SUMS) || fail "a package does not match SHA256SUMS"
deb=$(ls "$dist"/quillbraid_*_amd64.deb)

echo "== lintian"
lintian --fail-on error,warning "$deb" 2>/dev/null && echo "lintian: no error, no warning" || fail lintian

echo "== the .deb, installed as a user installs it"
[[ " ${QB_SKIP:-} " == *" install "* ]] && echo "not installed: skipped on request (QB_SKIP)" && exit 0
[ "$(id -u)" = 0 ] || fail "installing the .deb needs root (QB_SKIP=install skips this knowingly)"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" </dev/null >"$scratch/log" 2>&1 ||
  { cat "$scratch/log"; fail "apt-get install"; }
trap 'dpkg -r quillbraid >/dev/null 2>&1; rm -rf "$scratch"' EXIT
[ "$(command -v quillbraid)" = /usr/bin/quillbraid ] || fail "quillbraid is not on the PATH"
[ "$(quillbraid --version)" = "quillbraid $(dpkg-deb -f "$deb" Version)" ] || fail "quillbraid --version"
quillbraid --help | grep -q 'man quillbraid' || fail "quillbraid --help does not name man quillbraid"
cp "$root/examples/sonatina.xml" "$scratch/"
(cd "$scratch" && quillbraid 'CALLEDBY=ORVANTIDE,FILE=sonatina.xml/STAVESUP=1,PART=3,INSTR=,2,3,/' </dev/null) ||
  fail "the installed quillbraid ended with status $?"
cmp "$scratch/sonatina.xml" "$root/tests/data/runs/example-utf8/out/score.xml" &&
  cmp "$scratch/sonatina.xmlorg" "$root/examples/sonatina.xml" || fail "the example's files"
[ "$(man -w quillbraid)" = /usr/share/man/man1/quillbraid.1.gz ] || fail "man -w quillbraid"
dpkg -r quillbraid >/dev/null && [ ! -e /usr/bin/quillbraid ] || fail "dpkg -r left /usr/bin/quillbraid"
echo "installed, ran the example, found the man page, removed"
