#!/usr/bin/env bash
# Installs what building and testing need when it is missing (as root, through apt-get).
# Usage: scripts/ensure-tools.sh [extra Debian packages...]
set -euo pipefail

missing=()
need() {  # need COMMAND-OR-FILE PACKAGE
  if [[ "$1" == /* ]]; then [[ -e "$1" ]] || missing+=("$2"); else command -v "$1" >/dev/null || missing+=("$2"); fi
}
need cmake cmake
need g++ g++
need ninja ninja-build
need clang-format clang-format
need /usr/include/gtest/gtest.h libgtest-dev
for pkg in "$@"; do dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg"); done

if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "missing: ${missing[*]} (install them, or run as root to have them installed)" >&2
    exit 1
  fi
  echo "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
