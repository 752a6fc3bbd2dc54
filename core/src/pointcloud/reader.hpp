#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "error.hpp"
#include "las/reader.hpp"
#include "las/record_filter.hpp"
#include "pointcloud/records.hpp"

namespace karvik_core::pointcloud {

// One tile file, LAS or LAZ by its content. Every failure is a PointCloudIO
// carrying the platform's error.
class PointCloudReader {
 public:
  static std::expected<PointCloudReader, TileIndexError> open(const std::string& path);

  const las::Header& header() const { return reader_.header(); }
  las::RecordLayout layout() const { return reader_.layout(); }
  // The number of LASzip chunks of a LAZ tile; nothing for LAS.
  std::optional<std::size_t> chunk_count() const { return reader_.chunk_count(); }
  // The parts that decode on their own, when they can be read in any order
  // (see las::Reader::unit_count).
  std::optional<std::size_t> unit_count() const { return reader_.unit_count(); }
  las::PointUnit unit(std::size_t index) const { return reader_.unit(index); }
  // For a COPC tile, the octree cube holding each unit's points (see las::Reader::unit_cubes).
  std::expected<std::optional<std::vector<las::Bounds>>, TileIndexError> unit_cubes() const;
  // Appends the kept records of unit `index`; returns its point count. Safe
  // from several threads at once.
  std::expected<std::size_t, TileIndexError> read_unit(std::size_t index, std::vector<std::uint8_t>& out,
                                                       const las::RecordFilter& keep) const;

  // Every record the header announces, in file order; on a failure none.
  std::expected<PointRecords, TileIndexError> points();
  // Appends the next batch of records in layout() to `out`; 0 at the end.
  std::expected<std::size_t, TileIndexError> read_batch(std::vector<std::uint8_t>& out);
  // The same batch, of which only the records `keep` marks are appended; returns
  // the batch's size. Layered LAZ chunks without a kept record are not fully decoded.
  std::expected<std::size_t, TileIndexError> read_batch(std::vector<std::uint8_t>& out, const las::RecordFilter& keep);

 private:
  explicit PointCloudReader(las::Reader reader) : reader_(std::move(reader)) {}

  las::Reader reader_;
};

}  // namespace karvik_core::pointcloud
