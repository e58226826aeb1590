#!/usr/bin/env bash
# Performance figures, reproducible on any Debian machine: builds Chantera (Release) in
# build-perf/, installs FluidSynth and TiMidity++ (and the build's own needs) when missing,
# prepares the shared work (one recording, as a voice folder and as a one-sample
# SoundFont; 16 notes held for 60 s), renders it with chantera-render, FluidSynth and
# TiMidity++ alternately several times, runs the Google Benchmark pairs (render, voice
# loading, Chorus rebuild against their floors; instance construction), the longest audio
# block while a bank select loads the demo voice (cached and not) and the renderer's
# start-up, and prints every figure and ratio with pass or fail against the targets. docs/PERFORMANCE.md explains
# the method and holds the figures of one run.
#
# Usage: bench/compare.sh [--repeat N] [--build DIR]
#   --repeat N   rounds of the peer comparison and repetitions of each benchmark (5)
#   --build DIR  build folder (build-perf)
# Exit status 0 when every target is met, 1 when one is not.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-perf
repeat=5
while [[ $# -gt 0 ]]; do
  case $1 in
    --repeat) repeat=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    -h|--help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "compare.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

# The build's own packages, then the peers and python3 (the helper uses only its
# standard library).
"$root/scripts/deps.sh"
source "$root/scripts/packages.sh"
ensure_packages "The comparison" "fluidsynth fluidsynth" "timidity timidity" "python3 python3"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCHANTERA_BENCH=ON >/dev/null
cmake --build "$build" --target chantera_plugin chantera-render chantera_bench chantera_demo_voice

python3 "$root/bench/compare.py" all --work "$build/compare" --plugin "$build/Chantera/Chantera.so" \
  --render "$build/chantera-render" --bench "$build/bench/chantera_bench" --repeat "$repeat"
