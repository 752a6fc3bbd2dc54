#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "geometry/traits.hpp"
#include "index/tile.hpp"

struct sqlite3;

namespace karvik_core::index {

// A GeoPackage tile index: one feature per tile, the tile file's path in the
// `location` column and its footprint in the table's geometry column. Holds
// one SQLite connection; used by one thread at a time.
class TileIndexReader {
 public:
  // Opens an existing database read-write (read-only where the file is), with
  // URI filenames allowed; a missing file is an error, never created.
  static std::expected<TileIndexReader, TileIndexError> open(std::string_view path);

  std::expected<std::vector<std::string>, TileIndexError> list_tables() const;
  std::expected<std::string, TileIndexError> find_geometry_column(const std::string& table_name) const;

  // The tiles whose envelope meets the geometry, in row order; every row is
  // read and decoded before any is tested. Never an empty list.
  template <geometry::ExtractGeometry G>
  std::expected<std::vector<TileInfo>, TileIndexError> read_tiles(const std::optional<std::string>& table_name,
                                                                  const G& geometry) const {
    auto tiles = read_all_tiles(table_name);
    if (!tiles) return tiles;
    std::erase_if(*tiles, [&](const TileInfo& tile) { return !geometry.intersects_rect(tile.bounds); });
    if (tiles->empty()) return std::unexpected(TileIndexError::no_tiles_found());
    return tiles;
  }

  // The x/y envelope from a GeoPackage binary geometry header; the WKB is not parsed.
  static std::expected<geometry::Rect, TileIndexError> extract_bounds_from_blob(std::span<const std::uint8_t> blob);

 private:
  struct Close {
    void operator()(sqlite3* db) const;
  };
  explicit TileIndexReader(sqlite3* db) : db_(db) {}
  std::expected<std::vector<TileInfo>, TileIndexError> read_all_tiles(const std::optional<std::string>& table) const;

  std::unique_ptr<sqlite3, Close> db_;
};

}  // namespace karvik_core::index
