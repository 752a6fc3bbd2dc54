// read_tiles over an index of 100,000 tiles, beside a bare SQLite scan of the
// same rows (the floor any reader pays). Run: build/bench/index_bench
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <bit>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "geometry/box.hpp"
#include "index/reader.hpp"

namespace {

constexpr int kSide = 316;  // 316 x 316 ~ 100,000 tiles of 1000 x 1000 units

std::vector<unsigned char> envelope_blob(double x0, double y0, double size) {
  std::vector<unsigned char> blob(40 + 93, 0);  // header, then room for a small polygon WKB
  blob[0] = 'G';
  blob[1] = 'P';
  blob[3] = 0x03;
  const double v[] = {x0, x0 + size, y0, y0 + size};
  std::memcpy(&blob[8], v, sizeof v);
  return blob;
}

const std::string& index_path() {
  static const std::string path = [] {
    const std::string p = "/tmp/karvik-index-bench-" + std::to_string(getpid()) + ".gpkg";
    std::filesystem::remove(p);
    sqlite3* db = nullptr;
    sqlite3_open(p.c_str(), &db);
    sqlite3_exec(db,
                 "PRAGMA journal_mode=OFF; BEGIN;"
                 "CREATE TABLE gpkg_contents (table_name TEXT, data_type TEXT);"
                 "CREATE TABLE gpkg_geometry_columns (table_name TEXT, column_name TEXT);"
                 "INSERT INTO gpkg_contents VALUES ('tiles', 'features');"
                 "INSERT INTO gpkg_geometry_columns VALUES ('tiles', 'geom');"
                 "CREATE TABLE tiles (fid INTEGER PRIMARY KEY, location TEXT, geom BLOB);",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO tiles (location, geom) VALUES (?, ?)", -1, &stmt, nullptr);
    for (int i = 0; i < kSide; ++i) {
      for (int j = 0; j < kSide; ++j) {
        const std::string location = "/data/ahn/tile_" + std::to_string(i) + "_" + std::to_string(j) + ".laz";
        const auto blob = envelope_blob(i * 1000.0, j * 1000.0, 1000.0);
        sqlite3_bind_text(stmt, 1, location.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_blob(stmt, 2, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
        sqlite3_step(stmt);
        sqlite3_reset(stmt);
      }
    }
    sqlite3_finalize(stmt);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    std::atexit([] { std::filesystem::remove(index_path()); });
    return p;
  }();
  return path;
}

void BM_SqliteScan(benchmark::State& state) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(index_path().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  std::int64_t rows = 0;
  for (auto _ : state) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "SELECT location, geom FROM tiles", -1, &stmt, nullptr);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      benchmark::DoNotOptimize(sqlite3_column_text(stmt, 0));
      benchmark::DoNotOptimize(sqlite3_column_blob(stmt, 1));
      ++rows;
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  state.counters["tiles/s"] = benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
}

void BM_ReadTiles(benchmark::State& state) {
  auto reader = karvik_core::index::TileIndexReader::open(index_path());
  const karvik_core::geometry::AxisAlignedBox box(100000, 130000, 100000, 130000);
  std::int64_t rows = 0;
  for (auto _ : state) {
    auto tiles = reader->read_tiles(std::nullopt, box);
    benchmark::DoNotOptimize(tiles);
    rows += kSide * kSide;
  }
  state.counters["tiles/s"] = benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BM_SqliteScan)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadTiles)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
