// libFuzzer target: the tile index reader over a GeoPackage made from the
// input: which of the tables exist, the names of the feature table and its
// geometry column (quotes and all), the columns' declared types, and rows of
// locations and footprint blobs of any SQLite type, and a chunk table of rows
// of any values; chunk bounds handed out must hold what the reader checks. The database lives in
// SQLite's in-memory VFS, opened by the reader through its URI.
#include <fuzzer/FuzzedDataProvider.h>
#include <sqlite3.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "geometry/box.hpp"
#include "geometry/cylinder.hpp"
#include "index/reader.hpp"

namespace {

constexpr const char* kUri = "file:/tile-index-fuzz?vfs=memdb";
constexpr const char* kDeclaredTypes[] = {"TEXT", "BLOB", "INTEGER", "REAL", ""};

std::string quoted(const std::string& identifier) {
  std::string out = "\"";
  for (char c : identifier) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

void exec(sqlite3* db, const std::string& sql) { sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr); }

// Binds a value of a type the input picks: text, blob, integer, real or null.
void bind_any(sqlite3_stmt* stmt, int index, FuzzedDataProvider& input, bool blob_like) {
  switch (input.ConsumeIntegralInRange<int>(0, 4)) {
    case 0: {
      const std::string text = input.ConsumeRandomLengthString(256);
      sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
      break;
    }
    case 1: {
      std::vector<std::uint8_t> bytes;
      // Footprints: often a well-formed header to start from.
      if (blob_like && input.ConsumeBool()) bytes = {'G', 'P', 0, static_cast<std::uint8_t>(input.ConsumeIntegral<std::uint8_t>())};
      const auto rest = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 80));
      bytes.insert(bytes.end(), rest.begin(), rest.end());
      sqlite3_bind_blob(stmt, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
      break;
    }
    case 2:
      sqlite3_bind_int64(stmt, index, input.ConsumeIntegral<std::int64_t>());
      break;
    case 3:
      sqlite3_bind_double(stmt, index, input.ConsumeFloatingPoint<double>());
      break;
    default:
      sqlite3_bind_null(stmt, index);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(kUri, &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI, nullptr) != SQLITE_OK) {
    std::abort();
  }
  const std::string table = input.ConsumeBool() ? "tiles" : input.ConsumeRandomLengthString(24);
  const std::string column = input.ConsumeBool() ? "geom" : input.ConsumeRandomLengthString(24);
  const std::string location_type = input.PickValueInArray(kDeclaredTypes);
  const std::string geometry_type = input.PickValueInArray(kDeclaredTypes);
  if (input.ConsumeBool()) {
    exec(db, "CREATE TABLE gpkg_contents (table_name TEXT, data_type TEXT)");
    const std::string data_type = input.ConsumeBool() ? "features" : input.ConsumeRandomLengthString(12);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO gpkg_contents VALUES (?1, ?2)", -1, &stmt, nullptr);
    sqlite3_bind_text(stmt, 1, table.data(), static_cast<int>(table.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(stmt, 2, data_type.data(), static_cast<int>(data_type.size()), SQLITE_TRANSIENT);
    sqlite3_step(stmt);
    sqlite3_finalize(stmt);
  }
  if (input.ConsumeBool()) {
    exec(db, "CREATE TABLE gpkg_geometry_columns (table_name TEXT, column_name TEXT)");
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO gpkg_geometry_columns VALUES (?1, ?2)", -1, &stmt, nullptr);
    sqlite3_bind_text(stmt, 1, table.data(), static_cast<int>(table.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(stmt, 2, column.data(), static_cast<int>(column.size()), SQLITE_TRANSIENT);
    sqlite3_step(stmt);
    sqlite3_finalize(stmt);
  }
  exec(db, "CREATE TABLE " + quoted(table) + " (location " + location_type + ", " + quoted(column) + " " +
               geometry_type + ")");
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, ("INSERT INTO " + quoted(table) + " VALUES (?1, ?2)").c_str(), -1, &insert, nullptr);
  const int rows = input.ConsumeIntegralInRange<int>(0, 16);
  for (int i = 0; insert && i < rows; ++i) {
    bind_any(insert, 1, input, false);
    bind_any(insert, 2, input, true);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  if (input.ConsumeBool()) {
    const std::string chunks = table + "_chunks";
    exec(db, "CREATE TABLE " + quoted(chunks) +
                 " (fid INTEGER PRIMARY KEY, tile_fid INTEGER, chunk INTEGER, first_point INTEGER, point_count INTEGER,"
                 " min_x DOUBLE, max_x DOUBLE, min_y DOUBLE, max_y DOUBLE, min_z DOUBLE, max_z DOUBLE,"
                 " file_size INTEGER, file_modified_ns INTEGER)");
    sqlite3_stmt* registration = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO gpkg_contents VALUES (?1, 'attributes')", -1, &registration, nullptr);
    sqlite3_bind_text(registration, 1, chunks.data(), static_cast<int>(chunks.size()), SQLITE_TRANSIENT);
    sqlite3_step(registration);
    sqlite3_finalize(registration);
    sqlite3_stmt* chunk = nullptr;
    sqlite3_prepare_v2(db, ("INSERT INTO " + quoted(chunks) +
                            " (tile_fid, chunk, first_point, point_count, min_x, max_x, min_y, max_y, min_z, max_z,"
                            " file_size, file_modified_ns) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)")
                               .c_str(),
                       -1, &chunk, nullptr);
    const int chunk_rows = input.ConsumeIntegralInRange<int>(0, 24);
    for (int i = 0; chunk && i < chunk_rows; ++i) {
      // Mostly small tile fids and chunk numbers, so that rows meet tiles and each other.
      sqlite3_bind_int64(chunk, 1, input.ConsumeIntegralInRange<int>(0, rows + 1));
      sqlite3_bind_int64(chunk, 2, input.ConsumeIntegralInRange<int>(-1, 4));
      for (int column = 3; column <= 12; ++column) {
        if (input.ConsumeBool()) {
          sqlite3_bind_int64(chunk, column, input.ConsumeIntegralInRange<int>(-2, 40));
        } else {
          bind_any(chunk, column, input, false);
        }
      }
      sqlite3_step(chunk);
      sqlite3_reset(chunk);
    }
    sqlite3_finalize(chunk);
  }

  {
    using namespace karvik_core;
    auto reader = index::TileIndexReader::open(kUri);
    if (!reader) std::abort();  // the database exists: opening cannot fail
    const double x = input.ConsumeFloatingPoint<double>(), y = input.ConsumeFloatingPoint<double>();
    const double reach = input.ConsumeFloatingPoint<double>();
    auto tiles = input.ConsumeBool()
                     ? reader->read_tiles(std::nullopt, geometry::AxisAlignedBox(x, x + reach, y, y + reach))
                     : reader->read_tiles(table, geometry::VerticalCylinder(x, y, reach));
    if (tiles && (tiles->empty() || tiles->size() > static_cast<std::size_t>(rows))) std::abort();
    for (const index::TileInfo& tile : tiles ? *tiles : std::vector<index::TileInfo>{}) {
      if (!tile.chunks || !*tile.chunks) continue;
      if ((*tile.chunks)->chunks.empty()) std::abort();  // an entry holds a chunk at least
      std::uint64_t next = 0;
      for (const index::ChunkBounds& c : (*tile.chunks)->chunks) {
        const bool sound = c.first_point == next && c.point_count > 0 && c.min_x <= c.max_x && c.min_y <= c.max_y &&
                           c.min_z <= c.max_z && std::isfinite(c.min_x) && std::isfinite(c.max_x) &&
                           std::isfinite(c.min_y) && std::isfinite(c.max_y) && std::isfinite(c.min_z) &&
                           std::isfinite(c.max_z);
        if (!sound) std::abort();
        next += c.point_count;
      }
    }
  }
  sqlite3_close(db);  // the last connection: the in-memory database goes with it
  return 0;
}
