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

namespace sqlite {
class Statement;
}

// The chunk bounds of a feature table's tiles, from its chunk table
// (geopackage::chunk_table), each tile's entry checked before it is handed out.
class ChunkTable {
 public:
  // Prepares the query; fails with SQLite's text (no such table, a column missing).
  static std::expected<ChunkTable, std::string> open(sqlite3* db, const std::string& table);
  ChunkTable(ChunkTable&&) noexcept;
  ~ChunkTable();

  // Nothing when the table has no row for the tile. Otherwise its chunks, or
  // why they cannot be used: a row with a value that is not a number of its
  // kind (or NULL), not finite, a minimum above its maximum, a point count of
  // 0, chunk numbers other than 0 to n-1 each once, a first point other than
  // the points of the chunks before, or a file stamp other than the first row's.
  std::optional<std::expected<TileChunks, std::string>> read(std::int64_t tile_fid);

 private:
  ChunkTable(std::string name, std::unique_ptr<sqlite::Statement> select);
  std::string name_;
  std::unique_ptr<sqlite::Statement> select_;
};

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
  // read and decoded before any is tested. Never an empty list. Where the
  // table has a chunk table registered as attributes, each tile returned
  // carries its entry there (see TileInfo::chunks); a chunk table that
  // cannot be read makes every tile's entry that error, never the call's.
  template <geometry::ExtractGeometry G>
  std::expected<std::vector<TileInfo>, TileIndexError> read_tiles(const std::optional<std::string>& table_name,
                                                                  const G& geometry) const {
    auto table = resolve_table(table_name);
    if (!table) return std::unexpected(std::move(table.error()));
    auto tiles = read_all_tiles(*table);
    if (!tiles) return tiles;
    std::erase_if(*tiles, [&](const TileInfo& tile) { return !geometry.intersects_rect(tile.bounds); });
    if (tiles->empty()) return std::unexpected(TileIndexError::no_tiles_found());
    read_chunks(*table, *tiles);
    return tiles;
  }

  // The x/y envelope from a GeoPackage binary geometry header; the WKB is not parsed.
  static std::expected<geometry::Rect, TileIndexError> extract_bounds_from_blob(std::span<const std::uint8_t> blob);

 private:
  struct Close {
    void operator()(sqlite3* db) const;
  };
  explicit TileIndexReader(sqlite3* db) : db_(db) {}
  std::expected<std::string, TileIndexError> resolve_table(const std::optional<std::string>& table) const;
  std::expected<std::vector<TileInfo>, TileIndexError> read_all_tiles(const std::string& table_name) const;
  void read_chunks(const std::string& table_name, std::vector<TileInfo>& tiles) const;

  std::unique_ptr<sqlite3, Close> db_;
};

}  // namespace karvik_core::index
