#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "error.hpp"
#include "geometry/traits.hpp"
#include "index/reader.hpp"
#include "log/log.hpp"
#include "pipeline/kept_records.hpp"
#include "pipeline/progress.hpp"
#include "pipeline/staged_output.hpp"
#include "pointcloud/reader.hpp"
#include "pointcloud/writer.hpp"
#include "pool/pool.hpp"
#include "text/debug_quote.hpp"

namespace karvik_core::pipeline {

struct TileResult {
  std::uint64_t points_read = 0;
  KeptRecords kept;
};

// Every record of the pipeline carries this target.
inline constexpr const char* kLogTarget = "karvik_core::pipeline::executor";

// Marks the records whose coordinates lie inside the geometry.
template <geometry::ExtractGeometry G>
las::RecordFilter inside_filter(const G& geometry, const las::RecordLayout& layout) {
  return [&geometry, layout](std::span<const std::uint8_t> records, std::size_t length, std::span<std::uint8_t> keep) {
    for (std::size_t i = 0; i < keep.size(); ++i) {
      const las::Vector3 p = layout.coordinates(records.data() + i * length);
      keep[i] = geometry.contains_xyz(p.x, p.y, p.z);
    }
  };
}

// The outcome of one tile: nothing when it could not be opened or read (it
// is logged and skipped), an error when its kept records could not be held
// or a stop was requested.
using TileOutcome = std::optional<std::expected<TileResult, TileIndexError>>;

// Reads one tile slice by slice and keeps the records inside the geometry;
// checks for a stop before each slice.
template <geometry::ExtractGeometry G>
TileOutcome filter_tile(const std::string& location, const G& geometry, bool verbose, const std::string& spill_dir,
                        std::stop_token stop, ExtractionProgress& progress) {
  if (stop.stop_requested()) return std::unexpected(TileIndexError::cancelled());
  if (verbose) KARVIK_LOG(logging::Level::Info, kLogTarget, "Processing tile: " + debug_quote(location));
  auto reader = pointcloud::PointCloudReader::open(location);
  if (!reader) {
    KARVIK_LOG(logging::Level::Warn, kLogTarget,
               "Failed to open " + debug_quote(location) + ": " + reader.error().to_string());
    return std::nullopt;
  }
  TileResult result{0, KeptRecords(reader->layout(), spill_dir)};
  const las::RecordFilter keep = inside_filter(geometry, reader->layout());
  std::vector<std::uint8_t> kept;
  for (;;) {
    if (stop.stop_requested()) return std::unexpected(TileIndexError::cancelled());
    kept.clear();
    auto count = reader->read_batch(kept, keep);
    if (!count) {
      KARVIK_LOG(logging::Level::Warn, kLogTarget,
                 "Failed to read points from " + debug_quote(location) + ": " + count.error().to_string());
      return std::nullopt;
    }
    if (*count == 0) break;
    result.points_read += *count;
    progress.points_read += *count;
    if (auto held = result.kept.append(kept); !held) return std::unexpected(std::move(held.error()));
  }
  if (verbose) {
    KARVIK_LOG(logging::Level::Info, kLogTarget,
               "Tile " + debug_quote(location) + ": " + std::to_string(result.points_read) + " -> " +
                   std::to_string(result.kept.size()) + " points");
  }
  return result;
}

// Takes the kept records instead of an output file.
class RecordSink {
 public:
  virtual ~RecordSink() = default;
  // Called once, before any record, with the header an output file would get.
  virtual std::expected<void, TileIndexError> start(const las::Header& header) = 0;
  // Whole records in the layout of that header, in tile order.
  virtual std::expected<void, TileIndexError> append(std::span<const std::uint8_t> records) = 0;
};

struct ExtractionStats {
  std::size_t tiles_processed = 0;
  std::uint64_t points_read = 0;
  std::uint64_t points_written = 0;
  std::chrono::nanoseconds elapsed_time{0};
};

// One extraction: select the tiles of the index that meet the geometry, read
// and filter them on the worker pool, and stream the kept records, in tile
// order, into one output file behind the first tile's header.
class ExtractionPipeline {
 public:
  ExtractionPipeline(std::string index_path, std::string output_path, bool verbose)
      : index_path_(std::move(index_path)), output_path_(std::move(output_path)), verbose_(verbose) {}

  // A requested stop ends the extraction at the next chunk with Cancelled,
  // writing nothing; `progress`, when given, is kept up to date.
  template <geometry::ExtractGeometry G>
  std::expected<ExtractionStats, TileIndexError> execute(const G& geometry, std::stop_token stop = {},
                                                         ExtractionProgress* progress = nullptr) const {
    return run(geometry, nullptr, stop, progress);
  }
  // The same extraction with the kept records going to `sink`, converted to
  // the output's layout; the output path is not used. With no point kept the
  // sink is still started.
  template <geometry::ExtractGeometry G>
  std::expected<ExtractionStats, TileIndexError> execute_into(RecordSink& sink, const G& geometry,
                                                              std::stop_token stop = {},
                                                              ExtractionProgress* progress = nullptr) const {
    return run(geometry, &sink, stop, progress);
  }

 private:
  // The output file, opened when the first kept record arrives, or the sink.
  class Output {
   public:
    Output(const std::string& output_path, RecordSink* sink,
           std::expected<pointcloud::PointCloudReader, TileIndexError> first_tile)
        : output_path_(output_path), sink_(sink), first_tile_(std::move(first_tile)) {}
    std::expected<void, TileIndexError> write(const las::RecordLayout& layout, std::span<const std::uint8_t> records);
    std::expected<void, TileIndexError> finish();
    // What a run that keeps nothing does: starts a sink, leaves a file uncreated.
    std::expected<void, TileIndexError> finish_without_points();

   private:
    std::expected<las::Header, TileIndexError> output_header() const;
    std::expected<void, TileIndexError> start_sink();

    const std::string& output_path_;
    RecordSink* sink_;
    std::expected<pointcloud::PointCloudReader, TileIndexError> first_tile_;
    std::optional<StagedOutput> staged_;
    std::optional<pointcloud::PointCloudWriter> writer_;
    std::optional<las::RecordLayout> sink_layout_;
    std::vector<std::uint8_t> converted_;
  };

  template <geometry::ExtractGeometry G>
  std::expected<ExtractionStats, TileIndexError> run(const G& geometry, RecordSink* sink, std::stop_token stop,
                                                     ExtractionProgress* progress) const;

  // Where kept records beyond the memory budget wait: beside the output, or
  // in the temporary directory for a sink.
  static std::string spill_directory(const std::string& output_path, const RecordSink* sink);

  std::string index_path_;
  std::string output_path_;
  bool verbose_;
};

template <geometry::ExtractGeometry G>
std::expected<ExtractionStats, TileIndexError> ExtractionPipeline::run(const G& geometry, RecordSink* sink,
                                                                       std::stop_token stop,
                                                                       ExtractionProgress* progress) const {
  const auto start = std::chrono::steady_clock::now();
  ExtractionProgress unwatched;
  ExtractionProgress& watched = progress ? *progress : unwatched;
  if (verbose_) KARVIK_LOG(logging::Level::Info, kLogTarget, "Opening tile index: " + debug_quote(index_path_));
  auto index = index::TileIndexReader::open(index_path_);
  if (!index) return std::unexpected(std::move(index.error()));
  auto tiles = index->read_tiles(std::nullopt, geometry);
  if (!tiles) return std::unexpected(std::move(tiles.error()));
  if (stop.stop_requested()) return std::unexpected(TileIndexError::cancelled());
  watched.tiles_total = tiles->size();
  if (verbose_) {
    KARVIK_LOG(logging::Level::Info, kLogTarget, "Found " + std::to_string(tiles->size()) + " intersecting tiles");
  }

  // The first tile gives the output's header; opened now so that its failure
  // is known before any tile is streamed.
  Output output(output_path_, sink, pointcloud::PointCloudReader::open(tiles->front().location));
  ExtractionStats stats;
  stats.tiles_processed = tiles->size();
  std::optional<TileIndexError> failure;
  const std::size_t window = pool::ThreadPool::global().size() + 1;
  const std::string spill_dir = spill_directory(output_path_, sink);
  // Hands kept records to the output, slice by slice, unless a stop was requested.
  auto write = [&](const las::RecordLayout& layout,
                   std::span<const std::uint8_t> records) -> std::expected<void, TileIndexError> {
    if (stop.stop_requested()) return std::unexpected(TileIndexError::cancelled());
    auto written = output.write(layout, records);
    if (written) watched.points_written += records.size() / layout.record_length();
    return written;
  };
  pool::ordered_map<TileOutcome>(
      tiles->size(), window,
      [&](std::size_t i) { return filter_tile((*tiles)[i].location, geometry, verbose_, spill_dir, stop, watched); },
      [&](std::size_t, TileOutcome outcome) {
        if (outcome && !*outcome) {
          failure = std::move(outcome->error());
          return false;
        }
        if (outcome) {
          TileResult& result = **outcome;
          stats.points_read += result.points_read;
          if (result.kept.size() > 0) {
            if (auto written = result.kept.drain(write); !written) {
              failure = std::move(written.error());
              return false;
            }
            stats.points_written += result.kept.size();
          }
        }
        ++watched.tiles_done;
        return true;
      });
  if (failure) return std::unexpected(std::move(*failure));
  watched.points_read = stats.points_read;

  if (verbose_) {
    KARVIK_LOG(logging::Level::Info, kLogTarget,
               "Total: read " + std::to_string(stats.points_read) + " points, writing " +
                   std::to_string(stats.points_written) + " points");
  }
  if (stats.points_written == 0) {
    KARVIK_LOG(logging::Level::Warn, kLogTarget, "No points to write!");
    if (auto finished = output.finish_without_points(); !finished) return std::unexpected(std::move(finished.error()));
  } else {
    if (stop.stop_requested()) return std::unexpected(TileIndexError::cancelled());
    if (auto finished = output.finish(); !finished) return std::unexpected(std::move(finished.error()));
    if (verbose_ && !sink) {
      KARVIK_LOG(logging::Level::Info, kLogTarget, "Wrote output to: " + debug_quote(output_path_));
    }
  }
  stats.elapsed_time = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
  return stats;
}

}  // namespace karvik_core::pipeline
