#!/usr/bin/env bash
# Runs every fuzz target built in build-fuzz/ for SECONDS each (default 600), starting from
# its checked-in seed corpus; new inputs go to a scratch corpus outside the repository.
# CI (scripts/test.sh) runs 20 s per target; a real session is scripts/fuzz.sh 600.
# Usage: scripts/fuzz.sh [SECONDS]   (CHANTERA_FUZZ_BUILD: another build folder)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
build=${CHANTERA_FUZZ_BUILD:-build-fuzz}
found=0
for target in "$build"/fuzz/*_fuzz; do
  [[ -x $target ]] || continue
  found=1
  name=$(basename "$target")
  work=$build/corpus-work/$name
  mkdir -p "$work"
  echo "fuzzing $name for ${seconds}s"
  "$target" -max_total_time="$seconds" -print_final_stats=0 -close_fd_mask=3 \
    -artifact_prefix="$build/$name-" "$work" "fuzz/corpus/$name" >/dev/null 2>"$build/$name.log" \
    || { tail -40 "$build/$name.log"; echo "fuzzer $name found a fault"; exit 1; }
done
[[ $found -eq 1 ]] || echo "no fuzz targets built"
