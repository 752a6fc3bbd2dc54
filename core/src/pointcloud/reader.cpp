#include "pointcloud/reader.hpp"

namespace karvik_core::pointcloud {

std::expected<PointCloudReader, TileIndexError> PointCloudReader::open(const std::string& path) {
  auto reader = las::Reader::open(path);
  if (!reader) return std::unexpected(TileIndexError(reader.error()));
  return PointCloudReader(std::move(*reader));
}

std::expected<PointRecords, TileIndexError> PointCloudReader::points() {
  PointRecords records{layout(), {}};
  for (;;) {
    const auto read = read_batch(records.bytes);
    if (!read) return std::unexpected(read.error());
    if (*read == 0) return records;
  }
}

std::expected<std::size_t, TileIndexError> PointCloudReader::read_batch(std::vector<std::uint8_t>& out) {
  auto read = reader_.read_batch(out);
  if (!read) return std::unexpected(TileIndexError(read.error()));
  return *read;
}

std::expected<std::size_t, TileIndexError> PointCloudReader::read_batch(std::vector<std::uint8_t>& out,
                                                                        const las::RecordFilter& keep) {
  auto read = reader_.read_batch(out, keep);
  if (!read) return std::unexpected(TileIndexError(read.error()));
  return *read;
}

std::expected<std::optional<std::vector<las::Bounds>>, TileIndexError> PointCloudReader::unit_cubes() const {
  auto cubes = reader_.unit_cubes();
  if (!cubes) return std::unexpected(TileIndexError(cubes.error()));
  return std::move(*cubes);
}

std::expected<std::size_t, TileIndexError> PointCloudReader::read_unit(std::size_t index,
                                                                        std::vector<std::uint8_t>& out,
                                                                        const las::RecordFilter& keep) const {
  auto read = reader_.read_unit(index, out, keep);
  if (!read) return std::unexpected(TileIndexError(read.error()));
  return *read;
}

}  // namespace karvik_core::pointcloud
