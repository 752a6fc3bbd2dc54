#!/usr/bin/env bash
# Sets everything up and runs every test: the C++ tests in a release build and
# in a sanitizer build (ASan/UBSan), the threaded parts under TSan, then a few
# seconds of each fuzz target.
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

# libFuzzer with clang; new inputs go to a scratch corpus, the samples seed it.
CC=clang-16 CXX=clang++-16 cmake -S . -B build/fuzz -DKARVIK_FUZZ=ON -DKARVIK_TESTS=OFF -DKARVIK_BENCH=OFF >/dev/null
cmake --build build/fuzz -j "$jobs" --target laszip_vlr_fuzz laz_file_fuzz layered_chunk_fuzz
samples=$(cmake -L -N build/release | sed -n 's/^KARVIK_SAMPLES_DIR:PATH=//p')
for fuzzer in laszip_vlr_fuzz laz_file_fuzz layered_chunk_fuzz; do
  corpus=$(mktemp -d)
  log="build/fuzz/$fuzzer.log"
  if ! "build/fuzz/platform/las/laz/$fuzzer" -max_total_time=5 -max_len=100000 -print_final_stats=1 \
      -artifact_prefix=build/fuzz/ "$corpus" "$samples" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "fuzz target $fuzzer failed; the input is in build/fuzz/"
    rm -rf "$corpus"
    exit 1
  fi
  echo "$fuzzer: $(grep -m1 '^stat::number_of_executed_units' "$log")"
  rm -rf "$corpus"
done
