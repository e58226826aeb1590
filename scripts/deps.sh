#!/usr/bin/env bash
# Installs what building and testing Chantera needs, when it is missing: Debian packages
# through apt-get when run as root, otherwise a clear message naming them.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
ensure_packages "Chantera" \
  "cmake cmake" \
  "ninja ninja-build" \
  "g++ g++" \
  "clang++ clang" \
  "clang-format clang-format" \
  "run-clang-tidy clang-tidy" \
  "nm binutils" \
  "pkg-config pkg-config" \
  "/usr/include/sndfile.h libsndfile1-dev" \
  "/usr/share/dpf/distrho/DistrhoPluginMain.cpp dpf-source" \
  "/usr/include/gtest/gtest.h libgtest-dev" \
  "/usr/include/benchmark/benchmark.h libbenchmark-dev" \
  "/usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.asan-x86_64.a libclang-rt-14-dev"
