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

std::expected<void, TileIndexError> ExtractionPipeline::Output::write(const las::RecordLayout& layout,
                                                                      std::span<const std::uint8_t> records) {
  if (sink_) {
    if (!sink_layout_) {
      if (auto started = start_sink(); !started) return started;
    }
    if (layout == *sink_layout_) return sink_->append(records);
    if (auto converted = las::convert_records(layout, records, *sink_layout_, converted_); !converted) {
      return std::unexpected(TileIndexError::output_error(converted.error().message()));
    }
    return sink_->append(converted_);
  }
  if (!writer_) {
    auto header = output_header();
    if (!header) return std::unexpected(std::move(header.error()));
    auto staged = StagedOutput::create(output_path_);
    if (!staged) return std::unexpected(std::move(staged.error()));
    staged_.emplace(std::move(*staged));
    auto writer = pointcloud::PointCloudWriter::create(staged_->take_file(), std::move(*header));
    if (!writer) return std::unexpected(std::move(writer.error()));
    writer_.emplace(std::move(*writer));
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
