#pragma once

#include <chrono>
#include <string>

#include "pipeline/executor.hpp"
#include "text/number.hpp"

namespace karvik_core::pipeline {

// The elapsed time in seconds: whole seconds plus the nanoseconds beyond them.
inline double elapsed_seconds(const ExtractionStats& stats) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(stats.elapsed_time);
  return static_cast<double>(seconds.count()) + static_cast<double>((stats.elapsed_time - seconds).count()) / 1e9;
}

// "Extracted 1234 points from 3 tiles in 0.05 seconds"
inline std::string summary(std::uint64_t points_written, std::size_t tiles_processed, double seconds) {
  return "Extracted " + std::to_string(points_written) + " points from " + std::to_string(tiles_processed) +
         " tiles in " + render_two_decimals(seconds) + " seconds";
}

inline std::string summary(const ExtractionStats& stats) {
  return summary(stats.points_written, stats.tiles_processed, elapsed_seconds(stats));
}

}  // namespace karvik_core::pipeline
