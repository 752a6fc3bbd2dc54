#pragma once

#include <atomic>
#include <cstdint>

namespace karvik_core::pipeline {

// How far an extraction has got, updated by the pipeline as it goes and read
// from any thread. Tiles are done once their kept points are written; points
// are read chunk by chunk. At the end the counts equal the statistics'.
struct ExtractionProgress {
  std::atomic<std::uint64_t> tiles_done{0};
  std::atomic<std::uint64_t> tiles_total{0};
  std::atomic<std::uint64_t> points_read{0};
  std::atomic<std::uint64_t> points_written{0};
};

}  // namespace karvik_core::pipeline
