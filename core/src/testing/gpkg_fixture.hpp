#pragma once

// GeoPackages and temporary folders for tests.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "geometry/traits.hpp"

namespace karvik_core::testing {

namespace fs = std::filesystem;
using Blob = std::vector<std::uint8_t>;

// A GeoPackage geometry header with an envelope; no WKB follows unless padded.
inline Blob envelope_blob(double min_x, double max_x, double min_y, double max_y, std::uint8_t flags = 0x03,
                   std::size_t size = 40) {
  Blob blob(std::max<std::size_t>(size, 8), 0);
  blob[0] = 0x47;
  blob[1] = 0x50;
  blob[3] = flags;
  const bool little = (flags & 1) != 0;
  const double values[] = {min_x, max_x, min_y, max_y};
  for (int i = 0; i < 4 && 8 + 8 * (i + 1) <= static_cast<int>(blob.size()); ++i) {
    auto bits = std::bit_cast<std::uint64_t>(values[i]);
    if (!little) bits = __builtin_bswap64(bits);
    std::memcpy(&blob[8 + 8 * i], &bits, 8);
  }
  blob.resize(size);
  return blob;
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/karvik-test-XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() { fs::remove_all(path_); }
  fs::path operator/(const std::string& name) const { return path_ / name; }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Writes a minimal GeoPackage with SQL of the test's choosing.
class Gpkg {
 public:
  explicit Gpkg(const fs::path& path) : path_(path) { EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK); }
  ~Gpkg() { sqlite3_close(db_); }
  void exec(const std::string& sql) {
    char* err = nullptr;
    ASSERT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
  }
  void standard_tables() {
    exec("CREATE TABLE gpkg_contents (table_name TEXT NOT NULL PRIMARY KEY, data_type TEXT NOT NULL)");
    exec("CREATE TABLE gpkg_geometry_columns (table_name TEXT NOT NULL, column_name TEXT NOT NULL)");
  }
  void feature_table(const std::string& table = "tiles", const std::string& column = "geom") {
    exec("INSERT INTO gpkg_contents VALUES ('" + table + "', 'features')");
    exec("INSERT INTO gpkg_geometry_columns VALUES ('" + table + "', '" + column + "')");
    exec("CREATE TABLE \"" + quoted(table) + "\" (fid INTEGER PRIMARY KEY, location TEXT, \"" + quoted(column) +
         "\" BLOB)");
  }
  // Inserts a row; a null location or blob is stored as NULL.
  void row(const std::string& table, const char* location, const Blob* blob) {
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db_, ("INSERT INTO \"" + quoted(table) + "\" (location, \"" +
                                      quoted(geometry_column(table)) + "\") VALUES (?, ?)")
                                          .c_str(),
                                 -1, &stmt, nullptr),
              SQLITE_OK);
    if (location) sqlite3_bind_text(stmt, 1, location, -1, SQLITE_TRANSIENT);
    if (blob) sqlite3_bind_blob(stmt, 2, blob->data(), static_cast<int>(blob->size()), SQLITE_TRANSIENT);
    EXPECT_EQ(sqlite3_step(stmt), SQLITE_DONE);
    sqlite3_finalize(stmt);
  }
  void tile(const std::string& location, geometry::Rect r, const std::string& table = "tiles") {
    const Blob blob = envelope_blob(r.min_x, r.max_x, r.min_y, r.max_y);
    row(table, location.c_str(), &blob);
  }
  // The chunk table of `table` with our columns, registered as attributes
  // (without the constraints we write, so that any value can be stored).
  void chunk_table(const std::string& table = "tiles") {
    const std::string chunks = table + "_chunks";
    exec("INSERT INTO gpkg_contents VALUES ('" + chunks + "', 'attributes')");
    exec("CREATE TABLE \"" + quoted(chunks) + "\" (fid INTEGER PRIMARY KEY, tile_fid INTEGER, chunk INTEGER,"
         " first_point INTEGER, point_count INTEGER, min_x DOUBLE, max_x DOUBLE, min_y DOUBLE, max_y DOUBLE,"
         " min_z DOUBLE, max_z DOUBLE, file_size INTEGER, file_modified_ns INTEGER)");
  }
  const fs::path& path() const { return path_; }

 private:
  static std::string quoted(const std::string& name) {
    std::string out;
    for (char c : name) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out;
  }
  std::string geometry_column(const std::string& table) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db_, "SELECT column_name FROM gpkg_geometry_columns WHERE table_name = ?", -1, &stmt, nullptr);
    sqlite3_bind_text(stmt, 1, table.c_str(), -1, SQLITE_TRANSIENT);
    std::string name = "geom";
    if (sqlite3_step(stmt) == SQLITE_ROW) name = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    sqlite3_finalize(stmt);
    return name;
  }
  fs::path path_;
  sqlite3* db_ = nullptr;
};

// A GeoPackage with one feature table "tiles" listing the given tiles in order.
inline void write_index(const fs::path& path, const std::vector<std::pair<std::string, geometry::Rect>>& tiles) {
  Gpkg g(path);
  g.standard_tables();
  g.feature_table();
  for (const auto& [location, bounds] : tiles) g.tile(location, bounds);
}

}  // namespace karvik_core::testing
