#!/usr/bin/env bash
# Sets everything up and runs every test: the C++ tests in a release build and
# in a sanitizer build (ASan/UBSan), and the threaded parts under TSan.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)

bash scripts/setup.sh

cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DKARVIK_BENCH=OFF >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"

cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DKARVIK_SANITIZE=address -DKARVIK_BENCH=OFF >/dev/null
cmake --build build/sanitize -j "$jobs"
ctest --test-dir build/sanitize --output-on-failure -j "$jobs"

cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DKARVIK_SANITIZE=thread -DKARVIK_BENCH=OFF >/dev/null
cmake --build build/tsan -j "$jobs" --target karvik_pool_tests karvik_log_tests karvik_pipeline_tests
# TSan cannot follow threads started in a forked child; the fork tests run in the other builds.
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure -j "$jobs" \
  -R '^(ThreadPool|OrderedMap|LogTest|PipelineTest)' -E 'Fork|SameBytesForOneThreadAndMany'
