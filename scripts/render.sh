#!/usr/bin/env bash
# The main job: builds Chantera (plug-in folder with the demo voice, renderer, composer),
# then renders every example song in examples/ with the demo voice into out/: the .song
# sources through chantera-compose, the UTAU projects (.ust) and MusicXML scores directly
# (out/NAME-ust.wav, out/NAME-musicxml.wav).
# Usage: scripts/render.sh [extra chantera-render options, e.g. --chorus]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs" --target chantera_plugin chantera_demo_voice chantera-render chantera-compose
mkdir -p out
echo "Plug-in folder: $(pwd)/build/Chantera"
for source in examples/*.song; do
  name=$(basename "$source" .song)
  build/chantera-compose "$source" -o "out/$name.mid"
  build/chantera-render "out/$name.mid" -o "out/$name.wav" "$@"
done
for source in examples/*.ust examples/*.musicxml; do
  name=$(basename "$source")
  build/chantera-render "$source" -o "out/${name%.*}-${name##*.}.wav" "$@"
done
