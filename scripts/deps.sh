#!/usr/bin/env bash
# Installs what building and testing Chantera needs, when it is missing: Debian packages
# through apt-get when run as root, otherwise a clear message naming them.
# Usage: scripts/deps.sh [ENTRY...]
#   Each ENTRY is one more need of the caller: a command whose Debian package has the same
#   name ("fluidsynth"), or "command package", or "/path/of/a/file package".
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
  "/usr/include/pugixml.hpp libpugixml-dev" \
  "/usr/include/zip.h libzip-dev" \
  "/usr/share/dpf/distrho/DistrhoPluginMain.cpp dpf-source" \
  "/usr/include/gtest/gtest.h libgtest-dev" \
  "/usr/include/benchmark/benchmark.h libbenchmark-dev" \
  "$@"

# The AddressSanitizer runtime of the clang just found: Debian ships it apart from the
# compiler, in libclang-rt-<major>-dev. Asked of the compiler itself (older versions name
# the file after the architecture, newer ones keep it in a per-target folder).
asan_runtime() {
  local name path
  for name in "libclang_rt.asan-$(uname -m).a" libclang_rt.asan.a; do
    path=$(clang -print-file-name="$name")
    [[ $path == /* && -e $path ]] && return 0
  done
  return 1
}
if ! asan_runtime; then
  ensure_packages "The sanitizer builds" "/nonexistent/libclang_rt.asan libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev"
fi
