#!/usr/bin/env bash
# Builds the fuzz targets (libFuzzer, clang) and runs each for SECONDS, one
# after the other, keeping the inputs it finds in CORPUS/<target> (outside the
# checkout; a temporary folder, removed afterwards, when CORPUS is not given).
# The LAS and LAZ targets are seeded with the shared samples. Prints each
# target's executions and coverage; a crash, leak or hang fails the run and
# leaves its input in build/fuzz/.
#
#   bash scripts/fuzz.sh SECONDS [CORPUS [TARGET...]]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${1:?usage: scripts/fuzz.sh SECONDS [CORPUS [TARGET...]]}
corpus_root=${2:-}
shift $(($# < 2 ? $# : 2))

declare -A paths=(
  [las_file_fuzz]=platform/las
  [copc_hierarchy_fuzz]=platform/las
  [laszip_vlr_fuzz]=platform/las/laz
  [laz_file_fuzz]=platform/las/laz
  [layered_chunk_fuzz]=platform/las/laz
  [geometry_blob_fuzz]=core
  [tile_index_fuzz]=core
  [coordinate_system_fuzz]=core
)
targets=("$@")
((${#targets[@]})) || targets=(las_file_fuzz copc_hierarchy_fuzz laszip_vlr_fuzz laz_file_fuzz layered_chunk_fuzz geometry_blob_fuzz tile_index_fuzz
  coordinate_system_fuzz)
samples=${KARVIK_SAMPLES_DIR:-$root/../shared/data/las-samples}

build=build/fuzz
CC=clang-16 CXX=clang++-16 cmake -S . -B "$build" -DKARVIK_FUZZ=ON -DKARVIK_TESTS=OFF -DKARVIK_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" >/dev/null

scratch=""
if [[ -z $corpus_root ]]; then
  scratch=$(mktemp -d)
  corpus_root=$scratch
fi
trap '[[ -n $scratch ]] && rm -rf "$scratch"' EXIT

for target in "${targets[@]}"; do
  dir=${paths[$target]:?unknown fuzz target $target}
  corpus="$corpus_root/$target"
  mkdir -p "$corpus"
  seeds=()
  [[ $dir == platform/las* && -d $samples ]] && seeds=("$samples")
  log="$build/$target.log"
  if ! "$build/$dir/$target" -max_total_time="$seconds" -max_len=100000 -timeout=60 -print_final_stats=1 \
      -artifact_prefix="$build/$target-" "$corpus" "${seeds[@]}" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "fuzz target $target failed; its input is in $build/"
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  coverage=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1)
  echo "$target: $runs runs in ${seconds}s, $coverage, corpus $(find "$corpus" -type f | wc -l) inputs"
done
