#!/usr/bin/env bash
# Installs what building and testing Chantera needs, when it is missing: Debian packages
# through apt-get when run as root, otherwise a clear message naming them.
# Usage: scripts/deps.sh [extra-package ...]
set -euo pipefail

# command-or-file  package
needs=(
  "cmake cmake"
  "ninja ninja-build"
  "g++ g++"
  "clang++ clang"
  "nm binutils"
  "pkg-config pkg-config"
  "/usr/include/sndfile.h libsndfile1-dev"
  "/usr/include/gtest/gtest.h libgtest-dev"
  "/usr/include/benchmark/benchmark.h libbenchmark-dev"
  "/usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.asan-x86_64.a libclang-rt-14-dev"
)

missing=()
for entry in "${needs[@]}"; do
  what=${entry% *}
  package=${entry##* }
  if [[ $what == /* ]]; then
    [[ -e $what ]] || missing+=("$package")
  else
    command -v "$what" >/dev/null 2>&1 || missing+=("$package")
  fi
done
for package in "$@"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done

if [[ ${#missing[@]} -eq 0 ]]; then
  exit 0
fi
if [[ $(id -u) -ne 0 ]]; then
  echo "Chantera needs these Debian packages: ${missing[*]}" >&2
  echo "Install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
