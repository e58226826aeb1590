#!/usr/bin/env bash
# Runs every test of Chantera: the unit and plug-in tests of a normal build, clang-format
# and clang-tidy, the whole suite again under AddressSanitizer and UndefinedBehavior-
# Sanitizer, the concurrency tests under ThreadSanitizer, a short run of each fuzz
# target, the Windows DLLs with their tests under wine, and Ardour as a real host.
# Usage: scripts/test.sh [--quick]   (--quick: the normal build only)
set -euo pipefail
cd "$(dirname "$0")/.."
# git: the lint stage lists the sources with git ls-files.
scripts/deps.sh "git git"

jobs=$(nproc 2>/dev/null || echo 2)
quick=0
[[ ${1:-} == --quick ]] && quick=1

stage() { printf '\n==== %s\n' "$*"; }

stage "Build and test (g++)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure -j "$jobs")

[[ $quick -eq 1 ]] && exit 0

stage "Lint: clang-format and clang-tidy (bugprone, performance, analyzer)"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
run-clang-tidy -p build -j "$jobs" -quiet \
  "$(pwd)/(host|library|engine|params|platform/common|platform/posix|tools|formats)/" >build/clang-tidy.log 2>&1 || true
if grep -q -E '(warning|error): ' build/clang-tidy.log; then
  grep -E -A3 '(warning|error): ' build/clang-tidy.log | head -60
  echo "clang-tidy found problems"
  exit 1
fi

stage "AddressSanitizer + UndefinedBehaviorSanitizer (clang)"
CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCHANTERA_SANITIZE=address -DCHANTERA_BENCH=OFF >/dev/null
cmake --build build-asan -j "$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j "$jobs")

stage "ThreadSanitizer: concurrency tests (clang)"
CC=clang CXX=clang++ cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCHANTERA_SANITIZE=thread -DCHANTERA_BENCH=OFF >/dev/null
cmake --build build-tsan -j "$jobs" --target chantera_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  build-tsan/tests/chantera_tests --gtest_filter='Concurrency*:*Thread*'

if [[ -f fuzz/CMakeLists.txt ]]; then
  stage "Fuzzing: each target briefly (clang, libFuzzer)"
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCHANTERA_FUZZ=ON -DCHANTERA_TESTS=OFF -DCHANTERA_BENCH=OFF -DCHANTERA_FORMATS=OFF >/dev/null
  cmake --build build-fuzz -j "$jobs"
  scripts/fuzz.sh "${CHANTERA_FUZZ_SECONDS:-20}"
fi

stage "Windows: 32- and 64-bit DLLs (mingw-w64), export and import tables, tests under wine"
scripts/windows.sh --test

stage "Real host: Ardour scans Chantera.so and renders a phrase through it"
scripts/ardour-test.sh

stage "All test stages passed"
