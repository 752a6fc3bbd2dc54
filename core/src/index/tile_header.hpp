#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "geometry/traits.hpp"
#include "index/crs.hpp"

namespace karvik_core::index {

// What tells whether a file changed since it was indexed: its size and its
// modification time (UTC, ISO 8601 with milliseconds, as GeoPackage DATETIME).
struct FileStamp {
  std::uint64_t size = 0;
  std::string modified;
  bool operator==(const FileStamp&) const = default;
};

// The stamp of a regular file, or why there is none (the system's text).
std::expected<FileStamp, std::string> stamp_of(const std::string& path);

// What the index records of one tile, from its header alone.
struct TileHeader {
  std::string location;
  geometry::Rect footprint;  // the header's x/y bounds
  double min_z = 0, max_z = 0;
  std::uint64_t point_count = 0;
  std::uint8_t point_format = 0;
  std::string las_version;
  FileStamp stamp;
  std::optional<CoordinateSystem> crs;
};

// Reads the header, the VLRs and EVLRs and, for LAZ, the LASzip VLR of the
// file at `path`, and checks what an extraction relies on: the compression is
// one we decode, the point data of a LAS file is all there, the bounds are
// numbers. Fails with the reason.
std::expected<TileHeader, std::string> read_tile_header(const std::string& path);

}  // namespace karvik_core::index
