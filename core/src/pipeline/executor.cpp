#include "pipeline/executor.hpp"

#include <filesystem>

#include "las/point.hpp"

namespace karvik_core::pipeline {

std::string ExtractionPipeline::spill_directory(const std::string& output_path, const RecordSink* sink) {
  if (sink) {
    std::error_code error;
    const std::filesystem::path temporary = std::filesystem::temp_directory_path(error);
    return error ? "." : temporary.string();
  }
  const std::filesystem::path parent = std::filesystem::path(output_path).parent_path();
  return parent.empty() ? "." : parent.string();
}

// The first tile's header, passed through the builder unchanged: even
// global-encoding bits its version lacks are kept as the tile has them.
std::expected<las::Header, TileIndexError> ExtractionPipeline::Output::output_header() const {
  if (!first_tile_) return std::unexpected(first_tile_.error());
  las::HeaderBuilder builder(first_tile_->header());
  builder.pass_global_encoding = true;
  if (const char* feature = builder.unsupported_global_encoding()) {
    KARVIK_LOG(logging::Level::Debug, kLogTarget,
               std::string("The first tile's global encoding carries ") + feature + ", which version " +
                   builder.version.text() + " lacks; kept in the output");
  }
  auto header = builder.build();
  if (!header) return std::unexpected(TileIndexError(std::move(header.error())));
  return std::move(*header);
}

std::expected<void, TileIndexError> ExtractionPipeline::Output::start_sink() {
  auto header = output_header();
  if (!header) return std::unexpected(std::move(header.error()));
  sink_layout_ = las::RecordLayout::of(*header);
  return sink_->start(*header);
}

ExtractionPipeline::Output::Output(const std::string& output_path, RecordSink* sink,
                                   std::expected<pointcloud::PointCloudReader, TileIndexError> first_tile,
                                   std::stop_token stop, ExtractionStats& stats, ExtractionProgress& progress)
    : output_path_(output_path),
      sink_(sink),
      first_tile_(std::move(first_tile)),
      stop_(std::move(stop)),
      stats_(stats),
      progress_(progress),
      can_take_back_(!sink && !StagedOutput::writes_destination(output_path)) {}

std::expected<void, TileIndexError> ExtractionPipeline::Output::start_tile() {
  tile_started_ = true;
  tile_mark_.reset();
  if (writer_ && writer_->can_rewind()) tile_mark_ = writer_->mark();
  return {};
}

std::expected<void, TileIndexError> ExtractionPipeline::Output::take_back() {
  if (tile_mark_) {
    if (auto rewound = writer_->rewind(*tile_mark_); !rewound) return rewound;
  } else if (writer_ && tile_written_ > 0) {
    return std::unexpected(TileIndexError::output_error("the output cannot be cut back: " + output_path_));
  }
  progress_.points_written -= tile_written_;
  tile_written_ = 0;
  return {};
}

void ExtractionPipeline::Output::finish_tile(std::optional<std::uint64_t> points_read) {
  if (points_read) {
    stats_.points_read += *points_read;
    stats_.points_written += tile_written_;
  }
  tile_written_ = 0;
  tile_started_ = false;
  tile_mark_.reset();
  ++progress_.tiles_done;
}

std::expected<void, TileIndexError> ExtractionPipeline::Output::write(const las::RecordLayout& layout,
                                                                      std::span<const std::uint8_t> records) {
  if (stop_.stop_requested()) return std::unexpected(TileIndexError::cancelled());
  if (records.empty()) return {};
  auto written = sink_ ? write_to_sink(layout, records) : write_to_file(layout, records);
  if (!written) return written;
  const std::uint64_t count = records.size() / layout.record_length();
  tile_written_ += count;
  progress_.points_written += count;
  return {};
}

std::expected<void, TileIndexError> ExtractionPipeline::Output::write_to_sink(const las::RecordLayout& layout,
                                                                              std::span<const std::uint8_t> records) {
  if (!sink_layout_) {
    if (auto started = start_sink(); !started) return started;
  }
  if (layout == *sink_layout_) return sink_->append(records);
  if (auto converted = las::convert_records(layout, records, *sink_layout_, converted_); !converted) {
    return std::unexpected(TileIndexError::output_error(converted.error().message()));
  }
  return sink_->append(converted_);
}

std::expected<void, TileIndexError> ExtractionPipeline::Output::write_to_file(const las::RecordLayout& layout,
                                                                              std::span<const std::uint8_t> records) {
  if (!writer_) {
    auto header = output_header();
    if (!header) return std::unexpected(std::move(header.error()));
    auto staged = StagedOutput::create(output_path_);
    if (!staged) return std::unexpected(std::move(staged.error()));
    staged_.emplace(std::move(*staged));
    auto writer = pointcloud::PointCloudWriter::create(staged_->take_file(), std::move(*header));
    if (!writer) return std::unexpected(std::move(writer.error()));
    writer_.emplace(std::move(*writer));
    if (tile_started_ && writer_->can_rewind()) tile_mark_ = writer_->mark();
  }
  return writer_->write_records(layout, records);
}

std::expected<void, TileIndexError> ExtractionPipeline::Output::finish_without_points() {
  if (sink_ && !sink_layout_) return start_sink();
  return {};
}

std::expected<void, TileIndexError> ExtractionPipeline::Output::finish() {
  if (sink_) return {};
  if (auto closed = writer_->close(); !closed) return closed;
  return staged_->commit();
}

}  // namespace karvik_core::pipeline
