#!/usr/bin/env bash
# Runs every fuzz target built in build-fuzz/ for SECONDS each (default 600), starting from
# its checked-in seed corpus; new inputs go to a scratch corpus outside the repository.
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
found=0
for target in build-fuzz/fuzz/*_fuzz; do
  [[ -x $target ]] || continue
  found=1
  name=$(basename "$target")
  work=build-fuzz/corpus-work/$name
  mkdir -p "$work"
  echo "fuzzing $name for ${seconds}s"
  "$target" -max_total_time="$seconds" -print_final_stats=0 -close_fd_mask=3 \
    -artifact_prefix="build-fuzz/$name-" "$work" "fuzz/corpus/$name" >/dev/null 2>build-fuzz/$name.log \
    || { tail -40 build-fuzz/$name.log; echo "fuzzer $name found a fault"; exit 1; }
done
[[ $found -eq 1 ]] || echo "no fuzz targets built"
