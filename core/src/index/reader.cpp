#include "index/reader.hpp"

#include <sqlite3.h>

#include <bit>
#include <cstring>

#include "index/sqlite.hpp"
#include "text/utf8.hpp"

namespace karvik_core::index {
namespace {

using geometry::Rect;
using sqlite::column_blob;
using sqlite::column_text;
using sqlite::quote_identifier;
using sqlite::Statement;

// Never SQLITE_OPEN_CREATE: a mistyped path must fail, not leave an empty database behind.
constexpr int kOpenFlags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX;
constexpr int kBusyTimeoutMs = 5000;

double read_double(const std::uint8_t* at, bool little_endian) {
  std::uint64_t bits;
  std::memcpy(&bits, at, sizeof bits);
  if (little_endian != (std::endian::native == std::endian::little)) bits = __builtin_bswap64(bits);
  return std::bit_cast<double>(bits);
}

}  // namespace

void TileIndexReader::Close::operator()(sqlite3* db) const { sqlite3_close(db); }

std::expected<TileIndexReader, TileIndexError> TileIndexReader::open(std::string_view path) {
  if (const auto nul = path.find('\0'); nul != std::string_view::npos) {
    return std::unexpected(
        TileIndexError::geo_package_open("nul byte found in provided data at position: " + std::to_string(nul)));
  }
  const std::string c_path(path);
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(c_path.c_str(), &db, kOpenFlags, nullptr);
  if (db == nullptr) return std::unexpected(TileIndexError::geo_package_open(to_utf8_lossy(path)));
  TileIndexReader reader(db);
  if (rc != SQLITE_OK) {
    std::string text = sqlite3_errmsg(db);
    if ((rc & 0xff) == SQLITE_CANTOPEN) text += ": " + to_utf8_lossy(path);
    return std::unexpected(TileIndexError::geo_package_open(std::move(text)));
  }
  sqlite3_extended_result_codes(db, 1);
  if (sqlite3_busy_timeout(db, kBusyTimeoutMs) != SQLITE_OK) {
    return std::unexpected(TileIndexError::geo_package_open(sqlite3_errmsg(db)));
  }
  return reader;
}

std::expected<std::vector<std::string>, TileIndexError> TileIndexReader::list_tables() const {
  Statement stmt(db_.get(), "SELECT table_name FROM gpkg_contents WHERE data_type = 'features'");
  if (!stmt.prepared()) return std::unexpected(TileIndexError::tile_query(stmt.errmsg()));
  std::vector<std::string> names;
  for (;;) {
    auto row = stmt.step();
    if (!row) return std::unexpected(TileIndexError::tile_query(row.error()));
    if (!*row) break;
    auto name = column_text(stmt.get(), 0);
    if (!name) return std::unexpected(TileIndexError::tile_query(name.error()));
    names.push_back(std::move(*name));
  }
  return names;
}

std::expected<std::string, TileIndexError> TileIndexReader::find_geometry_column(const std::string& table_name) const {
  Statement stmt(db_.get(), "SELECT column_name FROM gpkg_geometry_columns WHERE table_name = ?1");
  if (!stmt.prepared()) return std::unexpected(TileIndexError::tile_query(stmt.errmsg()));
  auto column = [&]() -> std::expected<std::string, std::string> {
    if (auto ok = stmt.check_parameters(1); !ok) return std::unexpected(ok.error());
    if (sqlite3_bind_text(stmt.get(), 1, table_name.data(), static_cast<int>(table_name.size()), SQLITE_TRANSIENT) !=
        SQLITE_OK) {
      return std::unexpected(stmt.errmsg());
    }
    auto row = stmt.step();
    if (!row) return std::unexpected(row.error());
    if (!*row) return std::unexpected("Query returned no rows");
    return column_text(stmt.get(), 0);
  }();
  if (!column) {
    return std::unexpected(
        TileIndexError::tile_query("No geometry column found for table '" + table_name + "': " + column.error()));
  }
  return std::move(*column);
}

std::expected<std::vector<TileInfo>, TileIndexError> TileIndexReader::read_all_tiles(
    const std::optional<std::string>& table) const {
  std::string table_name;
  if (table) {
    table_name = *table;
  } else {
    auto tables = list_tables();
    if (!tables) return std::unexpected(std::move(tables.error()));
    if (tables->empty()) return std::unexpected(TileIndexError::tile_query("No feature tables found"));
    table_name = std::move(tables->front());
  }
  auto geometry_column = find_geometry_column(table_name);
  if (!geometry_column) return std::unexpected(std::move(geometry_column.error()));

  Statement stmt(db_.get(),
                 "SELECT location, " + quote_identifier(*geometry_column) + " FROM " + quote_identifier(table_name));
  if (!stmt.prepared()) return std::unexpected(TileIndexError::tile_query("Failed to prepare query: " + stmt.errmsg()));
  if (auto ok = stmt.check_parameters(0); !ok) return std::unexpected(TileIndexError::tile_query(ok.error()));

  std::vector<TileInfo> tiles;
  for (;;) {
    auto row = stmt.step();
    if (!row) return std::unexpected(TileIndexError::tile_query(row.error()));
    if (!*row) break;
    auto location = column_text(stmt.get(), 0);
    if (!location) return std::unexpected(TileIndexError::tile_query(location.error()));
    auto blob = column_blob(stmt.get(), 1);
    if (!blob) return std::unexpected(TileIndexError::tile_query(blob.error()));
    auto bounds = extract_bounds_from_blob(*blob);
    if (!bounds) return std::unexpected(TileIndexError::tile_query(bounds.error().to_string()));
    tiles.push_back(TileInfo{std::move(*location), *bounds});
  }
  return tiles;
}

std::expected<Rect, TileIndexError> TileIndexReader::extract_bounds_from_blob(std::span<const std::uint8_t> blob) {
  constexpr std::size_t kMinHeader = 8;
  constexpr std::size_t kEnvelopeEnd = 40;  // x and y ranges; z and m ranges are not read
  if (blob.size() < kMinHeader) return std::unexpected(TileIndexError::invalid_geometry("Geometry blob too short"));
  if (blob[0] != 0x47 || blob[1] != 0x50) {
    return std::unexpected(TileIndexError::invalid_geometry("Invalid GeoPackage geometry magic bytes"));
  }
  const std::uint8_t flags = blob[3];
  const int indicator = (flags >> 1) & 7;
  if (indicator == 0) {
    return std::unexpected(
        TileIndexError::invalid_geometry("Geometry has no envelope - WKB parsing not yet implemented"));
  }
  if (indicator > 4) {
    return std::unexpected(TileIndexError::invalid_geometry("Unknown envelope type: " + std::to_string(indicator)));
  }
  if (blob.size() < kEnvelopeEnd) {
    return std::unexpected(TileIndexError::invalid_geometry("Geometry blob too short for envelope"));
  }
  const bool little_endian = (flags & 1) != 0;
  const double min_x = read_double(&blob[8], little_endian);
  const double max_x = read_double(&blob[16], little_endian);
  const double min_y = read_double(&blob[24], little_endian);
  const double max_y = read_double(&blob[32], little_endian);
  return Rect::from_pairs(min_x, max_x, min_y, max_y);
}

}  // namespace karvik_core::index
