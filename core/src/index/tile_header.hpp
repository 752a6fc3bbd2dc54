#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include <vector>

#include "geometry/traits.hpp"
#include "index/crs.hpp"
#include "index/tile.hpp"

namespace karvik_core::index {

// The stamp of a regular file (symbolic links followed), or why there is
// none: the system's text, or "not a regular file".
std::expected<FileStamp, std::string> file_stamp(const std::string& path);

// The modification time as the feature table's `modified` column holds it:
// UTC, ISO 8601 with milliseconds, as GeoPackage DATETIME.
std::string modified_text(const FileStamp& stamp);

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

// The bounds of every unit of the tile's point data that can be read alone,
// in order, from the real coordinates of its points (for layered LAZ chunks
// only the coordinate layer is decoded). Fails with the reason when a unit
// cannot be decoded, the units do not hold the header's points, or the
// file's stamp is no longer `stamp`, the one the bounds are recorded with.
std::expected<std::vector<ChunkBounds>, std::string> read_chunk_bounds(const std::string& path,
                                                                       const FileStamp& stamp);

}  // namespace karvik_core::index
