#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <cstdint>
#include <expected>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "error.hpp"
#include "geometry/traits.hpp"
#include "index/tile.hpp"
#include "index/reader.hpp"
#include "log/log.hpp"
#include "pipeline/progress.hpp"
#include "pipeline/staged_output.hpp"
#include "pipeline/kept_records.hpp"
#include "pool/pool.hpp"
#include "pointcloud/reader.hpp"
#include "pointcloud/writer.hpp"
#include "text/debug_quote.hpp"

namespace karvik_core::pipeline {

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

// The records a tile keeps, with the number of its points that were read.
struct TileResult {
  std::uint64_t points_read = 0;
  KeptRecords kept;
};

struct TileReadSettings {
  bool verbose = false;
  std::string spill_dir;
  std::stop_token stop;
  ExtractionProgress* progress = nullptr;
};

namespace detail {

// What one task reading a tile's points gives back: a unit's kept records, or
// those of a whole tile read in one pass.
struct PartRead {
  std::uint64_t points_read = 0;
  std::vector<std::uint8_t> kept;
  std::optional<KeptRecords> whole;
};

struct PartFailure {
  TileIndexError error;
  // A failure to read the tile's points skips the tile; any other ends the extraction.
  bool skips_tile;
};

using PartOutcome = std::expected<PartRead, PartFailure>;
using Opened = std::expected<pointcloud::PointCloudReader, TileIndexError>;

// A tile whose parts are being read: started in order, taken in order.
struct TileState {
  std::size_t index = 0;
  std::shared_ptr<pointcloud::PointCloudReader> reader;  // null when it could not be opened
  std::optional<TileResult> result;
  std::optional<TileIndexError> read_failure;
  bool one_pass = false;
  std::size_t unit_count = 0;
  std::size_t started = 0;
  std::size_t taken = 0;
  bool all_started = false;
};

}  // namespace detail

// Reads the tiles' points on the worker pool and keeps those inside the
// geometry. The unit of work is a part of a tile that decodes on its own (a
// LAZ chunk or a slice of plain records; a whole tile whose chunks can only be
// read in order); the parts of one tile and of the following ones are read
// together, a bounded number at a time. Each tile's result goes to
// consume(result) on the calling thread in tile order, as soon as
// all its parts are read: nothing for a tile that could not be opened or read
// (logged here), so that a tile contributes all its kept records or none.
// consume returns the error that ends the extraction, if any.
template <geometry::ExtractGeometry G, typename Consume>
std::expected<void, TileIndexError> read_tiles(const std::vector<index::TileInfo>& tiles, const G& geometry,
                                               const TileReadSettings& settings, Consume&& consume) {
  using detail::PartFailure;
  using detail::PartOutcome;
  using detail::PartRead;
  using detail::TileState;
  ExtractionProgress& progress = *settings.progress;
  const std::stop_token& stop = settings.stop;
  const std::size_t window = 2 * pool::ThreadPool::global().size();

  pool::OrderedTasks<detail::Opened> opening;
  pool::OrderedTasks<PartOutcome> reading;
  std::deque<TileState> states;  // opened and not yet consumed, in tile order
  std::size_t next_open = 0;

  const auto open_ahead = [&] {
    for (; next_open < tiles.size() && opening.size() < window; ++next_open) {
      opening.start([&location = tiles[next_open].location] { return pointcloud::PointCloudReader::open(location); });
    }
  };

  std::size_t next_begin = 0;
  const auto begin_tile = [&](detail::Opened opened) {
    TileState tile;
    tile.index = next_begin++;
    const std::string& location = tiles[tile.index].location;
    if (settings.verbose) KARVIK_LOG(logging::Level::Info, kLogTarget, "Processing tile: " + debug_quote(location));
    if (!opened) {
      KARVIK_LOG(logging::Level::Warn, kLogTarget,
                 "Failed to open " + debug_quote(location) + ": " + opened.error().to_string());
      tile.all_started = true;
      return tile;
    }
    tile.reader = std::make_shared<pointcloud::PointCloudReader>(std::move(*opened));
    tile.result.emplace(TileResult{0, KeptRecords(tile.reader->layout(), settings.spill_dir)});
    const std::optional<std::size_t> units = tile.reader->unit_count();
    tile.one_pass = !units;
    tile.unit_count = units.value_or(1);
    tile.all_started = tile.unit_count == 0;
    return tile;
  };

  const auto read_unit = [&geometry, &stop, &progress](std::shared_ptr<pointcloud::PointCloudReader> reader,
                                                       std::size_t unit) -> PartOutcome {
    if (stop.stop_requested()) return std::unexpected(PartFailure{TileIndexError::cancelled(), false});
    PartRead part;
    auto count = reader->read_unit(unit, part.kept, inside_filter(geometry, reader->layout()));
    if (!count) return std::unexpected(PartFailure{std::move(count.error()), true});
    part.points_read = *count;
    progress.points_read += *count;
    return part;
  };

  // A tile whose chunks can only be read in order: batch by batch, checking
  // for a stop before each.
  const auto read_in_one_pass = [&geometry, &stop, &progress, &settings](
                                    std::shared_ptr<pointcloud::PointCloudReader> reader) -> PartOutcome {
    PartRead part{0, {}, KeptRecords(reader->layout(), settings.spill_dir)};
    const las::RecordFilter keep = inside_filter(geometry, reader->layout());
    for (;;) {
      if (stop.stop_requested()) return std::unexpected(PartFailure{TileIndexError::cancelled(), false});
      part.kept.clear();
      auto count = reader->read_batch(part.kept, keep);
      if (!count) return std::unexpected(PartFailure{std::move(count.error()), true});
      if (*count == 0) break;
      part.points_read += *count;
      progress.points_read += *count;
      if (auto held = part.whole->append(part.kept); !held) {
        return std::unexpected(PartFailure{std::move(held.error()), false});
      }
    }
    part.kept.clear();
    return part;
  };

  const auto start_part = [&](TileState& tile) {
    if (tile.one_pass) {
      reading.start([read_in_one_pass, reader = tile.reader] { return read_in_one_pass(reader); });
    } else {
      reading.start([read_unit, reader = tile.reader, unit = tile.started] { return read_unit(reader, unit); });
    }
    if (++tile.started == tile.unit_count) tile.all_started = true;
  };

  // Takes the oldest part read into its tile.
  const auto take_part = [&]() -> std::expected<void, TileIndexError> {
    PartOutcome outcome = reading.take();
    TileState* tile = &states.front();
    for (std::size_t i = 1; tile->taken == tile->started; ++i) tile = &states[i];
    ++tile->taken;
    if (!outcome) {
      if (!outcome.error().skips_tile) return std::unexpected(std::move(outcome.error().error));
      if (!tile->read_failure) {
        tile->read_failure = std::move(outcome.error().error);
        tile->all_started = true;  // the rest of the tile would be read in vain
      }
      return {};
    }
    if (tile->read_failure) return {};
    TileResult& result = *tile->result;
    result.points_read += outcome->points_read;
    if (outcome->whole) {
      result.kept = std::move(*outcome->whole);
      return {};
    }
    return result.kept.append(outcome->kept);
  };

  const auto finish_tile = [&](TileState& tile) -> std::expected<void, TileIndexError> {
    const std::string& location = tiles[tile.index].location;
    if (tile.read_failure) {
      KARVIK_LOG(logging::Level::Warn, kLogTarget,
                 "Failed to read points from " + debug_quote(location) + ": " + tile.read_failure->to_string());
      return consume(std::optional<TileResult>());
    }
    if (tile.result && settings.verbose) {
      KARVIK_LOG(logging::Level::Info, kLogTarget,
                 "Tile " + debug_quote(location) + ": " + std::to_string(tile.result->points_read) + " -> " +
                     std::to_string(tile.result->kept.size()) + " points");
    }
    return consume(std::move(tile.result));
  };

  for (;;) {
    open_ahead();
    while (reading.size() < window) {
      if (stop.stop_requested()) return std::unexpected(TileIndexError::cancelled());
      if (states.empty() || states.back().all_started) {
        if (opening.empty() || (!reading.empty() && !opening.front_ready())) break;
        states.push_back(begin_tile(opening.take()));
        open_ahead();
        continue;
      }
      start_part(states.back());
    }
    while (!states.empty() && states.front().all_started && states.front().taken == states.front().started) {
      if (auto consumed = finish_tile(states.front()); !consumed) return consumed;
      states.pop_front();
    }
    if (reading.empty()) {
      if (states.empty() && opening.empty() && next_open == tiles.size()) return {};
      continue;
    }
    if (auto taken = take_part(); !taken) return taken;
  }
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
  const TileReadSettings settings{verbose_, spill_directory(output_path_, sink), stop, &watched};
  // Hands kept records to the output, slice by slice, unless a stop was requested.
  auto write = [&](const las::RecordLayout& layout,
                   std::span<const std::uint8_t> records) -> std::expected<void, TileIndexError> {
    if (stop.stop_requested()) return std::unexpected(TileIndexError::cancelled());
    auto written = output.write(layout, records);
    if (written) watched.points_written += records.size() / layout.record_length();
    return written;
  };
  auto read = read_tiles(*tiles, geometry, settings,
                         [&](std::optional<TileResult> result) -> std::expected<void, TileIndexError> {
                           if (result) {
                             stats.points_read += result->points_read;
                             if (result->kept.size() > 0) {
                               if (auto written = result->kept.drain(write); !written) return written;
                               stats.points_written += result->kept.size();
                             }
                           }
                           ++watched.tiles_done;
                           return {};
                         });
  if (!read) return std::unexpected(std::move(read.error()));
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
