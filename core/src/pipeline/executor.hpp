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
#include "index/tile_header.hpp"
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

// Where read_tiles puts the kept records, tile after tile in tile order.
class TileWriter {
 public:
  virtual ~TileWriter() = default;
  // Whether records written for a tile can be taken back. Then the first
  // tile not yet finished has its records written as they are read; else
  // each tile's records wait until all its points are read.
  virtual bool can_take_back() const = 0;
  // Before a tile's first record is written: where take_back() returns to.
  virtual std::expected<void, TileIndexError> start_tile() = 0;
  virtual std::expected<void, TileIndexError> write(const las::RecordLayout& layout,
                                                    std::span<const std::uint8_t> records) = 0;
  // Drops the records written since start_tile().
  virtual std::expected<void, TileIndexError> take_back() = 0;
  // After each tile: the number of its points read, or nothing for a tile
  // that contributes nothing because it could not be opened or read.
  virtual void finish_tile(std::optional<std::uint64_t> points_read) = 0;
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

// A tile opened on the pool, with what tells whether its chunk bounds in the
// index still describe it.
struct Opened {
  std::expected<pointcloud::PointCloudReader, TileIndexError> reader;
  std::expected<index::FileStamp, std::string> stamp;
  // A COPC tile's octree cubes, one a unit.
  std::expected<std::optional<std::vector<las::Bounds>>, TileIndexError> cubes;
};

// A tile whose parts are being read: started in order, taken in order.
struct TileState {
  std::size_t index = 0;
  std::shared_ptr<pointcloud::PointCloudReader> reader;  // null when it could not be opened
  std::optional<KeptRecords> held;  // kept records waiting for the earlier tiles
  std::uint64_t points_read = 0;
  std::uint64_t kept = 0;
  std::optional<TileIndexError> read_failure;
  bool streaming = false;  // its records go to the writer as they are read
  bool one_pass = false;
  std::optional<std::vector<std::size_t>> selected;  // the units to read, when not all
  std::size_t unit_count = 0;  // to read
  std::size_t started = 0;
  std::size_t taken = 0;
  bool all_started = false;
};

}  // namespace detail

// The units of a tile worth reading when the index holds chunk bounds for it
// that still describe the file: those whose bounds meet the geometry.
// Nothing (every unit) without such bounds; an entry that is malformed, older
// than the file or unlike its chunks is never used, and a warning says why.
template <geometry::ExtractGeometry G>
std::optional<std::vector<std::size_t>> indexed_units(const index::TileInfo& tile,
                                                      const pointcloud::PointCloudReader& reader,
                                                      const std::expected<index::FileStamp, std::string>& stamp,
                                                      const G& geometry) {
  if (!tile.chunks) return std::nullopt;
  const auto ignore = [&](const std::string& why) {
    KARVIK_LOG(logging::Level::Warn, kLogTarget,
               "Chunk bounds of " + debug_quote(tile.location) + " in the index are ignored: " + why);
    return std::nullopt;
  };
  if (!*tile.chunks) return ignore(tile.chunks->error());
  const index::TileChunks& entry = **tile.chunks;
  if (!stamp) return ignore(stamp.error());
  if (*stamp != entry.stamp) return ignore("the file changed after it was indexed");
  const std::optional<std::size_t> units = reader.unit_count();
  if (units != entry.chunks.size()) {
    return ignore("they list " + std::to_string(entry.chunks.size()) + " chunks, the file has " +
                  (units ? std::to_string(*units) : "chunks without a table"));
  }
  std::vector<std::size_t> selected;
  for (std::size_t i = 0; i < entry.chunks.size(); ++i) {
    const index::ChunkBounds& chunk = entry.chunks[i];
    const las::PointUnit unit = reader.unit(i);
    if (unit.first_point != chunk.first_point || unit.point_count != chunk.point_count) {
      return ignore("chunk " + std::to_string(i) + " holds points " + std::to_string(chunk.first_point) + " to " +
                    std::to_string(chunk.first_point + chunk.point_count) + " in the index, " +
                    std::to_string(unit.first_point) + " to " + std::to_string(unit.first_point + unit.point_count) +
                    " in the file");
    }
    const geometry::Rect xy{chunk.min_x, chunk.min_y, chunk.max_x, chunk.max_y};
    if (geometry::meets_box(geometry, xy, chunk.min_z, chunk.max_z)) selected.push_back(i);
  }
  return selected;
}

// The units of a tile worth reading: those that meet the geometry by their
// chunk bounds in the index (see indexed_units) and by their cube in a COPC
// tile's octree; nothing (every unit) when neither is known. A hierarchy that
// cannot be used is ignored with a warning.
template <geometry::ExtractGeometry G>
std::optional<std::vector<std::size_t>> units_to_read(const index::TileInfo& tile, const detail::Opened& opened,
                                                      const G& geometry) {
  std::optional<std::vector<std::size_t>> selected = indexed_units(tile, *opened.reader, opened.stamp, geometry);
  if (!opened.cubes) {
    KARVIK_LOG(logging::Level::Warn, kLogTarget,
               "The COPC hierarchy of " + debug_quote(tile.location) +
                   " is ignored: " + opened.cubes.error().to_string());
    return selected;
  }
  if (!*opened.cubes) return selected;
  const std::vector<las::Bounds>& cubes = **opened.cubes;
  std::vector<std::size_t> within;
  const auto consider = [&](std::size_t unit) {
    const las::Bounds& cube = cubes[unit];
    const geometry::Rect xy{cube.min.x, cube.min.y, cube.max.x, cube.max.y};
    if (geometry::meets_box(geometry, xy, cube.min.z, cube.max.z)) within.push_back(unit);
  };
  if (selected) {
    for (const std::size_t unit : *selected) consider(unit);
  } else {
    for (std::size_t unit = 0; unit < cubes.size(); ++unit) consider(unit);
  }
  return within;
}

// Reads the tiles' points on the worker pool and keeps those inside the
// geometry. The unit of work is a part of a tile that decodes on its own (a
// LAZ chunk or a slice of plain records; a whole tile whose chunks can only be
// read in order); the parts of one tile and of the following ones are read
// together, a bounded number at a time, and their kept records go to `out` in
// (tile, part) order. A tile that cannot be opened or read is logged here and
// contributes none of its records.
template <geometry::ExtractGeometry G>
std::expected<void, TileIndexError> read_tiles(const std::vector<index::TileInfo>& tiles, const G& geometry,
                                               const TileReadSettings& settings, TileWriter& out) {
  using detail::PartFailure;
  using detail::PartOutcome;
  using detail::PartRead;
  using detail::TileState;
  using Result = std::expected<void, TileIndexError>;
  ExtractionProgress& progress = *settings.progress;
  const std::stop_token& stop = settings.stop;
  const std::size_t window = pool::ThreadPool::global().size() + 1;

  pool::OrderedTasks<detail::Opened> opening;
  pool::OrderedTasks<PartOutcome> reading;
  std::deque<TileState> states;  // opened and not yet finished, in tile order
  std::size_t next_open = 0;
  std::size_t next_begin = 0;

  const auto open_ahead = [&] {
    for (; next_open < tiles.size() && opening.size() < window; ++next_open) {
      opening.start([&tile = tiles[next_open]] {
        using Stamp = std::expected<index::FileStamp, std::string>;
        detail::Opened opened{pointcloud::PointCloudReader::open(tile.location),
                              tile.chunks ? index::file_stamp(tile.location) : Stamp(), std::nullopt};
        if (opened.reader) opened.cubes = opened.reader->unit_cubes();
        return opened;
      });
    }
  };

  const auto begin_tile = [&](detail::Opened opened) {
    TileState tile;
    tile.index = next_begin++;
    const std::string& location = tiles[tile.index].location;
    if (settings.verbose) KARVIK_LOG(logging::Level::Info, kLogTarget, "Processing tile: " + debug_quote(location));
    if (!opened.reader) {
      KARVIK_LOG(logging::Level::Warn, kLogTarget,
                 "Failed to open " + debug_quote(location) + ": " + opened.reader.error().to_string());
      tile.all_started = true;
      return tile;
    }
    tile.selected = units_to_read(tiles[tile.index], opened, geometry);
    tile.reader = std::make_shared<pointcloud::PointCloudReader>(std::move(*opened.reader));
    tile.held.emplace(tile.reader->layout(), settings.spill_dir);
    const std::optional<std::size_t> units = tile.reader->unit_count();
    tile.one_pass = !units;
    tile.unit_count = tile.selected ? tile.selected->size() : units.value_or(1);
    tile.all_started = tile.unit_count == 0;
    return tile;
  };

  const auto read_unit = [&geometry, &stop, &progress](std::shared_ptr<pointcloud::PointCloudReader> reader,
                                                       std::size_t unit) -> PartOutcome {
    if (stop.stop_requested()) return std::unexpected(PartFailure{TileIndexError::cancelled(), false});
    PartRead part;
    auto count = reader->read_unit(unit, part.kept, inside_filter(geometry, reader->layout()));
    if (!count) return std::unexpected(PartFailure{std::move(count.error()), true});
    part.kept.shrink_to_fit();  // the unit's records were decoded into it; it waits holding the kept ones only
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
      const std::size_t unit = tile.selected ? (*tile.selected)[tile.started] : tile.started;
      reading.start([read_unit, reader = tile.reader, unit] { return read_unit(reader, unit); });
    }
    if (++tile.started == tile.unit_count) tile.all_started = true;
  };

  const auto write = [&](const las::RecordLayout& layout, std::span<const std::uint8_t> records) -> Result {
    return out.write(layout, records);
  };

  // The first unfinished tile writes what it holds and from then on what it reads.
  const auto stream_front = [&]() -> Result {
    TileState& front = states.front();
    if (front.streaming || !front.reader || front.read_failure || !out.can_take_back()) return {};
    if (auto started = out.start_tile(); !started) return started;
    front.streaming = true;
    if (auto drained = front.held->drain(write); !drained) return drained;
    front.held.emplace(front.reader->layout(), settings.spill_dir);
    return {};
  };

  // Takes the oldest part read into its tile.
  const auto take_part = [&]() -> Result {
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
    tile->points_read += outcome->points_read;
    if (outcome->whole) {
      tile->kept += outcome->whole->size();
      if (tile->streaming) return outcome->whole->drain(write);
      tile->held = std::move(*outcome->whole);
      return {};
    }
    tile->kept += outcome->kept.size() / tile->reader->layout().record_length();
    if (tile->streaming) return out.write(tile->reader->layout(), outcome->kept);
    return tile->held->append(outcome->kept);
  };

  const auto finish_tile = [&](TileState& tile) -> Result {
    const std::string& location = tiles[tile.index].location;
    if (tile.read_failure) {
      KARVIK_LOG(logging::Level::Warn, kLogTarget,
                 "Failed to read points from " + debug_quote(location) + ": " + tile.read_failure->to_string());
      if (tile.streaming) {
        if (auto taken_back = out.take_back(); !taken_back) return taken_back;
      }
      out.finish_tile(std::nullopt);
      return {};
    }
    if (!tile.reader) {
      out.finish_tile(std::nullopt);
      return {};
    }
    if (auto drained = tile.held->drain(write); !drained) return drained;
    if (settings.verbose) {
      KARVIK_LOG(logging::Level::Info, kLogTarget,
                 "Tile " + debug_quote(location) + ": " + std::to_string(tile.points_read) + " -> " +
                     std::to_string(tile.kept) + " points");
    }
    out.finish_tile(tile.points_read);
    return {};
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
      if (auto finished = finish_tile(states.front()); !finished) return finished;
      states.pop_front();
    }
    if (!states.empty()) {
      if (auto streamed = stream_front(); !streamed) return streamed;
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
  // The output file, opened when the first kept record arrives, or the sink;
  // counts what it is given into the statistics and the progress.
  class Output final : public TileWriter {
   public:
    Output(const std::string& output_path, RecordSink* sink,
           std::expected<pointcloud::PointCloudReader, TileIndexError> first_tile, std::stop_token stop,
           ExtractionStats& stats, ExtractionProgress& progress);
    // Only a regular file can be cut back; a sink, a device or a pipe cannot.
    bool can_take_back() const override { return can_take_back_; }
    std::expected<void, TileIndexError> start_tile() override;
    // Unless a stop was requested.
    std::expected<void, TileIndexError> write(const las::RecordLayout& layout,
                                              std::span<const std::uint8_t> records) override;
    std::expected<void, TileIndexError> take_back() override;
    void finish_tile(std::optional<std::uint64_t> points_read) override;
    std::expected<void, TileIndexError> finish();
    // What a run that keeps nothing does: starts a sink, leaves a file uncreated.
    std::expected<void, TileIndexError> finish_without_points();

   private:
    std::expected<las::Header, TileIndexError> output_header() const;
    std::expected<void, TileIndexError> start_sink();
    std::expected<void, TileIndexError> write_to_sink(const las::RecordLayout& layout,
                                                      std::span<const std::uint8_t> records);
    std::expected<void, TileIndexError> write_to_file(const las::RecordLayout& layout,
                                                      std::span<const std::uint8_t> records);

    const std::string& output_path_;
    RecordSink* sink_;
    std::expected<pointcloud::PointCloudReader, TileIndexError> first_tile_;
    std::stop_token stop_;
    ExtractionStats& stats_;
    ExtractionProgress& progress_;
    bool can_take_back_;
    std::optional<StagedOutput> staged_;
    std::optional<pointcloud::PointCloudWriter> writer_;
    std::optional<las::RecordLayout> sink_layout_;
    std::vector<std::uint8_t> converted_;
    // Where the current tile began: nothing while no file was created for it.
    bool tile_started_ = false;
    std::optional<las::Writer::Mark> tile_mark_;
    std::uint64_t tile_written_ = 0;
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
  ExtractionStats stats;
  stats.tiles_processed = tiles->size();
  Output output(output_path_, sink, pointcloud::PointCloudReader::open(tiles->front().location), stop, stats,
                watched);
  const TileReadSettings settings{verbose_, spill_directory(output_path_, sink), stop, &watched};
  if (auto read = read_tiles(*tiles, geometry, settings, output); !read) {
    return std::unexpected(std::move(read.error()));
  }
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
