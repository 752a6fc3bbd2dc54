#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "geometry/traits.hpp"

namespace karvik_core::index {

// What tells whether a file changed: its size and its modification time in
// nanoseconds since the epoch (st_mtim), so that a quick rewrite within the
// same millisecond still counts as a change. file_stamp() takes it.
struct FileStamp {
  std::uint64_t size = 0;
  std::int64_t modified_ns = 0;
  bool operator==(const FileStamp&) const = default;
};

// The bounds of one unit of a tile's point data that can be read alone: a
// LAZ chunk, or a slice of a LAS file's records as las::Reader reads them.
struct ChunkBounds {
  std::uint64_t first_point = 0, point_count = 0;
  double min_x = 0, max_x = 0, min_y = 0, max_y = 0, min_z = 0, max_z = 0;
  bool operator==(const ChunkBounds&) const = default;
};

// The chunk bounds the index holds for a tile, in chunk order (chunk i is
// chunks[i]), and the stamp of the file they were computed from. They
// describe the file only while its stamp, its chunk count and its chunks'
// point counts agree.
struct TileChunks {
  FileStamp stamp;
  std::vector<ChunkBounds> chunks;
};

// One tile of the index: its file's path exactly as stored (not resolved, so a
// relative path is taken from the working directory), and its x/y envelope.
struct TileInfo {
  std::string location;
  geometry::Rect bounds;
  // The row's rowid, which is the feature table's integer primary key (fid);
  // nothing where the table has none (a view).
  std::optional<std::int64_t> fid{};
  // Nothing when the index holds no chunk bounds for the tile; an error, with
  // the reason, when its entry is malformed and must not be used.
  std::optional<std::expected<TileChunks, std::string>> chunks{};
};

}  // namespace karvik_core::index
