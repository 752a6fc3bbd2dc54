#!/usr/bin/env bash
# The demo on a fresh Debian 12 machine: installs what is missing, builds the
# Python module, writes a small tiled point cloud into build/demo and extracts
# a box, a cylinder and a frustum from it, printing each ExtractionStats.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DKARVIK_BENCH=OFF -DPython3_EXECUTABLE=/usr/bin/python3 >/dev/null
cmake --build build/release --target karvik -j "$(nproc)"
rm -rf build/demo
PYTHONPATH=build/release/python /usr/bin/python3 python/demo/run.py build/demo
