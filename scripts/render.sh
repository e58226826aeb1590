#!/usr/bin/env bash
# The main job: builds the plug-in folder (and, once the renderer and the demo voice
# exist, renders the bundled example songs).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs" --target chantera_plugin
echo "Plug-in folder: $(pwd)/build/Chantera"
ls -l build/Chantera
