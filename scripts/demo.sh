#!/usr/bin/env bash
# The demo on a fresh Debian 12 machine: installs what is missing, builds the
# Python module and the command line, writes a small tiled point cloud into
# build/demo and extracts a box, a cylinder and a frustum from it with the
# module, printing each ExtractionStats; then indexes the tiles anew and
# extracts a box with the command line.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DKARVIK_BENCH=OFF -DPython3_EXECUTABLE=/usr/bin/python3 >/dev/null
cmake --build build/release --target karvik karvik_cli -j "$(nproc)"
rm -rf build/demo
PYTHONPATH=build/release/python /usr/bin/python3 python/demo/run.py build/demo
echo
echo '$ karvik index build/demo/cli-index.gpkg build/demo/tile_*.las'
build/release/cli/karvik index build/demo/cli-index.gpkg build/demo/tile_*.las
echo '$ karvik extract build/demo/cli-index.gpkg build/demo/cli-box.laz --box 10050 10250 30050 30200'
build/release/cli/karvik extract build/demo/cli-index.gpkg build/demo/cli-box.laz --box 10050 10250 30050 30200
