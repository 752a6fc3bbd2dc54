#pragma once

#include <span>

#include <expected>
#include <string>
#include <string_view>

#include "error.hpp"
#include "las/header.hpp"
#include "las/writer.hpp"
#include "pointcloud/records.hpp"

namespace karvik_core::pointcloud {

// The output file: LAZ when the path's extension is "laz" in any letter case,
// plain LAS otherwise. Takes everything from the given header but the counts
// and bounds, which describe the points written. Every failure is an
// OutputError with the platform's message.
class PointCloudWriter {
 public:
  static std::expected<PointCloudWriter, TileIndexError> create(const std::string& output_path,
                                                                const las::Header& header);
  // The same over a file opened elsewhere, LAZ or not by the extension of its path().
  static std::expected<PointCloudWriter, TileIndexError> create(las::io::OutputFile file, const las::Header& header);
  static bool is_laz_path(std::string_view path);

  // Records of another layout are re-encoded into the output's.
  std::expected<void, TileIndexError> write_points(const PointRecords& records);
  // Whole records of `layout`, held elsewhere.
  std::expected<void, TileIndexError> write_records(const las::RecordLayout& layout,
                                                    std::span<const std::uint8_t> records);
  // See las::Writer::mark: records written after a mark can be dropped again.
  bool can_rewind() const { return writer_.can_rewind(); }
  las::Writer::Mark mark() { return writer_.mark(); }
  std::expected<void, TileIndexError> rewind(const las::Writer::Mark& mark);
  std::expected<void, TileIndexError> close();

 private:
  explicit PointCloudWriter(las::Writer writer) : writer_(std::move(writer)) {}

  las::Writer writer_;
};

}  // namespace karvik_core::pointcloud
