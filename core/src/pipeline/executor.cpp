#include "pipeline/executor.hpp"

#include <filesystem>

namespace karvik_core::pipeline {

std::string ExtractionPipeline::output_directory(const std::string& output_path) {
  const std::filesystem::path parent = std::filesystem::path(output_path).parent_path();
  return parent.empty() ? "." : parent.string();
}

std::expected<void, TileIndexError> ExtractionPipeline::Output::write(const las::RecordLayout& layout,
                                                                      std::span<const std::uint8_t> records) {
  if (!writer_) {
    if (!first_tile_) return std::unexpected(first_tile_.error());
    // The first tile's header, passed through the builder unchanged: even
    // global-encoding bits its version lacks are kept as the tile has them.
    las::HeaderBuilder builder(first_tile_->header());
    builder.pass_global_encoding = true;
    if (const char* feature = builder.unsupported_global_encoding()) {
      KARVIK_LOG(logging::Level::Debug, kLogTarget,
                 std::string("The first tile's global encoding carries ") + feature + ", which version " +
                     builder.version.text() + " lacks; kept in the output");
    }
    auto header = builder.build();
    if (!header) return std::unexpected(TileIndexError(std::move(header.error())));
    auto staged = StagedOutput::create(output_path_);
    if (!staged) return std::unexpected(std::move(staged.error()));
    staged_.emplace(std::move(*staged));
    auto writer = pointcloud::PointCloudWriter::create(staged_->take_file(), std::move(*header));
    if (!writer) return std::unexpected(std::move(writer.error()));
    writer_.emplace(std::move(*writer));
  }
  return writer_->write_records(layout, records);
}

std::expected<void, TileIndexError> ExtractionPipeline::Output::finish() {
  if (auto closed = writer_->close(); !closed) return closed;
  return staged_->commit();
}

}  // namespace karvik_core::pipeline
