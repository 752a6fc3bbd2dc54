#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "child_process.hpp"
#include "pipeline/executor.hpp"

namespace bench {

// One timed extraction (or other work) and the peak memory of its process.
struct Run {
  double seconds = 0;
  std::uint64_t read = 0, written = 0;
  long peak_kb = 0;
};

// Runs `work` in a child with the given pool size, its peak memory added.
inline Run in_child(const std::string& threads, const std::function<Run()>& work) {
  const auto child = run_in_child<Run>(threads, work);
  Run r = child.value;
  r.peak_kb = child.peak_kb;
  return r;
}

// Extracts, exiting on failure.
template <typename G>
Run extract(const std::string& index, const std::string& output, const G& geometry) {
  const auto start = std::chrono::steady_clock::now();
  auto stats = karvik_core::pipeline::ExtractionPipeline(index, output, false).execute(geometry);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!stats) {
    std::fprintf(stderr, "extraction failed: %s\n", stats.error().to_string().c_str());
    std::exit(1);
  }
  return {seconds, stats->points_read, stats->points_written, 0};
}

}  // namespace bench
